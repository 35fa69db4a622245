// What a console tool needs from the operating system beyond the COM port: Ctrl+C, and
// whether a stream is a terminal and how wide it is.
#pragma once

#include <cstdint>

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

}  // namespace qx::platform
