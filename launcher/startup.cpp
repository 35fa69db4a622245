#include "launcher/startup.h"

#include "base/bounded_text.h"
#include "device/model_table.h"
#include "launcher/front_end.h"
#include "launcher/settings_file.h"
#include "platform/launcher_services.h"
#include "qx_version.h"

namespace qx {

QXVorrel gDevice;
uint8_t gSettingsBlock[kSettingsBlockSize];

namespace {

constexpr uint32_t kModelTextCapacity = 100;
constexpr uint32_t kStatusTextCapacity = 110;
constexpr uint32_t kLibraryPathCapacity = 260;

constexpr int32_t kProductLineKey = 1;
constexpr int32_t kStatusLineKey = 2;
constexpr int32_t kLinesTop = 150;
constexpr int32_t kProductLineLeft = 25;
constexpr int32_t kStatusLineLeft = 250;

constexpr uint32_t kBurningCapabilities = 1;

const char* const kUiTitle = "Varnex Quillon Interface";

// The splash, the search and its verdict.
void SearchForHardware(frontend::Splash* splash) {
    using namespace frontend;
    SplashAddLine(splash, "Quillon Software v" QX_VERSION, kProductLineLeft, kLinesTop,
                  kProductLineKey, kColourBlack);
    SplashAddLine(splash, "Searching for Hardware...", kStatusLineLeft, kLinesTop, kStatusLineKey,
                  kColourBlack);
    SplashShow(splash, 0);

    char modelText[kModelTextCapacity] = {};
    uint8_t version[3] = {};
    // The verdict reads the capabilities: a device that answered but was not identified
    // counts as none, whatever the search returned.
    (void)gDevice.FindDevice(modelText, kModelTextCapacity, version, 0);

    char status[kStatusTextCapacity];
    if (gDevice.capabilities == 0) {
        BoundedCopy(status, sizeof status, "No Hardware Found");
        SplashSetLineColour(splash, kStatusLineKey, kColourRed, false);
        SplashSetLineText(splash, kStatusLineKey, status, true);
        Pause(kVerdictPauseMs);
    } else {
        BoundedCopy(status, sizeof status, "Found: ");
        BoundedAppend(status, sizeof status, modelText);
        if (gDevice.interfaceType == kInterfaceUsb || TraitsOf(gDevice.hardwareType).usbLink)
            (void)gDevice.SetUSBBaud(kSpeed921600, 0);  // refused: it works on at 115200
        SplashSetLineText(splash, kStatusLineKey, status, true);
        Pause(kVerdictPauseMs);
        if (gDevice.capabilities != kBurningCapabilities) {
            SplashSetLineColour(splash, kStatusLineKey, kColourRed, false);
            SplashSetLineText(splash, kStatusLineKey, "Hardware does not support burning!", true);
            Pause(kVerdictPauseMs);
        }
    }
    SplashHide(splash);
    SplashClose(splash);
}

// The settings file's path; the folder is created on the way. False when the path does not
// fit: a cut path would name some other file.
bool BuildSettingsPath(char* path, uint32_t capacity) {
    path[0] = '\0';
    platform::CommonAppDataFolder(path, capacity);
    char folder[16];
    BoundedFormat(folder, sizeof folder, "%s%c", kSettingsFolderName, platform::kPathSeparator);
    if (!platform::AppendPath(path, capacity, folder)) return false;
    // Every user of the machine shares the one settings file.
    platform::CreateSharedFolder(path);
    return BoundedAppend(path, capacity, kSettingsFileName) == kSOk;
}

// The hand-off: guard, library, settings, the call and the write-back.
void HandOff() {
    const platform::NamedMutex mutex = platform::MutexCreateOwned(kMutexName);
    if (mutex.alreadyExisted) {
        frontend::ShowWarning("Quillon is already open", "Software Initialization Error");
        return;
    }

    // From the executable's own folder only: the current folder could hold anybody's copy.
    char libraryPath[kLibraryPathCapacity];
    platform::LibraryHandle library = nullptr;
    if (platform::ExecutableFolder(libraryPath, sizeof libraryPath) &&
        BoundedAppend(libraryPath, sizeof libraryPath, kLibraryName) == kSOk)
        library = platform::LibraryLoad(libraryPath);
    if (library == nullptr) {
        frontend::ShowWarning("Could not load Tarnwell.dll. Make sure it is with the .exe.",
                              "Init Error");
        return;
    }

    const auto uiProcedure = reinterpret_cast<UIProcedureFn>(platform::LibraryEntry(library));
    if (uiProcedure == nullptr) {
        frontend::ShowWarning("Could not load UI Procedure. Make sure Tarnwell.dll is valid.",
                              "Init Error");
        platform::LibraryFree(library);
        return;
    }

    char settingsPath[kSettingsPathCapacity];
    SettingsFile settings;
    if (!BuildSettingsPath(settingsPath, sizeof settingsPath) || !settings.Open(settingsPath)) {
        frontend::ShowWarning("Could not open settings file.", "Error!");
        platform::MutexRelease(mutex.handle);
        platform::LibraryFree(library);
        return;
    }
    settings.Load(gSettingsBlock, kSettingsBlockSize);

    uiProcedure(0, gSettingsBlock, &gDevice, kUiTitle, 0, 1);

    settings.Save(gSettingsBlock, kSettingsBlockSize);
    platform::MutexRelease(mutex.handle);
    settings.Close();
    platform::LibraryFree(library);
}

}  // namespace

int RunLauncher(void* moduleInstance) {
    frontend::Splash* splash = frontend::SplashConstruct();
    frontend::SplashCreate(splash, moduleInstance, kSplashBitmapId, frontend::kSplashTopmost);
    SearchForHardware(splash);
    HandOff();
    frontend::SplashDestroy(splash);
    return 0;
}

}  // namespace qx
