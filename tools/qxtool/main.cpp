// qxtool: every device operation of the library from a shell, on Linux and Windows.
#include "tools/qxtool/cli.h"
#include "tools/qxtool/session.h"

int main(int argc, char** argv) {
    // First, before any thread exists: on POSIX the handler works by blocking the signals in
    // every thread of the process.
    qx::tool::InstallInterruptHandler();
    return qx::tool::Run(argc, argv);
}
