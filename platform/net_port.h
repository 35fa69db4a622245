// Serial ports on another machine, behind the COM-port calls of comm.h.
//
//   rfc2217://HOST:PORT   Telnet with the COM-PORT-OPTION (RFC 2217), as ser2net serves a
//                         port: speed, data size, parity and stop bits, DTR/RTS and purge
//                         reach the far port; every wait for the server's answer is bounded.
//   tcp://HOST:PORT       raw bytes. The line runs at whatever the server set up: a change of
//                         speed or format fails (EOPNOTSUPP / ERROR_NOT_SUPPORTED).
//
// HOST is a name, an IPv4 address or a bracketed IPv6 address. A COM name can stand for a
// network port through the COM map (NetPortUrl). The Comm* calls hand a handle of these
// ports to the Net* calls below; the read and write time-outs keep their COMMTIMEOUTS
// meaning; a connection that closes or fails makes every later call fail, as an unplugged
// adapter does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_types.h"
#include "platform/port_failure.h"

namespace qx::platform {

// Bounds of the waits a local port does not have.
inline constexpr uint32_t kNetConnectTimeoutMs = 5000;
inline constexpr uint32_t kNetAnswerTimeoutMs = 2000;
// A write is escaped and sent this many data bytes at a time.
inline constexpr uint32_t kNetWritePiece = 65536;

struct NetAddress {
    bool telnet = false;  // rfc2217:// (else tcp://)
    std::string host;     // without the brackets of an IPv6 address
    uint16_t port = 0;
};

// Parses "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (the scheme in any case, PORT 1..65535).
bool ParseNetAddress(const char* name, NetAddress* address);
bool IsNetPortName(const char* name);
// "SCHEME://...": meant as a network port, well formed or not (never a device path).
bool LooksLikeNetPortName(const char* name);
// The reason a network port could not be opened, in words; for a name that only looks like
// one, what a network port name is.
std::string DescribeNetPortFailure(const PortFailure& failure);

// The network port `name` opens: the name itself when it is one, the URL a COM name is
// mapped to, else "". The map: on POSIX $QX_COM_DIR/COMn being (or linking to) a regular
// file whose first line is the URL, where a link to a tty would otherwise be; on Windows the
// string value "COMn" of HKEY_CURRENT_USER\Software\Orvandel\Quillon\Ports.
std::string NetPortUrl(const char* name);

struct NetPortMapping {
    int comNumber = -1;
    std::string url;     // as the map holds it
    std::string where;   // the file or registry value that holds it
    bool valid = false;  // the text is a network port name
};
// Every COM name the map gives a network port, in number order.
std::vector<NetPortMapping> ListNetPortMappings();

// --- the calls comm_*.cpp forward a network handle to

bool IsNetHandle(OsHandle handle);
// Connects and, for rfc2217://, negotiates the COM-PORT-OPTION and reads the far port's line
// settings. InvalidHandle() on failure, errno / the last error set.
OsHandle NetOpen(const char* name);
bool NetClose(OsHandle handle);
bool NetGetState(OsHandle handle, DCB* dcb);
bool NetSetState(OsHandle handle, DCB* dcb);
bool NetSetup(OsHandle handle, uint32_t inQueue, uint32_t outQueue);
bool NetGetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts);
bool NetSetTimeouts(OsHandle handle, COMMTIMEOUTS* timeouts);
bool NetPurge(OsHandle handle, uint32_t flags);
bool NetRead(OsHandle handle, void* buffer, uint32_t count, uint32_t* done);
bool NetWrite(OsHandle handle, const void* buffer, uint32_t count, uint32_t* done);

// TryPort for a network port: connects, agrees on the options and reads the line settings,
// then closes again; the reason when that fails.
PortFailure TryNetPort(const char* name, const std::string& url);

// True for a port whose speed this side cannot change (a tcp:// port); false for every other
// handle, local ports included.
bool CommSpeedIsFixed(OsHandle handle);

}  // namespace qx::platform
