#pragma once
// brindle-admin subcommands register themselves here; the entry point dispatches on the first argument.
#include <functional>
#include <string>
#include <vector>

// Exit codes of every subcommand.
enum TAdminExit : int { aeOK = 0, aeFailed = 1, aeUsage = 2 };

using TAdminHandler = std::function<int(const std::vector<std::string>& args)>;

struct TAdminCommand {
    std::string Name;
    std::string Usage; // the arguments after the name, for the usage line
    TAdminHandler Handler;
};

class TAdminRegistry {
public:
    static std::vector<TAdminCommand>& Commands();
    static const TAdminCommand* Find(const std::string& name);
};

struct TAdminRegistrar {
    TAdminRegistrar(std::string name, std::string usage, TAdminHandler handler) {
        TAdminRegistry::Commands().push_back({std::move(name), std::move(usage), std::move(handler)});
    }
};

// Prints "usage: brindle-admin NAME USAGE" to standard error and returns aeUsage.
int AdminUsage(const std::string& name);
// Prints "brindle-admin: TEXT" to standard error and returns aeFailed.
int AdminFail(const std::string& text);
