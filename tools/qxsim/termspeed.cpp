// Line speed of a terminal through the kernel's termios2, which also carries arbitrary rates.
// Kept apart: <asm/termbits.h> and <termios.h> cannot share a translation unit.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

#include "sim.h"

namespace qxsim {
namespace {

struct Speed {
    unsigned code;
    uint32_t baud;
};

constexpr Speed kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

}  // namespace

uint32_t TerminalBaud(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    const unsigned code = t.c_cflag & CBAUD;
    if (code == BOTHER) return t.c_ospeed;
    for (const Speed& s : kSpeeds)
        if (s.code == code) return s.baud;
    return t.c_ospeed;
}

}  // namespace qxsim
