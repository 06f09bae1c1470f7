// brindle-cli: the main program without a window, for automation and end-to-end tests.
//
//   brindle-cli TAXPAYER USER LAUNCHER [--yes] [--printed] [--card N] COMMAND [ARGS]
//
// The first three arguments are the main program's command line. The program runs the start-up
// (single-instance lock, start-up check), completes the global state as the main window does when it is
// created and shown, runs the command and ends the session ("退出系统") as closing the main window does.
// Every message box prints as one line on standard error; questions are answered Yes with --yes, else No.
// The dialogs answer from the flags: --printed takes "已打印" at the declaration prompt, --card N the
// chooser's row N, --yes also "开始清卡" in the unlock's result dialog. The flags may stand anywhere on
// the line; they are taken out before the positions are counted. Any other
// option before the command is a usage error. Exit codes: 0 success, 1 failure (start-up or command),
// 2 usage error.
#include "cli/UCliCommand.h"

#include "UConsoleForms.h"
#include "UGlobal.h"
#include "ULogManager.h"
#include "UProgressFrame.h"
#include "UStartup.h"
#include "UdsBusyForm.h"
#include "UdsDialogs.h"
#include "UdsStrUtils.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>

int CliUsage(const std::string& name) {
    const TCliCommand* c = TCliRegistry::Find(name);
    std::cerr << "usage: brindle-cli TAXPAYER USER LAUNCHER [--yes] [--printed] [--card N] " << name
              << (c && !c->Usage.empty() ? " " + c->Usage : "") << "\n";
    return ceUsage;
}

namespace {

void PrintUsage() {
    auto commands = TCliRegistry::Sorted();
    std::cerr << "usage: brindle-cli TAXPAYER USER LAUNCHER [--yes] [--printed] [--card N] COMMAND [ARGS]\n"
                 "  --yes      answer every question with Yes (default: No)\n"
                 "  --printed  answer the declaration prompt with 已打印 (default: 未打印)\n"
                 "  --card N   choose row N of the card-and-disk chooser (default: none)\n"
                 "commands:\n";
    for (const auto& c : commands)
        std::cerr << "  " << c.Name << (c.Usage.empty() ? "" : " " + c.Usage) << "\n";
}

int UsageError(const std::string& text) {
    std::cerr << "brindle-cli: " << text << "\n";
    PrintUsage();
    return ceUsage;
}

int Run(const TCliCommand& command, const std::vector<std::string>& startup,
        const std::vector<std::string>& args, const TConsoleFormsOptions& options) {
    static TdsConsoleDialogs console(false);
    console.SetAnswer(options.Yes);
    TdsDialogs::SetBackend(&console);
    static TConsoleProgressFrame progress;
    static TConsoleModalForms forms(options);

    TGlobalFrontEnd frontEnd;
    frontEnd.BusyForm = std::make_unique<TdsConsoleBusyForm>();
    frontEnd.ProgressFrame = &progress;
    frontEnd.ModalForms = &forms;
    if (!BrindleStartup(startup, std::move(frontEnd)))
        return ceFailed;

    Global->CompleteOnCreate();
    Global->CompleteOnShow();
    if (Global->IsDebugMode())
        TdsDialogs::ShowWarning("请注意当前为调试模式！");

    int result = ceFailed;
    try {
        result = command.Handler(args);
    } catch (const std::exception& e) {
        std::cerr << "brindle-cli: " << e.what() << "\n";
        result = ceFailed;
    }
    Global->LogManager->AddLog("退出系统");
    FreeGlobal();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::vector<std::string> commandArgs;
    const TCliCommand* command = nullptr;
    TConsoleFormsOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--yes") {
            options.Yes = true;
        } else if (arg == "--printed") {
            options.Printed = true;
        } else if (arg == "--card") {
            long long row = 0;
            if (i + 1 >= argc || !TdsStrUtils::TryStrToInt(argv[i + 1], row) || row < 1 || row > 100000)
                return UsageError("--card needs a row number from 1");
            options.CardRow = static_cast<int>(row);
            ++i;
        } else if (command) {
            commandArgs.push_back(arg);
        } else if (arg == "-h" || arg == "--help") {
            PrintUsage();
            return ceOK;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option \"" + arg + "\"");
        } else if (positional.size() < 3) {
            positional.push_back(arg);
        } else {
            command = TCliRegistry::Find(arg);
            if (!command)
                return UsageError("unknown command \"" + arg + "\"");
        }
    }
    if (!command)
        return UsageError(positional.size() < 3 ? "TAXPAYER, USER and LAUNCHER are needed"
                                                : "no command given");
    try {
        return Run(*command, positional, commandArgs, options);
    } catch (const std::exception& e) {
        std::cerr << "brindle-cli: " << e.what() << "\n";
        return ceFailed;
    }
}
