#pragma once
// brindle-admin subcommands register themselves here; the entry point dispatches on the first argument.
#include "UCommandRegistry.h"

#include <string>

// Exit codes of every subcommand.
enum TAdminExit : int { aeOK = 0, aeFailed = 1, aeUsage = 2 };

struct TAdminTag;
using TAdminCommand = TCommand;
using TAdminRegistry = TCommandRegistry<TAdminTag>;
using TAdminRegistrar = TCommandRegistrar<TAdminTag>;

// Prints "usage: brindle-admin NAME USAGE" to standard error and returns aeUsage.
int AdminUsage(const std::string& name);
// Prints "brindle-admin: TEXT" to standard error and returns aeFailed.
int AdminFail(const std::string& text);
