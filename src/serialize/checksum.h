#pragma once
// The checksums of the stored forms, both reflected 32-bit CRCs with initial value and final XOR
// 0xFFFFFFFF: CRC-32 (IEEE 802.3, polynomial 0xEDB88320, as zlib and PNG compute it;
// crc32("123456789") = 0xCBF43926) and CRC-32C (Castagnoli, polynomial 0x82F63B78;
// crc32c("123456789") = 0xE3069283), which x86-64 processors compute with one instruction per 8
// bytes. A 32-bit CRC detects every change of up to 32 consecutive bits.
#include <cstddef>
#include <cstdint>

namespace vmq {

// The checksum of `size` bytes; pass an earlier result as `crc` to continue over more bytes.
uint32_t crc32(const uint8_t* bytes, size_t size, uint32_t crc = 0);
uint32_t crc32c(const uint8_t* bytes, size_t size, uint32_t crc = 0);

} // namespace vmq
