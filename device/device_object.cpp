// The device object itself: construction, opening and closing the port, the firmware
// feature rule and the bank geometry.
#include <cstring>

#include "device/model_table.h"
#include "device/qx_vorrel.h"
#include "device/qx_vorrel_internal.h"
#include "platform/thread_sync.h"

namespace qx {
namespace {

constexpr uint32_t kPrepareSettleMs = 100;
constexpr uint32_t kTolliverMemory = 0x80000;

struct FeaturePair {
    uint8_t major;
    uint8_t minor;
};

// Firmware features 1..8: a firmware lacks one only when its major number matches and its
// minor number is below the pair's.
constexpr FeaturePair kFeatures[] = {
    {10, 5}, {10, 5}, {2, 7}, {2, 12}, {10, 12}, {10, 15}, {1, 34}, {1, 3},
};

// The number after the first three characters of a COM name ("COM12" gives 12), read like
// atoi (blanks, optional sign, digits) but without its overflow: large values saturate. The
// device namespace prefix of a scanned name ("\\.\COM7") is not part of the COM name.
int32_t ParsePortNumber(const char* name) {
    if (name == nullptr) return 0;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    for (int i = 0; i < 3; ++i) {
        if (name[i] == '\0') return 0;
    }
    const char* p = name + 3;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < 0x7FFFFFFF) value = value * 10 + (*p - '0');
    }
    if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
    return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

QXVorrel::QXVorrel() {
    logger = nullptr;
    cancelRequested.store(0);
    baudIndex = static_cast<int32_t>(kSpeed115200);
    firmwareMajor = 0;
    firmwareMinor = 0;
    hardwareId = 0;
    emulationBank = 0;
    readWriteBank = 0;
    ClearIdentificationBlock();
    dataWidth = 8;
    tolliverMode = 0;
    std::memset(flashInfo, 0, sizeof(flashInfo));
    std::memcpy(transferKey, kTransferKey, sizeof(transferKey));
    transferKeyLength = static_cast<int32_t>(kTransferKeySize);
    reserved1 = 0;
    reserved2 = 0;
    reserved3 = 0;
    streamActive.store(0);
    streamCallback = nullptr;
    streamRecordCount = 1;
    reserved4 = 0;
    streamRecordLength = 0;
    streamBigEndian = 0;
    port = &serialPort;
    portLock = platform::EventCreate(true);
    portFree.store(1);
    portNumber = 255;
    lastPortNumber = 0;
    lastBaudIndex = static_cast<int32_t>(kSpeed115200);
}

QXVorrel::~QXVorrel() {
    if (portLock != nullptr) platform::EventClose(portLock);
    portLock = nullptr;
    // Close logs "QXSerial: Port Closed"; the port's own destructor closes (and logs) again.
    port->Close();
}

void QXVorrel::AttachLogWindow(LogWindow* log) {
    logger = log;
    port->logger = log;
}

void QXVorrel::ClearIdentificationBlock() {
    protocolFamily = 0;
    hardwareType = 0;
    interfaceType = 0;
    capabilities = 0;
    memorySize = 0;
    bankSize = 0;
    bankCount = 0;
    sizeHint = 0;
    dataWidth = 0;
    for (int32_t& value : rateValues) value = 0;
    std::memset(modelName, 0, sizeof(modelName));
}

void QXVorrel::ClosePort() {
    // Leave the device at 115200 baud so that the next open (ours or a scan) finds it. Best
    // effort: the port closes whatever the device said, and a scan tries every speed.
    if (baudIndex != static_cast<int32_t>(kSpeed115200)) (void)SetUSBBaud(kSpeed115200, 1);
    port->Close();
    portNumber = 255;
    emulationBank = 0;
    readWriteBank = 0;
    reserved3 = 0;
    streamActive.store(0);
    ClearIdentificationBlock();
    LogMessage(logger, "QXVorrel: COM Port closed.");
}

int32_t QXVorrel::OpenPortByName(const char* name) {
    if (port->IsOpen()) port->Close();
    if (!port->Open(name) || !PreparePort()) {
        port->Close();
        return VR_E_PORT_NOT_INITIALIZED;
    }
    // A null name reopened the previous port: take its number from there.
    portNumber = static_cast<uint8_t>(ParsePortNumber(name != nullptr ? name : port->portName));
    return VR_S_OK;
}

bool QXVorrel::PreparePort() {
    if (!port->SetupBuffers()) return false;
    COMMTIMEOUTS values{};
    values.ReadIntervalTimeout = 200;
    values.ReadTotalTimeoutMultiplier = 1;
    values.ReadTotalTimeoutConstant = kDefaultReadTimeoutMs;
    values.WriteTotalTimeoutMultiplier = 0;
    values.WriteTotalTimeoutConstant = 300;
    // SetTimeouts reads the driver's time-outs first and fails when it cannot.
    const uint32_t all = kTimeoutReadTotalConstant | kTimeoutReadTotalMultiplier |
                         kTimeoutReadInterval | kTimeoutWriteTotalConstant |
                         kTimeoutWriteTotalMultiplier;
    if (!port->SetTimeouts(&values, all)) return false;
    platform::SleepMs(kPrepareSettleMs);
    return true;
}

int32_t QXVorrel::FirmwareSupports(int32_t feature, const uint8_t* version) {
    if (version == nullptr || feature < 1 || feature > 8) return 0;
    const FeaturePair& pair = kFeatures[feature - 1];
    if (version[0] == pair.major && version[1] < pair.minor) return 0;
    return 1;
}

uint32_t QXVorrel::GetBankCount() const {
    if ((capabilities & CapBanks) == 0) return 1;
    const ModelTraits& traits = TraitsOf(hardwareType);
    if (traits.configBank) {
        // Before identification memorySize (and so the bank size) can be 0: one bank.
        const uint32_t size = GetActiveBankSize();
        return size == 0 ? 1 : kTolliverMemory / size;
    }
    return traits.bankCount;
}

uint32_t QXVorrel::GetActiveBankSize() const {
    const ModelTraits& traits = TraitsOf(hardwareType);
    switch (traits.bankSize) {
        case BankSizeRule::Bank:
            return bankSize;
        case BankSizeRule::WholeAtLargeBin:
            return emulationBank == static_cast<uint32_t>(traits.largeBinBank) ? memorySize
                                                                               : bankSize;
        case BankSizeRule::ConfigMode:
            switch (tolliverMode) {
                case 1:
                case 2:
                case 5:
                    return 0x10000;
                case 3:
                    return 0x20000;
                case 4:
                    return 0x40000;
                default:
                    return memorySize;
            }
        case BankSizeRule::Memory:
            break;
    }
    return memorySize;
}

}  // namespace qx
