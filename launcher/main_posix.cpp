// quillon: the launcher as a console program. The command line is ignored, as on Windows,
// except `--version`.
//
// Environment:
//   QX_COM_DIR         folder of COMn links to scan instead of the machine's serial ports
//   QX_COMMON_APPDATA  where "Orvandel/QuillonSettings.dat" lives (default $XDG_DATA_HOME,
//                      else ~/.local/share)
//   QX_LOCK_DIR        folder of the single-instance lock (default $XDG_RUNTIME_DIR, else /tmp)
//   NO_COLOR, CLICOLOR_FORCE  colour of the splash lines
// "Tarnwell.dll" is loaded from the folder of this executable.
#include <cstdio>
#include <cstring>

#include "launcher/startup.h"
#include "resources/version_text.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", qx::VersionLine("quillon").c_str());
        return 0;
    }
    return qx::RunLauncher(nullptr);
}
