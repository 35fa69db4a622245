// Quillon.exe under Wine with the stand-in Tarnwell.dll, the qxsim device on COMn and the
// settings file in the prefix's common application-data folder: what the stand-in received,
// the settings file afterwards, and the message boxes of the failure paths (answered by the
// test, as they block until closed).
#include <gtest/gtest.h>
// After windows.h (through win_process.h):
#include <aclapi.h>

#include <string>
#include <vector>

#include "platform/launcher_services.h"
#include "remote_sim.h"
#include "win_process.h"

namespace {

constexpr DWORD kRunTimeoutMs = 60000;
constexpr DWORD kBoxTimeoutMs = 30000;
constexpr long long kSettingsSize = 552;

std::string SettingsPath() {
    char folder[MAX_PATH] = {};
    if (!qx::platform::CommonAppDataFolder(folder, sizeof folder)) return {};
    return std::string(folder) + "\\Orvandel\\QuillonSettings.dat";
}

// A build-tree path of this machine as Wine sees it (drive Z: is the root).
std::string WinePath(std::string unixPath) {
    for (char& c : unixPath)
        if (c == '/') c = '\\';
    return "Z:" + unixPath;
}

class QuillonOnWine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Connect());
        ASSERT_TRUE(sim_.Reset());
        bin_ = qxwine::ProgramFolder();
        folder_ = qxwine::MakeTempFolder("quillon");
        settings_ = SettingsPath();
        ASSERT_FALSE(settings_.empty());
        DeleteFileA(settings_.c_str());
    }
    void TearDown() override { SetEnvironmentVariableA("QX_UI_SCRIPT", nullptr); }

    // The stand-in runs these actions (inherited through the environment).
    void Script(const std::string& actions) {
        const std::string path = folder_ + "script.txt";
        ASSERT_TRUE(qxwine::WriteFileBytes(path, {actions.begin(), actions.end()}));
        SetEnvironmentVariableA("QX_UI_SCRIPT", path.c_str());
    }

    // Runs the launcher to its end; its exit status.
    DWORD RunLauncher(const std::string& folder) {
        qxwine::Child launcher;
        EXPECT_TRUE(launcher.Start(folder + "Quillon.exe"));
        DWORD status = 0xFFFF;
        EXPECT_TRUE(launcher.Wait(kRunTimeoutMs, &status)) << "Quillon.exe still running";
        return status;
    }

    std::string Com() const { return "COM" + std::to_string(sim_.comNumber()); }

    qxtest::RemoteSim sim_;
    std::string bin_;
    std::string folder_;
    std::string settings_;
};

TEST_F(QuillonOnWine, FoundDeviceIsHandedToTheStandInAndSettingsPersist) {
    const std::string report = folder_ + "report.txt";
    Script("report " + report + "\n");

    struct Run {
        const char* settingsState;
    };
    const Run runs[] = {{"settings: fresh, layout 1, run 1"}, {"settings: kept, layout 1, run 2"}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.settingsState);
        DeleteFileA(report.c_str());
        EXPECT_EQ(RunLauncher(bin_), 0u);
        const std::string text = qxwine::ReadFileText(report);
        EXPECT_NE(text.find("title: Varnex Quillon Interface"), std::string::npos) << text;
        EXPECT_NE(text.find("device: Kelby"), std::string::npos) << text;
        EXPECT_NE(text.find("port: " + Com() + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find(run.settingsState), std::string::npos) << text;
        EXPECT_EQ(qxwine::FileSize(settings_), kSettingsSize);
        const std::vector<uint8_t> block = qxwine::ReadFileBytes(settings_);
        ASSERT_GE(block.size(), 4u);
        EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "TWSB");
    }
}

TEST_F(QuillonOnWine, SilentDeviceIsNotFoundAndTheStandInGetsNoDevice) {
    ASSERT_TRUE(sim_.Command("fault *:none"));
    const std::string report = folder_ + "report.txt";
    Script("report " + report + "\n");
    EXPECT_EQ(RunLauncher(bin_), 0u);
    const std::string text = qxwine::ReadFileText(report);
    EXPECT_NE(text.find("device: none"), std::string::npos) << text;
    EXPECT_EQ(qxwine::FileSize(settings_), kSettingsSize);
    EXPECT_TRUE(sim_.Command("clear-faults"));
}

TEST_F(QuillonOnWine, SecondInstanceIsTurnedAway) {
    const std::string ready = folder_ + "ready.txt";
    const std::string go = folder_ + "go";
    Script("stat " + settings_ + " " + ready + "\nwait-for " + go + " 30000\n");
    qxwine::Child first;
    ASSERT_TRUE(first.Start(bin_ + "Quillon.exe"));
    // The first one is inside the stand-in, holding the single-instance guard.
    bool inside = false;
    for (int i = 0; i < 600 && !inside; ++i) {
        inside = qxwine::FileSize(ready) >= 0;
        if (!inside) Sleep(50);
    }
    ASSERT_TRUE(inside) << "the first Quillon.exe never reached the stand-in";

    qxwine::Child second;
    ASSERT_TRUE(second.Start(bin_ + "Quillon.exe"));
    const qxwine::MessageBoxSeen box =
        qxwine::AnswerMessageBox(second.pid(), "Software Initialization Error", kBoxTimeoutMs);
    EXPECT_TRUE(box.found);
    EXPECT_EQ(box.text, "Quillon is already open");
    DWORD status = 0xFFFF;
    EXPECT_TRUE(second.Wait(kRunTimeoutMs, &status));

    ASSERT_TRUE(qxwine::WriteFileBytes(go, {'1'}));
    EXPECT_TRUE(first.Wait(kRunTimeoutMs, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(qxwine::FileSize(settings_), kSettingsSize);
}

constexpr DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

// An allow entry of an access list.
struct AllowEntry {
    bool found = false;
    DWORD mask = 0;
    BYTE flags = 0;
};

// The first allow entry of `dacl` for the well-known `who`, not inherited from a parent.
AllowEntry EntryFor(const ACL* dacl, WELL_KNOWN_SID_TYPE who) {
    AllowEntry entry;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (dacl == nullptr || !CreateWellKnownSid(who, nullptr, sid, &sidSize)) return entry;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (allowed->Header.AceFlags & INHERITED_ACE) == 0 &&
            EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid))
            return {true, allowed->Mask, allowed->Header.AceFlags};
    }
    return entry;
}

