#include "serialize/checksum.h"

#include "serialize/byte_coding.h"

#include <array>

#if defined(__x86_64__) || defined(_M_X64)
#include <nmmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#define VMQ_CRC32C_INSTRUCTION 1
#endif

namespace vmq {

namespace {

// Eight tables: table k holds the CRC of a byte followed by k zero bytes, so eight bytes fold in
// with eight independent lookups.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables makeTables(uint32_t polynomial)
{
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? polynomial ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int k = 1; k < 8; ++k)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr CrcTables kCrc32Tables = makeTables(0xEDB88320u);
constexpr CrcTables kCrc32cTables = makeTables(0x82F63B78u);

// The CRC state (inverted) over the bytes, eight at a time through the tables.
uint32_t crcByTables(const CrcTables& t, const uint8_t* bytes, size_t size, uint32_t state)
{
    for (; size >= 8; size -= 8, bytes += 8) {
        const uint32_t low = loadU32(bytes) ^ state, high = loadU32(bytes + 4);
        state = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
                t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; size > 0; --size)
        state = t[0][(state ^ *bytes++) & 0xFF] ^ (state >> 8);
    return state;
}

#ifdef VMQ_CRC32C_INSTRUCTION
#if defined(__GNUC__)
__attribute__((target("sse4.2")))
#endif
uint32_t crc32cByInstruction(const uint8_t* bytes, size_t size, uint32_t state)
{
    uint64_t wide = state;
    for (; size >= 8; size -= 8, bytes += 8)
        wide = _mm_crc32_u64(wide, loadU64(bytes));
    state = uint32_t(wide);
    for (; size > 0; --size)
        state = _mm_crc32_u8(state, *bytes++);
    return state;
}

bool hasCrc32cInstruction()
{
#if defined(_MSC_VER)
    int registers[4];
    __cpuid(registers, 1);
    return (registers[2] >> 20) & 1; // SSE4.2
#else
    return __builtin_cpu_supports("sse4.2");
#endif
}
#endif

} // namespace

uint32_t crc32(const uint8_t* bytes, size_t size, uint32_t crc)
{
    return ~crcByTables(kCrc32Tables, bytes, size, ~crc);
}

uint32_t crc32c(const uint8_t* bytes, size_t size, uint32_t crc)
{
#ifdef VMQ_CRC32C_INSTRUCTION
    static const bool instruction = hasCrc32cInstruction();
    if (instruction)
        return ~crc32cByInstruction(bytes, size, ~crc);
#endif
    return ~crcByTables(kCrc32cTables, bytes, size, ~crc);
}

} // namespace vmq
