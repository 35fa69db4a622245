// One fuzz input through one parser of outside bytes, with the checks that make a run fail.
// Each returns "" when every check held, else what went wrong. The libFuzzer targets abort
// on a non-empty answer; the regression suite (tests/reliability) replays the seed corpora
// and every saved finding through the same functions with any compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qxfuzz {

// Device replies: a header chooses the operation, the model and its arguments; the rest is
// the device's side of the line (scripted_line.h). Needs the scripted platform. *result
// (may be null) receives the operation's result code.
std::string RunDeviceReplies(const uint8_t* data, size_t size, int32_t* result = nullptr);

// Image files: the whole input is the file's content.
std::string RunIntelHex(const uint8_t* data, size_t size);
std::string RunSRecord(const uint8_t* data, size_t size);

// The settings file: the whole input is the file found on disk at start-up.
std::string RunSettingsFile(const uint8_t* data, size_t size);

// What a network port's server sends: byte 0 chooses where the stream is cut into reads, the
// rest is the stream (Telnet framing, negotiation, COM-PORT-OPTION answers, data).
std::string RunTelnetStream(const uint8_t* data, size_t size);

}  // namespace qxfuzz
