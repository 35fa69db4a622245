// The Windows programs we ship, as Explorer and the loader see them: the version information
// of each, the project's version from `--version`, and a manifest that names the processor
// the build is for.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "qx_version.h"
#include "win_process.h"

namespace {

constexpr DWORD kRunTimeoutMs = 30000;

std::string StringValue(const std::string& info, const char* name) {
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr || length == 0)
        return "(none)";
    return std::string(value, strnlen(value, length));
}

TEST(ShippedFiles, CarryTheProjectVersion) {
    const struct {
        const char* file;
        DWORD type;
        const char* versionLine;  // what --version prints first; null: no console interface
    } files[] = {
        {"Quillon.exe", VFT_APP, nullptr},
        {"Tarnwell.dll", VFT_DLL, nullptr},
        {"qxtool.exe", VFT_APP, "qxtool " QX_VERSION},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const std::string path = qxwine::ProgramFolder() + f.file;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version information";
        std::string info(size, '\0');
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwFileVersionMS,
                  static_cast<DWORD>(MAKELONG(QX_VERSION_MINOR, QX_VERSION_MAJOR)));
        EXPECT_EQ(fixed->dwFileVersionLS, 0u);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwFileType, f.type);

        EXPECT_EQ(StringValue(info, "FileVersion"), QX_VERSION);
        EXPECT_EQ(StringValue(info, "ProductVersion"), QX_VERSION);
        EXPECT_EQ(StringValue(info, "ProductName"), "Quillon Software");
        EXPECT_EQ(StringValue(info, "CompanyName"), "Orvandel");
        EXPECT_EQ(StringValue(info, "OriginalFilename"), f.file);
        EXPECT_NE(StringValue(info, "FileDescription"), "(none)");

        if (f.versionLine != nullptr) {
            const qxwine::Outcome run = qxwine::Run(path, "--version", kRunTimeoutMs);
            ASSERT_TRUE(run.finished);
            EXPECT_EQ(run.exitCode, 0u);
            EXPECT_EQ(run.output.rfind(f.versionLine, 0), 0u) << run.output;
        }
    }
}

TEST(ShippedFiles, LauncherManifestNamesTheBuildsProcessor) {
    const std::string path = qxwine::ProgramFolder() + "Quillon.exe";
    HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(bytes, SizeofResource(image, found));
    FreeLibrary(image);

    const std::string arch = sizeof(void*) == 8 ? "amd64" : "x86";
    EXPECT_NE(manifest.find("processorArchitecture=\"" + arch + "\""), std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("version=\"" QX_VERSION ".0.0\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
}

}  // namespace
