// brindle-admin: installation tooling.
#include "admin/UAdminCommand.h"

#include "UdsDialogs.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

int AdminUsage(const std::string& name) {
    const TAdminCommand* c = TAdminRegistry::Find(name);
    std::cerr << "usage: brindle-admin " << name << (c && !c->Usage.empty() ? " " + c->Usage : "") << "\n";
    return aeUsage;
}

int AdminFail(const std::string& text) {
    std::cerr << "brindle-admin: " << text << "\n";
    return aeFailed;
}

namespace {

void PrintUsage() {
    auto commands = TAdminRegistry::Sorted();
    std::cerr << "usage: brindle-admin COMMAND [ARGS]\n";
    for (const auto& c : commands)
        std::cerr << "  brindle-admin " << c.Name << (c.Usage.empty() ? "" : " " + c.Usage) << "\n";
}

} // namespace

int main(int argc, char** argv) {
    // Message boxes of the library print as one line on standard error; questions are answered No.
    static TdsConsoleDialogs console(false);
    TdsDialogs::SetBackend(&console);
    if (argc < 2) {
        PrintUsage();
        return aeUsage;
    }
    std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        PrintUsage();
        return aeOK;
    }
    const TAdminCommand* command = TAdminRegistry::Find(name);
    if (!command) {
        std::cerr << "brindle-admin: unknown command \"" << name << "\"\n";
        PrintUsage();
        return aeUsage;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    try {
        return command->Handler(args);
    } catch (const std::exception& e) {
        return AdminFail(e.what());
    }
}
