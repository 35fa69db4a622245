// What a console tool needs from the operating system beyond the COM port: Ctrl+C, whether
// a stream is a terminal and how wide it is, and the serial ports of the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::platform {

// Called once per Ctrl+C (or console break / SIGTERM). It runs on a thread of its own, never
// inside a signal handler, so it may do anything thread-safe. Returning false asks for the
// default action: the process ends at once.
using InterruptHandler = bool (*)();

// Installs the handler for the rest of the process. On POSIX this blocks SIGINT and SIGTERM in
// the calling thread and every thread created after it (call it first in main), so no system
// call of the library is ever interrupted by them.
bool SetInterruptHandler(InterruptHandler handler);

enum class ConsoleStream { Output, Error };

bool IsTerminal(ConsoleStream stream);
// Columns of the terminal behind the stream; 0 when it is not a terminal or unknown.
uint32_t TerminalColumns(ConsoleStream stream);

struct SerialPortEntry {
    int comNumber = -1;   // -1: a serial device that no COM name reaches
    std::string name;     // "COM3", or the device path for unmapped devices
    std::string path;     // what the name opens ("\\.\COM3" on Windows, a tty path on POSIX)
    bool present = true;  // false: a COM link whose target does not exist
    std::string source;   // where the entry comes from: "QX_COM_DIR", "built-in map", "registry",
                          // "DOS device", "open", "device node"
};

// The serial ports of this machine, COM names first in number order. On POSIX: COM0..COM255
// as ResolveComName maps them (links in $QX_COM_DIR, or the built-in map when it is unset),
// then tty device nodes of USB, ACM and Bluetooth adapters that no COM name reaches. On
// Windows: the ports in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and the COMn DOS device names, and
// of the other numbers of COM1..COM255 those that open.
std::vector<SerialPortEntry> ListSerialPorts();

}  // namespace qx::platform