AllowEntry EntryFor(const std::string& path, WELL_KNOWN_SID_TYPE who) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no access list for " << path;
        return {};
    }
    const AllowEntry entry = EntryFor(dacl, who);
    LocalFree(descriptor);
    return entry;
}

bool OnWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(SharedFolderDescriptor, GrantsUsersModifyInheritedByWhatIsMadeInIt) {
    std::vector<uint8_t> bytes = qx::platform::SharedFolderDescriptor();
    ASSERT_FALSE(bytes.empty());
    auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(bytes.data());
    ASSERT_TRUE(IsValidSecurityDescriptor(descriptor));
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    EXPECT_FALSE(defaulted);
    // Not protected: the parent's inheritable entries (administrators, the creator) stay.
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_EQ(control & SE_DACL_PROTECTED, 0);
    // No owner or group of its own: the creator's.
    PSID owner = &owner;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted));
    EXPECT_EQ(owner, nullptr);

    EXPECT_EQ(dacl->AceCount, 1);
    const AllowEntry users = EntryFor(dacl, WinBuiltinUsersSid);
    ASSERT_TRUE(users.found);
    // Modify, and no more: not the right to change the access list or the owner.
    EXPECT_EQ(users.mask, kModify) << std::hex << users.mask;
    EXPECT_EQ(users.flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
}

TEST_F(QuillonOnWine, SettingsFolderIsMadeWithTheSharedAccessList) {
    // The first run on this PC: no folder yet.
    const std::string folder = settings_.substr(0, settings_.rfind('\\'));
    DeleteFileA((settings_ + ".tmp").c_str());
    ASSERT_TRUE(RemoveDirectoryA(folder.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
        << GetLastError();
    const std::string report = folder_ + "report.txt";
    Script("report " + report + "\n");
    EXPECT_EQ(RunLauncher(bin_), 0u);
    EXPECT_EQ(qxwine::FileSize(settings_), kSettingsSize);

    const AllowEntry users = EntryFor(folder, WinBuiltinUsersSid);
    if (users.found) {
        EXPECT_EQ(users.mask & kModify, kModify) << std::hex << users.mask;
        EXPECT_EQ(users.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                  OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        return;
    }
    // Wine as built here keeps no access list (its server stores none without extended
    // attributes): it turns the one asked for into the Unix mode and reads back a list made
    // from that mode. Users alone leave the others without access, so no entry for
    // Everyone comes back, where a folder made without an access list has one.
    ASSERT_TRUE(OnWine()) << "the folder has no entry for Users";
    EXPECT_FALSE(EntryFor(folder, WinWorldSid).found);
    const std::string plain = folder_ + "plain";
    ASSERT_TRUE(CreateDirectoryA(plain.c_str(), nullptr));
    EXPECT_TRUE(EntryFor(plain, WinWorldSid).found);
}

struct BrokenInstall {
    const char* name;
    const char* library;  // the Tarnwell.dll copied beside Quillon.exe, or "" for none
    const char* text;
};

TEST_F(QuillonOnWine, BrokenInstallationsSayWhatIsWrong) {
    const BrokenInstall cases[] = {
        {"no Tarnwell.dll", "", "Could not load Tarnwell.dll. Make sure it is with the .exe."},
        {"Tarnwell.dll without the entry", QX_NO_ENTRY_DLL,
         "Could not load UI Procedure. Make sure Tarnwell.dll is valid."},
    };
    for (const BrokenInstall& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string install = qxwine::MakeTempFolder("install");
        ASSERT_TRUE(qxwine::CopyInto("Quillon.exe", bin_, install));
        if (*c.library != '\0') {
            ASSERT_TRUE(
                CopyFileA(WinePath(c.library).c_str(), (install + "Tarnwell.dll").c_str(), FALSE));
        }
        qxwine::Child launcher;
        ASSERT_TRUE(launcher.Start(install + "Quillon.exe"));
        const qxwine::MessageBoxSeen box =
            qxwine::AnswerMessageBox(launcher.pid(), "Init Error", kBoxTimeoutMs);
        EXPECT_TRUE(box.found);
        EXPECT_EQ(box.text, c.text);
        DWORD status = 0xFFFF;
        EXPECT_TRUE(launcher.Wait(kRunTimeoutMs, &status));
        EXPECT_EQ(status, 0u);
        // The settings file is not touched when there is nothing to hand it to.
        EXPECT_EQ(qxwine::FileSize(settings_), -1);
    }
}

}  // namespace
