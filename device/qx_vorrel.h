// QXVorrel: the connection to one attached emulator, burner or logger. It owns the serial
// port, the lock that serialises exchanges on it, and what identification learned. Every
// device operation is a member, returns a result code, and logs through `logger`.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "base/result_codes.h"
#include "log/log_sink.h"
#include "platform/os_types.h"
#include "serial/qx_serial.h"

namespace qx {

// Capability bits the library itself tests.
inline constexpr uint32_t CapEncryption = 0x04;
inline constexpr uint32_t CapBanks = 0x08;
inline constexpr uint32_t CapBulk = 0x40;
inline constexpr uint32_t CapFlashInfo = 0x80;

// Transfer flags of ReadBlock, WriteBlock, BulkRead, BulkWrite and BulkWriteBoth.
inline constexpr uint32_t XferAltWrite = 0x01;
inline constexpr uint32_t XferWriteLower = 0x02;
inline constexpr uint32_t XferNoBulk = 0x04;
inline constexpr uint32_t XferPlain = 0x08;
inline constexpr uint32_t XferSpace1 = 0x10;
inline constexpr uint32_t XferSpace2 = 0x20;
inline constexpr uint32_t XferSpace3 = 0x40;

// Scan options of FindDevice and OpenDeviceOnPort.
inline constexpr uint32_t kScanFromComZero = 0x01;
inline constexpr uint32_t kScanSettleDelay = 0x02;

// Link speed indices (baud = 921600 / (index + 1)).
inline constexpr uint32_t kSpeed921600 = 0;
inline constexpr uint32_t kSpeed460800 = 1;
inline constexpr uint32_t kSpeed230400 = 3;
inline constexpr uint32_t kSpeed115200 = 7;

// The baud of a speed index; 0 for a negative (corrupt) index.
uint32_t BaudOfSpeedIndex(int32_t index);
// The index of a baud SetUSBBaud can switch to; nullopt for any other baud.
std::optional<uint32_t> SpeedIndexOfBaud(uint32_t baud);

// Progress record handed to a TransferCallback.
struct TransferProgress {
    uint32_t size;   // always 24
    uint32_t done;   // packets accepted so far
    uint32_t total;  // length / 256 (WriteBlock) or / 4096 (bulk)
    uint32_t state;  // kProgressStarted, kProgressPacket, kProgressFinished
    uint32_t spare1;
    uint32_t spare2;
};
inline constexpr uint32_t kProgressPacket = 0;
inline constexpr uint32_t kProgressStarted = 1;
inline constexpr uint32_t kProgressFinished = 2;

using TransferCallback = void (*)(TransferProgress* progress);
using StreamCallback = void (*)(uint32_t* values, int32_t count, int32_t bigEndian);

// The 7-byte device information record at EEPROM address 1.
struct EEPROMInfo {
    uint8_t deviceId;  // model variant letter
    uint8_t unused1[2];
    uint8_t interfaceLetter;  // 'U', 'B' or 'S'
    uint8_t unused2[3];
};
static_assert(sizeof(EEPROMInfo) == 7);

inline constexpr uint32_t kModelNameCapacity = 100;
inline constexpr uint32_t kFlashInfoSize = 16;
inline constexpr uint32_t kTransferKeySize = 8;
inline constexpr uint32_t kPortLockWaitMs = 1200;
inline constexpr uint32_t kDefaultReadTimeoutMs = 300;

class QXVorrel {
  public:
    // Fields in this order and width: the object is handed by address to the
    // user-interface library. protocolFamily ... modelName is the identification block.
    LogWindow* logger;
    std::atomic<int32_t> cancelRequested;
    int32_t baudIndex;
    uint8_t firmwareMajor;
    uint8_t firmwareMinor;
    char hardwareId;
    uint8_t emulationBank;
    uint8_t readWriteBank;
    int32_t protocolFamily;
    int32_t hardwareType;
    int32_t interfaceType;
    uint32_t capabilities;
    uint32_t memorySize;
    uint32_t bankSize;
    int32_t bankCount;
    uint32_t sizeHint;
    int32_t dataWidth;
    int32_t rateValues[3];
    char modelName[kModelNameCapacity];
    int32_t tolliverMode;
    uint8_t flashInfo[kFlashInfoSize];
    uint8_t transferKey[kTransferKeySize];
    int32_t transferKeyLength;
    int32_t reserved1;
    int32_t reserved2;
    int32_t reserved3;
    std::atomic<int32_t> streamActive;
    StreamCallback streamCallback;
    int32_t streamRecordCount;
    int32_t reserved4;
    uint8_t streamRecordLength;
    int32_t streamBigEndian;
    QXSerial serialPort;
    QXSerial* port;
    OsHandle portLock;
    std::atomic<int32_t> portFree;
    uint8_t portNumber;
    int32_t lastPortNumber;
    int32_t lastBaudIndex;

