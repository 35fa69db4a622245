// The hand-off to the user-interface library: one entry, six arguments, caller cleans up.
#pragma once

#include <cstdint>

#include "platform/launcher_services.h"

namespace qx {

class QXVorrel;

// The settings block the user-interface library keeps in the settings file.
inline constexpr uint32_t kSettingsBlockSize = 552;

// (0, settings block, device object, window title, 0, 1); the result is not used.
using UIProcedureFn = int32_t(QX_UI_CDECL*)(int32_t reserved1, uint8_t* settings, QXVorrel* device,
                                            const char* title, int32_t reserved2,
                                            int32_t reserved3);

}  // namespace qx
