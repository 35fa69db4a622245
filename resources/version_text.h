// What `--version` prints.
#pragma once

#include <string>

namespace qx {

// "PROGRAM 1.83", followed by " (commit 0123abcdef)" when the build knew its commit
// ("-dirty" when the work tree had changes). No newline.
std::string VersionLine(const char* program);

}  // namespace qx