    QXVorrel();
    ~QXVorrel();
    QXVorrel(const QXVorrel&) = delete;
    QXVorrel& operator=(const QXVorrel&) = delete;

    // Attaches one log window to the device and its port (null detaches both).
    void AttachLogWindow(LogWindow* log);

    // --- device object (device_object.cpp)
    void ClosePort();
    [[nodiscard]] int32_t OpenPortByName(const char* name);
    bool PreparePort();
    [[nodiscard]] static int32_t FirmwareSupports(int32_t feature, const uint8_t* version);
    uint32_t GetBankCount() const;
    uint32_t GetActiveBankSize() const;
    void ClearIdentificationBlock();
    // A thread start routine (DWORD WINAPI (LPVOID) on Windows).
    static ThreadResult QX_THREAD_ROUTINE StreamReader(void* device);

    // --- framing (framing.cpp)
    // (the checksums, the cipher and the port lock: device/qx_vorrel_internal.h)
    [[nodiscard]] int32_t GetLargeBinBank() const;
    bool InLargeBinMode() const;

    // --- link speed (link_speed.cpp)
    [[nodiscard]] int32_t SetUSBBaud(uint32_t speedIndex, int32_t force);

    // --- EEPROM (eeprom.cpp)
    [[nodiscard]] int32_t ReadEEPROM(uint8_t* buffer, uint16_t address, uint16_t length);
    [[nodiscard]] int32_t WriteEEPROM(const uint8_t* data, uint16_t address, uint16_t count);
    [[nodiscard]] int32_t GetEEPROMInfo(EEPROMInfo* record);

    // --- flash information (flash_info.cpp)
    [[nodiscard]] int32_t GetFlashInfo(uint8_t* buffer);

    // --- banks and emulation modes (banks.cpp, tolliver.cpp)
    [[nodiscard]] int32_t GetBank(uint8_t* out, int32_t readWrite, int32_t unused1 = 0,
                                  int32_t unused2 = 0);
    [[nodiscard]] int32_t SetBank(uint32_t bank, int32_t readWrite, int32_t persistent,
                                  int32_t lockHeld);
    [[nodiscard]] int32_t QueryBank(uint8_t* out, int32_t readWrite, int32_t unused1 = 0,
                                    int32_t unused2 = 0);
    [[nodiscard]] int32_t SetReadWriteBank(int32_t bank, int32_t unused1 = 0, int32_t unused2 = 0,
                                           int32_t unused3 = 0);
    [[nodiscard]] int32_t GetTolliverBank(uint8_t* out, int32_t unused = 0);
    [[nodiscard]] int32_t SetTolliverBank(uint32_t bank, int32_t unused = 0);
    [[nodiscard]] int32_t GetTolliverMarker(uint8_t* out);
    [[nodiscard]] int32_t EnsureTolliverMarker(int32_t unused = 0);
    [[nodiscard]] int32_t GetTolliverMode(int32_t unused = 0);

    // --- block transfers (block_transfer.cpp)
    [[nodiscard]] int32_t ReadBlock(uint8_t* buffer, uint32_t length, uint32_t address,
                                    uint32_t flags, TransferCallback callback);
    [[nodiscard]] int32_t WriteBlock(const uint8_t* buffer, uint32_t length, uint32_t address,
                                     uint32_t flags, TransferCallback callback);
    [[nodiscard]] int32_t WriteConfigByte(const uint8_t* buffer, uint32_t address);

    // --- bulk transfers (bulk_transfer.cpp)
    [[nodiscard]] int32_t BulkRead(uint8_t* buffer, uint32_t length, uint32_t address,
                                   uint32_t flags, TransferCallback callback);
    [[nodiscard]] int32_t BulkWrite(const uint8_t* buffer, uint32_t length, uint32_t address,
                                    uint32_t flags, TransferCallback callback);
    [[nodiscard]] int32_t BulkWriteBoth(const uint8_t* buffer, uint32_t length, uint32_t address,
                                        uint32_t flags, TransferCallback callback);

    // --- identification and detection (identification.cpp, detection.cpp)
    [[nodiscard]] int32_t FindDevice(char* text, uint32_t textCapacity, uint8_t* versionOut,
                                     uint32_t options);
    [[nodiscard]] int32_t OpenDeviceOnPort(uint32_t portNumber, char* text, uint32_t textCapacity,
                                           uint8_t* versionOut, uint32_t options);
    [[nodiscard]] int32_t GetFirmwareVersion(uint8_t* versionOut);
    [[nodiscard]] int32_t Identify();
    [[nodiscard]] int32_t GetNameString(uint8_t* buffer);
    [[nodiscard]] int32_t GetSerial(uint8_t* buffer);
};

}  // namespace qx
