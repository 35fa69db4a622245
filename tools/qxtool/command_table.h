// qxtool's commands as one table: each row names a command, gives its help, declares its
// options and says what runs it. A new command is one row (and its Run function).
#pragma once

#include <functional>
#include <optional>
#include <span>

#include "tools/qxtool/session.h"

namespace CLI {
class App;
}

namespace qx::tool {

// What a command runs with: the global options and the device session, opened on first use
// (ports and models need none).
class CommandContext {
  public:
    explicit CommandContext(const GlobalOptions& global) : global_(global) {}
    Session& Device() {
        if (!session_) session_.emplace(global_);
        return *session_;
    }

  private:
    const GlobalOptions& global_;
    std::optional<Session> session_;
};

using CommandRunner = std::function<int(CommandContext&)>;

struct CommandSpec {
    const char* group;   // the command group it belongs to ("eeprom"); null: a top-level one
    const char* name;    // the command word
    const char* help;    // its line in the command list
    const char* footer;  // the text after its options; null: none
    // Declares the command's options on `command` and returns what runs it with their values;
    // null for a group, which takes one of its own commands.
    CommandRunner (*setup)(CLI::App& command);
};

// Every command in the order the help lists them; a group's commands follow the group.
std::span<const CommandSpec> Commands();

}  // namespace qx::tool
