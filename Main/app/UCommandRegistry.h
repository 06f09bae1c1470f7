#pragma once
// The self-registering subcommands of the console programs: each file of commands registers its
// handlers with a registrar object; the entry point looks them up by name. Tag keeps the programs'
// lists apart.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using TCommandHandler = std::function<int(const std::vector<std::string>& args)>;

struct TCommand {
    std::string Name;
    std::string Usage; // the arguments after the name, for the usage line
    TCommandHandler Handler;
};

template <typename Tag> class TCommandRegistry {
public:
    static std::vector<TCommand>& Commands() {
        static std::vector<TCommand> commands;
        return commands;
    }
    static const TCommand* Find(const std::string& name) {
        for (const auto& c : Commands())
            if (c.Name == name)
                return &c;
        return nullptr;
    }
    // The commands by name, for the usage text.
    static std::vector<TCommand> Sorted() {
        auto commands = Commands();
        std::sort(commands.begin(), commands.end(),
                  [](const TCommand& a, const TCommand& b) { return a.Name < b.Name; });
        return commands;
    }
};

template <typename Tag> struct TCommandRegistrar {
    TCommandRegistrar(std::string name, std::string usage, TCommandHandler handler) {
        TCommandRegistry<Tag>::Commands().push_back({std::move(name), std::move(usage), std::move(handler)});
    }
};
