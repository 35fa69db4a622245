// Types the operating system gives the library: handles and the COM-port records.
// On Windows they are the real DCB and COMMTIMEOUTS (the device object is handed by
// address to a separately built library); on POSIX they are records of the same shape.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qx {

#ifdef _WIN32
using OsHandle = HANDLE;
using ::COMMTIMEOUTS;
using ::DCB;
// A thread start routine a holder can hand to CreateThread as it is.
using ThreadResult = DWORD;
#define QX_THREAD_ROUTINE WINAPI
#else
using OsHandle = void*;
using ThreadResult = uint32_t;
#define QX_THREAD_ROUTINE

struct DCB {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};

struct COMMTIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
#endif

static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS must keep the Windows layout");

// INVALID_HANDLE_VALUE on both platforms.
inline OsHandle InvalidHandle() {
    return reinterpret_cast<OsHandle>(static_cast<intptr_t>(-1));
}

// Values of the Windows constants the library uses, the same on every platform.
inline constexpr uint32_t kPurgeTxAbort = 0x01;
inline constexpr uint32_t kPurgeRxAbort = 0x02;
inline constexpr uint32_t kPurgeTxClear = 0x04;
inline constexpr uint32_t kPurgeRxClear = 0x08;
inline constexpr uint8_t kNoParity = 0;
inline constexpr uint8_t kOddParity = 1;
inline constexpr uint8_t kEvenParity = 2;
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kTwoStopBits = 2;
inline constexpr uint32_t kDtrControlEnable = 1;
inline constexpr uint32_t kRtsControlEnable = 1;
inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

}  // namespace qx
