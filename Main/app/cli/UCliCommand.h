#pragma once
// brindle-cli commands register themselves here; the entry point runs the start-up and then dispatches on
// the command name. A command runs with the global state complete (Global).
#include "UCommandRegistry.h"

#include <string>

// Exit codes of the program: 0 success, 1 the command (or the start-up) failed, 2 usage error.
enum TCliExit : int { ceOK = 0, ceFailed = 1, ceUsage = 2 };

struct TCliTag;
using TCliCommand = TCommand;
using TCliRegistry = TCommandRegistry<TCliTag>;
using TCliRegistrar = TCommandRegistrar<TCliTag>;

// Prints "usage: brindle-cli TAXPAYER USER LAUNCHER [--yes] NAME USAGE" to standard error; gives ceUsage.
int CliUsage(const std::string& name);
