// The readers and writers against an independent implementation: srec_cat (srecord).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "qxtool/image_test_util.h"
#include "tools/qxtool/image_file.h"

namespace qx::image {
namespace {

namespace fs = std::filesystem;
using test::Layout;

std::string Hex(std::uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

const Layout kLayouts[] = {
    {{0, 1}},
    {{0xFFF0, 100}, {0x2FFFF, 2}},
    {{0xFFFFF0, 64}, {0x1000100, 300}},
    {{0xFFFFFF00, 0x100}},
    test::RandomLayout(10, 15, 0x10000),
    test::RandomLayout(11, 15, 0x1000000),
    test::RandomLayout(12, 15, 0xF0000000),
};

class Oracle : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("srec_cat -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "srec_cat (package srecord) is not installed";
        dir_ = fs::temp_directory_path() /
               ("qximage-oracle-" + std::to_string(std::random_device()()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }
    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
    bool SrecCat(const std::string& args) {
        std::string command = "srec_cat " + args + " 2>" + PathOf("stderr");
        if (std::system(command.c_str()) == 0) return true;
        ADD_FAILURE() << command << "\n" << ReadFile(PathOf("stderr"));
        return false;
    }

    fs::path dir_;
};

TEST_F(Oracle, ReadsWhatSrecCatWrites) {
    struct Output {
        const char* args;
        Format format;
    } outputs[] = {{"-intel", Format::IntelHex},
                   {"-intel -Output_Block_Size=32", Format::IntelHex},
                   {"-motorola", Format::SRecord},
                   {"-motorola -address-length=4", Format::SRecord},
                   {"-motorola -address-length=3 -Output_Block_Size=64", Format::SRecord}};
    unsigned seed = 0;
    for (const Layout& layout : kLayouts) {
        Image image = test::RandomImage(layout, ++seed);
        std::string inputs;
        for (const Segment& s : image.Segments()) {
            std::string file = PathOf("in" + Hex(s.address) + ".bin");
            WriteFile(file, std::string(s.bytes.begin(), s.bytes.end()));
            inputs += file + " -binary -offset " + Hex(s.address) + " ";
        }
        for (const auto& out : outputs) {
            // S1/S2 cannot carry addresses above their width; srec_cat refuses those.
            if (std::string(out.args).find("length=3") != std::string::npos &&
                image.Extent()->highest > 0xFFFFFF)
                continue;
            SCOPED_TRACE(std::string(out.args) + " seed " + std::to_string(seed));
            if (!SrecCat(inputs + "-o " + PathOf("out") + " " + out.args)) continue;
            EXPECT_EQ(Parse(ReadFile(PathOf("out")), out.format), image);
        }
    }
}

TEST_F(Oracle, SrecCatReadsWhatWeWrite) {
    struct Input {
        Format format;
        unsigned bytesPerRecord;
        const char* args;
    } inputs[] = {{Format::IntelHex, 16, "-intel"},   {Format::IntelHex, 32, "-intel"},
                  {Format::SRecord, 16, "-motorola"}, {Format::IntelHex, 255, "-intel"},
                  {Format::SRecord, 32, "-motorola"}, {Format::SRecord, 250, "-motorola"}};
    unsigned seed = 100;
    for (const Layout& layout : kLayouts) {
        Image image = test::RandomImage(layout, ++seed);
        image.start = layout.front().first;
        Extent e = *image.Extent();
        std::uint64_t span = std::uint64_t{e.highest} + 1 - e.lowest;
        auto expected = image.Flatten(e.lowest, span, 0xFF);
        for (const auto& in : inputs) {
            SCOPED_TRACE(std::string(in.args) + " " + std::to_string(in.bytesPerRecord) + " seed " +
                         std::to_string(seed));
            WriteFile(PathOf("ours"),
                      Write(image, in.format, {.bytesPerRecord = in.bytesPerRecord}));
            // Binary output starts at address 0: move the image down and fill its holes.
            if (!SrecCat(PathOf("ours") + " " + in.args + " -offset -" + Hex(e.lowest) +
                         " -fill 0xFF 0 " + Hex(span) + " -o " + PathOf("back.bin") + " -binary"))
                continue;
            std::string back = ReadFile(PathOf("back.bin"));
            EXPECT_TRUE(back == std::string(expected.begin(), expected.end()))
                << "srec_cat read back " << back.size() << " bytes, expected " << span;
        }
    }
}

}  // namespace
}  // namespace qx::image
