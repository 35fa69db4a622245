// Quillon.exe: the GUI entry. Only the module instance is used (splash class and bitmap).
#include <windows.h>

#include "launcher/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return qx::RunLauncher(instance);
}
