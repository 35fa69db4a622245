// Link cipher and checksum as the device applies them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxsim {

uint8_t checksum8(const uint8_t* data, size_t size);

// Chain byte every request starts from: seed plus the sum of the key bytes.
uint8_t startChain();

// Encrypts in place from `chain`; returns the last byte produced (the next chain).
uint8_t encryptRun(uint8_t chain, uint8_t* data, size_t size);

// Decrypts in place; the chain runs over the bytes as received.
void decryptRun(uint8_t chain, uint8_t* data, size_t size);

}  // namespace qxsim
