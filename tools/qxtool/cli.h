// qxtool's command line: the options and commands (CLI11), and running the one chosen.
#pragma once

namespace qx::tool {

// Parses the arguments, runs the command and returns the exit status.
int Run(int argc, char** argv);

}  // namespace qx::tool
