// The simulated device's configuration keys, one table for both ways of setting them: the
// command line (--KEY VALUE) and the control channel's "config KEY=VALUE ..." line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim.h"

namespace qxsim {

enum class ConfigSource {
    CommandLine,  // files by name (image, image10, eeprom); --bauds adds to the list
    Control,      // file contents in hex; bauds replaces the list; stricter numbers
};

enum class KeyResult { Set, Unknown, Bad };

// Whether `key` is a configuration key of `source`, and whether it takes a value there
// (--throttle on the command line does not).
bool IsConfigKey(ConfigSource source, const std::string& key);
bool ConfigKeyTakesValue(ConfigSource source, const std::string& key);

// Sets `key` of `config` from `value`. Unknown and Bad set `error` to the text `source` reports.
KeyResult SetConfigKey(ConfigSource source, const std::string& key, const std::string& value,
                       Config& config, std::string& error);

// Strict hex: an even number of hex digits and nothing else.
bool Unhex(std::string_view text, std::vector<uint8_t>& out);

}  // namespace qxsim
