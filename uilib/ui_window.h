// The stand-in's window (Windows). Elsewhere there is none and the console report is printed.
#pragma once

#include <cstdint>

#include "device/qx_vorrel.h"
#include "ui_settings.h"

namespace tarnwell {

struct WindowCall {
    uint8_t* settings;  // the 552-byte block; the window keeps its state in the payload
    qx::QXVorrel* device;
    const char* title;
    BlockState state;  // what BeginRun found
};

inline constexpr char kMainWindowClass[] = "TarnwellStandIn";

#if defined(_WIN32)
// Shows the window and runs it until it is closed. False when no window could be made (no
// display): the caller reports to the console instead.
bool RunWindow(const WindowCall& call);
#else
inline bool RunWindow(const WindowCall&) {
    return false;
}
#endif

}  // namespace tarnwell
