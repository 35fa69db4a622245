// The launcher's whole life: splash, device search, single-instance guard, settings file,
// and the hand-off of the device object to the user-interface library.
#pragma once

#include <cstdint>

#include "device/qx_vorrel.h"
#include "launcher/ui_procedure.h"

namespace qx {

// The one device object and the settings block, alive for the whole process. The device
// object is built before the entry function runs and destroyed after it returns, which
// closes its port.
extern QXVorrel gDevice;
extern uint8_t gSettingsBlock[kSettingsBlockSize];

inline constexpr int32_t kSplashBitmapId = 102;
inline constexpr const char* kLibraryName = "Tarnwell.dll";
inline constexpr const char* kMutexName = "QUILLONSOFTWARE";
inline constexpr const char* kSettingsFolderName = "Orvandel";
inline constexpr const char* kSettingsFileName = "QuillonSettings.dat";
inline constexpr uint32_t kVerdictPauseMs = 700;

// Runs start-up to the end; `moduleInstance` holds the splash bitmap (null on POSIX).
// Always 0.
int RunLauncher(void* moduleInstance);

}  // namespace qx
