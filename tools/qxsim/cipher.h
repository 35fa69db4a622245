// Link cipher and checksum as the device applies them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxsim {

uint8_t Checksum8(const uint8_t* data, size_t size);

// Chain byte every request starts from: seed plus the sum of the key bytes.
uint8_t StartChain();

// Encrypts in place from `chain`; returns the last byte produced (the next chain).
uint8_t EncryptRun(uint8_t chain, uint8_t* data, size_t size);

// Decrypts in place; the chain runs over the bytes as received.
void DecryptRun(uint8_t chain, uint8_t* data, size_t size);

}  // namespace qxsim
