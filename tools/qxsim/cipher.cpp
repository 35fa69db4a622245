#include "cipher.h"

#include "sim.h"

namespace qxsim {

uint8_t Checksum8(const uint8_t* data, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

uint8_t StartChain() {
    return static_cast<uint8_t>(kChainSeed + Checksum8(kCipherKey.data(), kCipherKey.size()));
}

uint8_t EncryptRun(uint8_t chain, uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        uint8_t v = data[i] ^ chain;
        for (size_t j = 0; j < kCipherKey.size(); ++j)
            v = (j % 2 == 0) ? static_cast<uint8_t>(v + kCipherKey[j]) : (v ^ kCipherKey[j]);
        data[i] = v;
        chain = v;
    }
    return chain;
}

void DecryptRun(uint8_t chain, uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const uint8_t received = data[i];
        uint8_t v = received;
        for (size_t j = kCipherKey.size(); j-- > 0;)
            v = (j % 2 == 1) ? (v ^ kCipherKey[j]) : static_cast<uint8_t>(v - kCipherKey[j]);
        data[i] = v ^ chain;
        chain = received;
    }
}

}  // namespace qxsim
