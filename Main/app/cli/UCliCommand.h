#pragma once
// brindle-cli commands register themselves here; the entry point runs the start-up and then dispatches on
// the command name. A command runs with the global state complete (Global).
#include <functional>
#include <string>
#include <vector>

// Exit codes of the program: 0 success, 1 the command (or the start-up) failed, 2 usage error.
enum TCliExit : int { ceOK = 0, ceFailed = 1, ceUsage = 2 };

using TCliHandler = std::function<int(const std::vector<std::string>& args)>;

struct TCliCommand {
    std::string Name;
    std::string Usage; // the arguments after the name, for the usage line
    TCliHandler Handler;
};

class TCliRegistry {
public:
    static std::vector<TCliCommand>& Commands();
    static const TCliCommand* Find(const std::string& name);
};

struct TCliRegistrar {
    TCliRegistrar(std::string name, std::string usage, TCliHandler handler) {
        TCliRegistry::Commands().push_back({std::move(name), std::move(usage), std::move(handler)});
    }
};

// Prints "usage: brindle-cli TAXPAYER USER LAUNCHER [--yes] NAME USAGE" to standard error; gives ceUsage.
int CliUsage(const std::string& name);
