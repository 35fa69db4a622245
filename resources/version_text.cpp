#include "resources/version_text.h"

#include "qx_commit.h"
#include "qx_version.h"

namespace qx {

std::string VersionLine(const char* program) {
    std::string line = std::string(program) + " " + QX_VERSION;
    const std::string commit = QX_COMMIT;
    if (!commit.empty()) line += " (commit " + commit + ")";
    return line;
}

}  // namespace qx
