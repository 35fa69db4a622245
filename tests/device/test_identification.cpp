// Identification against the simulator: every letter of the model table, the firmware
// feature boundaries, the special steps and the three small requests identification sends.
#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>

#include "device/qx_vorrel.h"
#include "sim_fixture.h"
#include "test_identification_support.h"

namespace {

using namespace qx;
using identtest::Requests;
using identtest::Split;
using qxtest::SimConfig;
using qxtest::SimDevice;

// What the simulated device is.
struct Dev {
    char letter;
    uint8_t major;
    uint8_t minor;
    char eepromId = '=';  // information record byte 0 ('=': the hardware letter)
    char interfaceLetter = 'U';
    uint8_t serial0 = 'n';  // 'n' or 0: encryption off
    uint8_t tolliverMode = 1;
    const char* name = "Simulator";
    const char* fault = nullptr;
};

constexpr uint8_t kEmulationBank = 6;
constexpr uint8_t kReadWriteBank = 2;
constexpr uint8_t kTolliverBank = 3;

struct Geometry {
    int32_t dataWidth;
    int32_t bankCount;
    uint32_t memorySize;
    uint32_t bankSize;
    uint32_t sizeHint;
};
constexpr Geometry kNone{0, 0, 0, 0, 0};
constexpr Geometry k8x8000{8, 1, 0x8000, 0x8000, 0x8000};
constexpr Geometry k8x10000{8, 1, 0x10000, 0x10000, 0x10000};
constexpr Geometry k16x100000{16, 1, 0x100000, 0x100000, 0x100000};
constexpr Geometry kKelby{8, 9, 0x80000, 0x10000, 0x10000};
constexpr Geometry kMorrow{8, 17, 0x80000, 0x8000, 0x10000};
constexpr Geometry kOrva{8, 3, 0x20000, 0x10000, 0x10000};

// Which banks identification read back from the device.
enum Banks { kNoBanks, kEmulationOnly, kBothBanks, kTolliver };

struct IdentCase {
    const char* label;
    Dev dev;
    int32_t result;
    const char* modelName;
    int32_t family;
    int32_t type;
    uint32_t capabilities;
    Geometry geometry;
    int32_t interfaceType;
    Banks banks;
    bool flashInfo;
    int32_t rate;
    const char* requests;           // the simulator's transcript, in order
    const char* logLine = nullptr;  // a line the log must hold
};

const std::string kLongName = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";

// clang-format off
const IdentCase kCases[] = {
    {"CalderI_1_33", {'1', 1, 33}, VR_S_OK, "Calder I v1.33", 2, 1, 0x1002, k8x8000, 0, kNoBanks, false, 0, "VV"},
    {"CalderI_1_34", {'1', 1, 34}, VR_S_OK, "Calder I v1.34", 2, 1, 0x1022, k8x8000, 0, kNoBanks, false, 0, "VV"},
    {"CalderI_2_0", {'1', 2, 0}, VR_S_OK, "Calder I v2.0", 2, 1, 0x1022, k8x8000, 0, kNoBanks, false, 0, "VV"},
    {"CalderI_0_9", {'1', 0, 9}, VR_S_OK, "Calder I v0.9", 2, 1, 0x1022, k8x8000, 0, kNoBanks, false, 0, "VV"},
    {"CalderII_1_33", {'2', 1, 33}, VR_S_OK, "Calder II v1.33", 2, 2, 0x1002, k8x10000, 0, kNoBanks, false, 0, "VV"},
    {"CalderII_1_34", {'2', 1, 34}, VR_S_OK, "Calder II v1.34", 2, 2, 0x1022, k8x10000, 0, kNoBanks, false, 0, "VV"},
    {"VespinPro", {'T', 4, 2}, VR_S_OK, "Vespin Pro v4.2", 3, 3, 0x1102, k8x10000, 0, kNoBanks, false, 0, "VV"},
    {"NameString", {'S', 1, 0}, VR_S_OK, "Simulator", 4, 4, 0x1002, k8x10000, 3, kNoBanks, false, 0, "VV VSS"},
    {"NameStringCutAt31", {'S', 1, 0, '=', 'U', 'n', 1, kLongName.c_str()}, VR_S_OK,
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcde", 4, 4, 0x1002, k8x10000, 3, kNoBanks, false, 0, "VV VSS"},
    {"NameStringFails", {'S', 1, 0, '=', 'U', 'n', 1, "Simulator", "VSS:none"},
        static_cast<int32_t>(0x80004005u), "", 4, 4, 0x1002, k8x10000, 3, kNoBanks, false, 0, "VV VSS"},
    {"Vorrel_2_11", {'A', 2, 11}, VR_S_OK, "Vorrel v2.11", 1, 5, 0x1113, k8x10000, 1, kNoBanks, false, 0, "VV HR"},
    {"Vorrel_2_12", {'A', 2, 12, '=', 'B'}, VR_S_OK, "Vorrel v2.12", 1, 5, 0x1153, k8x10000, 2, kNoBanks, false, 0, "VV HR"},
    {"Vorrel_3_0", {'A', 3, 0, '=', 'S'}, VR_S_OK, "Vorrel v3.0", 1, 5, 0x1153, k8x10000, 3, kNoBanks, false, 0, "VV HR"},
    {"Quillon_UnknownInterface", {'F', 1, 0, '=', 'Z'}, VR_S_OK, "Quillon v1.0", 1, 6, 0x0001, kNone, 0, kNoBanks, false, 0,
        "VV HR", "VarnexWare: Could not get communication interface type."},
    {"Kelby_10_4", {'O', 10, 4}, VR_S_OK, "Kelby v10.4", 1, 7, 0x1002, kKelby, 1, kNoBanks, false, 0, "VV HR HR"},
    {"Kelby_10_5", {'O', 10, 5}, VR_S_OK, "Kelby v10.5", 1, 7, 0x100A, kKelby, 1, kBothBanks, false, 0, "VV HR HR B B"},
    {"Kelby_10_12", {'O', 10, 12}, VR_S_OK, "Kelby v10.12", 1, 7, 0x104A, kKelby, 1, kBothBanks, false, 0, "VV HR HR B B"},
    {"Kelby_10_15_Encrypted", {'O', 10, 15, '=', 'U', 'E'}, VR_S_OK, "Kelby v10.15", 1, 7, 0x104E, kKelby, 1, kBothBanks, false, 0,
        "VV HR HR B B NS", "Encryption Enabled"},
    {"Kelby_9_0", {'O', 9, 0, '=', 'U', 'E'}, VR_S_OK, "Kelby v9.0", 1, 7, 0x104E, kKelby, 1, kBothBanks, false, 0, "VV HR HR B B NS"},
    {"Kelby_11_0", {'O', 11, 0, '=', 'U', 'E'}, VR_S_OK, "Kelby v11.0", 1, 7, 0x104E, kKelby, 1, kBothBanks, false, 0, "VV HR HR B B NS"},
    {"Kelby_EncryptionOff", {'O', 10, 15, '=', 'U', 'n'}, VR_S_OK, "Kelby v10.15", 1, 7, 0x104A, kKelby, 1, kBothBanks, false, 0,
        "VV HR HR B B NS", "Encryption possible, but disabled"},
    {"Kelby_SerialByteZero", {'O', 10, 15, '=', 'U', 0}, VR_S_OK, "Kelby v10.15", 1, 7, 0x104A, kKelby, 1, kBothBanks, false, 0,
        "VV HR HR B B NS", "Encryption possible, but disabled"},
    {"Kelby_SerialUnanswered", {'O', 10, 15, '=', 'U', 'E', 1, "", "NS:none"}, VR_S_OK, "Kelby v10.15", 1, 7, 0x104A, kKelby, 1,
        kBothBanks, false, 0, "VV HR HR B B NS", "Serial request timed out"},
    // Encryption is on only where the serial reply confirms it, whatever ended identification.
    {"Kelby_BankFailsEncryptionOff", {'O', 10, 15, '=', 'U', 'n', 1, "", "B:none"}, VR_E_INVALID_RESPONSE, "Kelby v10.15", 1, 7,
        0x104A, kKelby, 1, kNoBanks, false, 0, "VV HR HR B NS", "Encryption possible, but disabled"},
    {"Kelby_BankFailsEncrypted", {'O', 10, 15, '=', 'U', 'E', 1, "", "B:none"}, VR_E_INVALID_RESPONSE, "Kelby v10.15", 1, 7,
        0x104E, kKelby, 1, kNoBanks, false, 0, "VV HR HR B NS", "Encryption Enabled"},
    {"Kelby_SerialBadChecksum", {'O', 10, 15, '=', 'U', 'E', 1, "", "NS:badsum"}, VR_S_OK, "Kelby v10.15", 1, 7, 0x104A, kKelby, 1,
        kBothBanks, false, 0, "VV HR HR B B NS", "Encryption possible, but disabled"},
    {"KelbyII_ByEepromRecord", {'O', 10, 15, 'P', 'U', 'E'}, VR_S_OK, "Kelby II v10.15", 1, 8, 0x106E, kKelby, 1, kBothBanks, false, 0,
        "VV HR HR B B NS"},
    {"Kelby_EepromFails", {'O', 10, 15, '=', 'U', 'E', 1, "", "HR:none"}, VR_S_OK, " v10.15", 1, 7, 0x100A, kKelby, 0, kBothBanks,
        false, 0, "VV HR HR B B"},
    {"KelbyII", {'P', 3, 1, '=', 'B', 'n'}, VR_S_OK, "Kelby II v3.1", 1, 8, 0x106A, kKelby, 2, kBothBanks, false, 0, "VV HR B B NS"},
    {"Sarnet", {'R', 1, 0, '=', 'U', 'E'}, VR_S_OK, "Sarnet v1.0", 1, 9, 0x1066, k16x100000, 1, kNoBanks, false, 0, "VV HR NS"},
    {"Halvane", {'L', 1, 0}, VR_S_OK, "Halvane v1.0", 1, 10, 0x0280, kNone, 1, kNoBanks, true, 0, "VV HR DOLI"},
    {"Morrow_49", {'D', 49, 0}, VR_S_OK, "Morrow v49.0", 1, 11, 0x10CA, kMorrow, 1, kBothBanks, true, 0, "VV HR B B DOLI"},
    {"MorrowII_50", {'D', 50, 0}, VR_S_OK, "Morrow II v50.0", 1, 12, 0x10C2, k8x8000, 1, kNoBanks, false, 0, "VV HR",
        "Morrow2 device ID fixup applied"},
    {"Tessary_1_2", {'X', 1, 2}, VR_S_OK, "Tessary v1.2", 1, 13, 0x0401, kNone, 1, kNoBanks, false, 0, "VV HR"},
    {"Tessary_1_3", {'X', 1, 3}, VR_S_OK, "Tessary v1.3", 1, 13, 0x0801, kNone, 1, kNoBanks, false, 0, "VV HR"},
    {"Tessary_2_0", {'X', 2, 0}, VR_S_OK, "Tessary v2.0", 1, 13, 0x0801, kNone, 1, kNoBanks, false, 0, "VV HR"},
    {"Tolliver_Mode0", {'Q', 2, 0, '=', 'U', 'n', 0}, VR_S_OK, "Tolliver v2.0", 1, 14, 0x102B, {8, 1, 0x80000, 0x80000, 0}, 1,
        kTolliver, false, 0, "VV HR HR HR", "QXVorrel: Tolliver mode retrieved: 0"},
    {"Tolliver_Mode3", {'Q', 2, 0, '=', 'U', 'n', 3}, VR_S_OK, "Tolliver v2.0", 1, 14, 0x102B, {8, 4, 0x80000, 0x20000, 0}, 1,
        kTolliver, false, 0, "VV HR HR HR", "QXVorrel: Tolliver mode retrieved: 3"},
    {"Tolliver_Mode4", {'Q', 2, 0, '=', 'U', 'n', 4}, VR_S_OK, "Tolliver v2.0", 1, 14, 0x102B, {8, 2, 0x80000, 0x40000, 0}, 1,
        kTolliver, false, 0, "VV HR HR HR", "QXVorrel: Tolliver mode retrieved: 4"},
    // Firmware 1.5 keeps the configuration bytes in device memory.
    {"Tolliver_Fw1_5_Mode1", {'Q', 1, 5, '=', 'U', 'n', 1}, VR_S_OK, "Tolliver v1.5", 1, 14, 0x102B, {8, 8, 0x80000, 0x10000, 0}, 1,
        kTolliver, false, 0, "VV R HR R", "QXVorrel: Tolliver mode retrieved: 1"},
    {"Tolliver_ModeReadFails", {'Q', 2, 0, '=', 'U', 'n', 3, "", "HR:none"}, VR_E_COMM_READ_FAILURE, "Tolliver", 1, 14, 0x102B,
        {8, 0, 0x80000, 0, 0}, 0, kNoBanks, false, 0, "VV HR", "QXVorrel: Tolliver mode retrieval FAILED"},
    {"Fennick", {'J', 1, 0}, VR_S_OK, "Fennick v1.0", 1, 15, 0x0001, kNone, 1, kNoBanks, false, 0, "VV HR"},
    // Flagged with banks but without a get request: identification ends there.
    {"Brannock", {'Z', 1, 0}, VR_E_REQUEST_NOT_SUPPORTED, "Brannock v1.0", 1, 16, 0x0009, kNone, 1, kNoBanks, false, 921000, "VV HR"},
    {"ORVA", {'N', 1, 0}, VR_S_OK, "ORVA v1.0", 1, 17, 0x108A, kOrva, 1, kBothBanks, true, 0, "VV HR B B DOLI"},
    {"ORVA2", {'n', 1, 0}, VR_S_OK, "ORVA2 v1.0", 1, 18, 0x108A, kOrva, 1, kBothBanks, true, 0, "VV HR B B DOLI"},
    {"Pyrrin", {'#', 1, 0}, VR_S_OK, "Pyrrin v1.0", 5, 19, 0x1022, k8x10000, 0, kNoBanks, false, 0, "VV"},
    {"Quentor", {'+', 1, 0}, VR_S_OK, "Quentor v1.0", 5, 20, 0x1062, k16x100000, 0, kNoBanks, false, 0, "VV"},
    {"AstrelLite", {'l', 1, 0}, VR_S_OK, "Astrel Lite v1.0", 6, 21, 0x0042, k16x100000, 0, kNoBanks, false, 0, "VV"},
    {"AstrelPlus", {'^', 1, 0}, VR_S_OK, "Astrel Plus v1.0", 6, 22, 0x0042, k16x100000, 0, kNoBanks, false, 0, "VV"},
    {"Ombrel", {'c', 1, 0}, VR_S_OK, "Ombrel v1.0", 7, 23, 0x0001, kNone, 0, kNoBanks, false, 0, "VV"},
    {"LowerD_NoModel", {'d', 1, 0}, VR_S_OK, " v1.0", 0, 0, 0, kNone, 0, kNoBanks, false, 0, "VV"},
    {"Unlisted", {'W', 1, 0}, static_cast<int32_t>(0x8007048Fu), "", 0, 0, 0, kNone, 0, kNoBanks, false, 0, "VV",
        "QXVorrel: Could not determine hardware type from version ID."},
};
// clang-format on

qxsim::Config WithFault(qxsim::Config config, const char* spec) {
    if (spec != nullptr) {
        qxsim::Fault fault;
        EXPECT_TRUE(qxsim::ParseFault(spec, fault)) << spec;
        config.faults.push_back(fault);
    }
    return config;
}

bool HasMessage(const SimDevice& dev, const std::string& line) {
    const std::vector<std::string> messages = dev.Messages();
    return std::find(messages.begin(), messages.end(), line) != messages.end();
}

qxsim::Config ConfigFor(const Dev& dev) {
    qxsim::Config config = SimConfig(dev.letter, dev.major, dev.minor);
    config.eepromDeviceId = dev.eepromId;
    config.interfaceLetter = dev.interfaceLetter;
    config.serial[0] = dev.serial0;
    config.tolliverMode = dev.tolliverMode;
    config.tolliverBank = kTolliverBank;
    config.emulationBank = kEmulationBank;
    config.readWriteBank = kReadWriteBank;
    config.name = dev.name;
    return WithFault(config, dev.fault);
}

void PrintTo(const IdentCase& c, std::ostream* os) {
    *os << c.label;
}

class Identification : public ::testing::TestWithParam<IdentCase> {};

TEST_P(Identification, ModelFieldsAndRequests) {
    const IdentCase& c = GetParam();
    const qxsim::Config config = ConfigFor(c.dev);
    SimDevice dev(config);
    ASSERT_TRUE(dev.Start());
    QXVorrel& device = dev.device();
    ASSERT_EQ(device.GetFirmwareVersion(nullptr), VR_S_OK);

    EXPECT_EQ(device.Identify(), c.result);

    EXPECT_STREQ(device.modelName, c.modelName);
    EXPECT_EQ(device.protocolFamily, c.family);
    EXPECT_EQ(device.hardwareType, c.type);
    EXPECT_EQ(device.capabilities, c.capabilities);
    EXPECT_EQ(device.dataWidth, c.geometry.dataWidth);
    EXPECT_EQ(device.bankCount, c.geometry.bankCount);
    EXPECT_EQ(device.memorySize, c.geometry.memorySize);
    EXPECT_EQ(device.bankSize, c.geometry.bankSize);
    EXPECT_EQ(device.sizeHint, c.geometry.sizeHint);
    EXPECT_EQ(device.interfaceType, c.interfaceType);
    for (int32_t rate : device.rateValues) EXPECT_EQ(rate, c.rate);

    const uint8_t emulation = c.banks == kTolliver  ? kTolliverBank
                              : c.banks == kNoBanks ? 0
                                                    : kEmulationBank;
    EXPECT_EQ(device.emulationBank, emulation);
    EXPECT_EQ(device.readWriteBank, c.banks == kBothBanks ? kReadWriteBank : 0);

    uint8_t flash[kFlashInfoSize] = {};
    if (c.flashInfo) std::memcpy(flash, config.flashInfo.data(), sizeof flash);
    EXPECT_EQ(std::memcmp(device.flashInfo, flash, sizeof flash), 0);

    // Identification reads the version bytes only; they survive it.
    EXPECT_EQ(device.hardwareId, c.dev.letter);
    EXPECT_EQ(device.firmwareMajor, c.dev.major);
    EXPECT_EQ(device.firmwareMinor, c.dev.minor);

    const std::vector<std::string> expected = Split(c.requests);
    dev.sim().WaitForTranscript(expected.size(), 1000);
    EXPECT_EQ(Requests(dev.Transcript()), expected);
    if (c.logLine != nullptr) {
        EXPECT_TRUE(HasMessage(dev, c.logLine)) << dev.LogText();
    }
}

INSTANTIATE_TEST_SUITE_P(EveryModel, Identification, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<IdentCase>& info) {
                             return std::string(info.param.label);
                         });

// --- the version ID ---------------------------------------------------------------------

TEST(FirmwareVersion, ReplyRules) {
    struct Case {
        const char* label;
        uint8_t major;
        uint8_t minor;
        char letter;
        int32_t result;
    };
    const Case cases[] = {
        {"echo of the request", 'V', 'V', 'X', VR_E_INVALID_RESPONSE},
        {"both version bytes zero", 0, 0, 'A', VR_E_INVALID_RESPONSE},
        {"letter not printable", 1, 0, 0x07, VR_E_INVALID_RESPONSE},
        {"letter 0x7F", 1, 0, 0x7F, VR_E_INVALID_RESPONSE},
        {"only the major zero", 0, 5, 'A', VR_S_OK},
        {"only the minor zero", 3, 0, 'A', VR_S_OK},
        {"one byte 'V'", 'V', 1, 'A', VR_S_OK},
        {"space is printable", 1, 2, ' ', VR_S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SimDevice dev(SimConfig(c.letter, c.major, c.minor));
        ASSERT_TRUE(dev.Start());
        QXVorrel& device = dev.device();
        uint8_t version[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_EQ(device.GetFirmwareVersion(version), c.result);
        // A refused reply stays in the fields, but never reaches the caller's record.
        EXPECT_EQ(device.firmwareMajor, c.major);
        EXPECT_EQ(device.firmwareMinor, c.minor);
        EXPECT_EQ(device.hardwareId, c.letter);
        const bool accepted = c.result == VR_S_OK;
        EXPECT_EQ(version[0], accepted ? c.major : 0xEE);
        EXPECT_EQ(version[1], accepted ? c.minor : 0xEE);
        EXPECT_EQ(version[2], accepted ? static_cast<uint8_t>(c.letter) : 0xEE);
        EXPECT_EQ(dev.RequestHex(), std::vector<std::string>{"56 56"});
        EXPECT_TRUE(HasMessage(dev, "QXVorrel: Firmware Version string requested"));
        EXPECT_EQ(device.port->timeouts.ReadTotalTimeoutConstant, 300u);
        EXPECT_EQ(device.portFree, 1);
    }
}

TEST(FirmwareVersion, FailuresOfTheExchange) {
    struct Case {
        const char* label;
        const char* fault;
        bool closed;
        int32_t result;
        uint8_t major;  // what the field holds afterwards
    };
    const Case cases[] = {
        {"port closed: nothing logged or changed", nullptr, true, VR_E_PORT_NOT_INITIALIZED, 9},
        {"no reply", "VV:none", false, VR_E_COMM_READ_FAILURE, 0},
        {"two bytes of three", "VV:short=2", false, VR_E_COMM_READ_FAILURE, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SimDevice dev(WithFault(SimConfig('A', 4, 2), c.fault));
        ASSERT_TRUE(dev.Start());
        QXVorrel& device = dev.device();
        if (c.closed) device.ClosePort();
        dev.Reset();
        device.firmwareMajor = 9;
        device.hardwareId = 'Q';
        uint8_t version[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_EQ(device.GetFirmwareVersion(version), c.result);
        EXPECT_EQ(device.firmwareMajor, c.major);
        EXPECT_EQ(device.hardwareId, c.closed ? 'Q' : 0);
        EXPECT_EQ(version[0], 0xEE);
        EXPECT_EQ(dev.Messages().empty(), c.closed);
        EXPECT_EQ(device.portFree, 1);
    }
}

// --- name string and serial -----------------------------------------------------------

TEST(NameString, RequestResults) {
    struct Case {
        const char* label;
        const char* fault;
        bool nullBuffer;
        bool open;
        int32_t result;
    };
    const Case cases[] = {
        {"good reply", nullptr, false, true, VR_S_OK},
        {"bad checksum", "VSS:badsum", false, true, VR_E_BAD_CHECKSUM},
        {"no reply", "VSS:none", false, true, VR_E_COMM_READ_FAILURE},
        {"data without checksum", "VSS:short=255", false, true, VR_E_COMM_READ_FAILURE},
        {"null buffer on a closed port", nullptr, true, false, VR_E_INVALID_FUNC_PARAM},
        {"closed port", nullptr, false, false, VR_E_PORT_NOT_INITIALIZED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qxsim::Config config = SimConfig('S', 1, 0);
        config.name = "Bench unit";
        SimDevice dev(WithFault(config, c.fault));
        ASSERT_TRUE(dev.Start());
        QXVorrel& device = dev.device();
        if (!c.open) device.ClosePort();
        uint8_t buffer[255] = {};
        EXPECT_EQ(device.GetNameString(c.nullBuffer ? nullptr : buffer), c.result);
        if (c.result == VR_S_OK) {
            EXPECT_EQ(buffer[0], 'S');
            EXPECT_EQ(buffer[1], '!');
            EXPECT_STREQ(reinterpret_cast<const char*>(buffer + 2), "Bench unit");
        }
        if (c.open) {
            EXPECT_EQ(device.port->timeouts.ReadTotalTimeoutConstant, 300u);
            dev.sim().WaitForTranscript(1, 1000);
            EXPECT_EQ(dev.RequestHex(), std::vector<std::string>{"56 53 53 FC"});
        } else {
            EXPECT_TRUE(dev.Transcript().empty());
        }
        EXPECT_EQ(device.portFree, 1);
    }
}

TEST(Serial, RequestResultsAndTimeout) {
    struct Case {
        const char* label;
        const char* fault;
        int32_t result;
        bool timedOutLine;
    };
    const Case cases[] = {
        {"good reply", nullptr, VR_S_OK, false},
        {"corrupted reply", "NS:badsum", VR_E_BAD_CHECKSUM, false},
        {"no reply", "NS:none", VR_E_COMM_READ_TIMEOUT, true},
        {"data without checksum", "NS:short=9", VR_E_COMM_READ_FAILURE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qxsim::Config config = SimConfig('R', 1, 0);
        config.serial = {'E', 1, 2, 3, 4, 5, 6, 7, 8};
        SimDevice dev(WithFault(config, c.fault));
        ASSERT_TRUE(dev.Start());
        QXVorrel& device = dev.device();
        uint8_t buffer[9] = {};
        const auto start = identtest::Clock::now();
        EXPECT_EQ(device.GetSerial(buffer), c.result);
        const double elapsed = identtest::ExactMsSince(start);
        if (c.result == VR_S_OK) {
            EXPECT_EQ(buffer[0], 'E');
        }
        EXPECT_EQ(dev.RequestHex(), std::vector<std::string>{"4E 53 A1"});
        EXPECT_TRUE(HasMessage(dev, "SarNet: Serial requested"));
        EXPECT_EQ(HasMessage(dev, "Serial request timed out"), c.timedOutLine);
        // The longer time-out is used and stays in place afterwards.
        EXPECT_EQ(device.port->timeouts.ReadTotalTimeoutConstant, 600u);
        if (c.timedOutLine) {
            EXPECT_GT(elapsed, 450.0);
        }
        EXPECT_EQ(device.portFree, 1);
    }
}

TEST(Serial, RefusedBeforeTheExchange) {
    SimDevice dev(SimConfig('R', 1, 0));
    ASSERT_TRUE(dev.Start());
    QXVorrel& device = dev.device();
    device.ClosePort();
    dev.Reset();
    EXPECT_EQ(device.GetSerial(nullptr), VR_E_INVALID_FUNC_PARAM);
    EXPECT_TRUE(dev.Messages().empty());
    uint8_t buffer[9];
    EXPECT_EQ(device.GetSerial(buffer), VR_E_COMM_WRITE_FAILURE);
    EXPECT_EQ(device.portFree, 1);
}

}  // namespace
