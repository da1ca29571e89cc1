#pragma once
// The compressed record as a decoder reads it: the symbol alphabet and the limits it puts on a
// meshlet, the stream numbers and names, the meshlet header words, and the small value forms
// the streams carry. Every writer and reader of the record takes these from here. Plain
// constants and inline functions, so that host and device code can share them.
#include <cstddef>
#include <cstdint>

#if defined(__CUDACC__)
#define VMQ_HOST_DEVICE __host__ __device__
#else
#define VMQ_HOST_DEVICE
#endif

// The few functions of the inner loops are inlined wherever they are called; their rare paths
// stay out of line.
#if defined(__CUDACC__)
#define VMQ_INLINE __forceinline__
#define VMQ_NOINLINE __noinline__
#elif defined(_MSC_VER)
#define VMQ_INLINE __forceinline
#define VMQ_NOINLINE __declspec(noinline)
#else
#define VMQ_INLINE inline __attribute__((always_inline))
#define VMQ_NOINLINE __attribute__((noinline))
#endif

// A condition that follows the data with no pattern: a conditional move serves it better than a
// jump.
#if defined(__GNUC__) && !defined(__CUDACC__)
#define VMQ_UNPREDICTABLE(condition) __builtin_expect_with_probability(!!(condition), 1, 0.5)
#else
#define VMQ_UNPREDICTABLE(condition) (condition)
#endif

// Unrolls the loop that follows when its trip count is known at compile time.
#if defined(__CUDACC__) || defined(__clang__)
#define VMQ_UNROLL _Pragma("unroll")
#elif defined(__GNUC__)
#define VMQ_UNROLL _Pragma("GCC unroll 8")
#else
#define VMQ_UNROLL
#endif

namespace vmq {

// Every stream codes 11-bit symbols.
constexpr uint32_t kSymbolBits = 11;
constexpr uint32_t kSymbolCount = 1u << kSymbolBits; // 2048
constexpr uint32_t kSymbolMask = kSymbolCount - 1;

// A meshlet's counts, its group id and each index delta are one symbol, so a meshlet holds at
// most 2047 triangles, vertices, index entries and first-use bits, and group ids stop at 2047.
constexpr uint32_t kMaxMeshletElements = kSymbolCount - 1;
constexpr uint32_t kMaxGroupId = kSymbolCount - 1;
// Flag bits travel as bytes, one symbol each.
constexpr uint32_t kMaxFlagBytes = (kMaxMeshletElements + 7) / 8;

// A stream's decode table is a binary tree over at most 2048 leaves.
constexpr uint32_t kMaxDecodeTableEntries = 2 * kSymbolCount;

// The streams of the global coder, in coder order.
enum GlobalStream : uint32_t {
    ELEM_COUNTS = 0,         // isFirstCount, index count, triangle count, vertex count
    OTHER_DATA = 1,          // triangle, vertex and index-word offsets (three symbols each), group id
    EDGE_FLAGS = 2,          // edge bits, a byte per symbol
    RESTART_FLAGS = 3,       // restart bits, a byte per symbol
    IS_FIRST = 4,            // first-use bits, a byte per symbol
    INDEX_DATA = 5,          // zigzag deltas of the index entries
    BLOCK_OFFSET_SYMBOL = 6, // marker at each meshlet's start: no bits, its position recorded
};
constexpr uint32_t kGlobalStreamCount = 7;

// The streams of each channel coder.
enum AttributeStream : uint32_t {
    ATTRIB_DATA = 0,         // the channel's residuals
    ATTRIB_BLOCK_OFFSET = 1, // marker at each meshlet's start
};
constexpr uint32_t kAttributeStreamCount = 2;

inline constexpr const char* kGlobalStreamNames[kGlobalStreamCount] = {
    "ELEM_COUNTS", "OTHER_DATA", "EDGE_FLAGS", "RESTART_FLAGS", "IS_FIRST", "INDEX_DATA", "BLOCK_OFFSET_SYMBOL"};
inline constexpr const char* kAttributeStreamNames[kAttributeStreamCount] = {"ATTRIB_DATA", "ATTRIB_BLOCK_OFFSET"};

// The eight header words of a meshlet. The box is on the position grids: its origin and its
// extent, each truncated toward zero. The cone word holds the axis x, y, z and the spread as
// bytes from the lowest up, each quantised to 8 bits over [-1, 1].
enum MeshletHeaderWord : uint32_t {
    HEADER_BOX_MIN_X = 0,
    HEADER_BOX_MIN_Y = 1,
    HEADER_BOX_MIN_Z = 2,
    HEADER_BOX_EXTENT_X = 3,
    HEADER_BOX_EXTENT_Y = 4,
    HEADER_BOX_EXTENT_Z = 5,
    HEADER_CONE = 6,
    HEADER_WIDE_CHANNEL_MASK = 7,
};
constexpr uint32_t kMeshletHeaderWords = 8;

// Residuals. A channel whose residual at some vertex after the first reaches kWideResidual is
// wide in that meshlet: every residual takes two symbols (value22). Otherwise one symbol holds
// a residual alone (even) or, when both are below kPairLimit, two of them (odd).
constexpr uint32_t kWideResidual = 1024;
constexpr uint32_t kPairLimit = 32;
constexpr uint32_t kValue22Limit = 1u << 22; // vertex 0 and wide residuals: two symbols

VMQ_HOST_DEVICE inline uint32_t wideChannelBit(uint32_t channel)
{
    return 1u << (channel % 32); // channels c and c + 32 share a bit
}

// 0, -1, 1, -2 -> 0, 1, 2, 3.
VMQ_HOST_DEVICE inline uint32_t zigzag(int32_t x)
{
    return x < 0 ? (uint32_t(~x) << 1) | 1u : uint32_t(x) << 1;
}

VMQ_HOST_DEVICE inline int32_t unzigzag(uint32_t z)
{
    return int32_t((z >> 1) ^ (0u - (z & 1u)));
}

// The narrow residual symbol for residuals a, b with n (1 or 2) vertices left.
VMQ_HOST_DEVICE inline uint32_t pairSymbol(uint32_t a, uint32_t b, uint32_t n)
{
    return (a < kPairLimit && b < kPairLimit && n == 2) ? (a | (b << 5)) * 2 + 1 : a * 2;
}
VMQ_HOST_DEVICE inline bool isPairSymbol(uint32_t symbol) { return symbol & 1u; }
VMQ_HOST_DEVICE inline uint32_t pairFirst(uint32_t symbol) { return (symbol >> 1) & (kPairLimit - 1); }
VMQ_HOST_DEVICE inline uint32_t pairSecond(uint32_t symbol) { return symbol >> 6; }
VMQ_HOST_DEVICE inline uint32_t singleResidual(uint32_t symbol) { return symbol >> 1; }

// Symbols of a meshlet's flag lists: edge and restart bits exist for triangles 1 .. T - 1.
VMQ_HOST_DEVICE constexpr uint32_t flagByteCount(uint32_t triangleCount)
{
    return triangleCount > 1 ? (triangleCount - 1 + 7) / 8 : 0;
}
VMQ_HOST_DEVICE constexpr uint32_t isFirstByteCount(uint32_t isFirstCount)
{
    return (isFirstCount + 7) / 8;
}
// Index entries are counted in words of four.
VMQ_HOST_DEVICE inline uint32_t indexWordCount(uint32_t indexCount)
{
    return (indexCount + 3) >> 2;
}

// Bit lists: bit k is bit k mod 32 of word k / 32; byte i is bits 8i .. 8i + 7.
VMQ_HOST_DEVICE inline bool bitListBit(const uint32_t* words, uint32_t k)
{
    return (words[k >> 5] >> (k & 31)) & 1u;
}
VMQ_HOST_DEVICE inline uint32_t bitListByte(const uint32_t* words, size_t wordCount, size_t i)
{
    return i / 4 < wordCount ? (words[i / 4] >> (8 * (i % 4))) & 0xFFu : 0u;
}
VMQ_HOST_DEVICE inline void setBitListByte(uint32_t* words, size_t i, uint32_t byte)
{
    words[i / 4] = (words[i / 4] & ~(0xFFu << (8 * (i % 4)))) | ((byte & 0xFFu) << (8 * (i % 4)));
}

// Bitstreams are filled from the most significant bit of each word: bit p is bit 31 - p mod 32
// of word p / 32.
VMQ_HOST_DEVICE inline uint32_t bitstreamBit(const uint32_t* words, uint64_t p)
{
    return (words[p >> 5] >> (31 - (p & 31))) & 1u;
}

// Decode tables: entry 0 is the root; an odd entry is a leaf holding symbol entry >> 1, an even
// one an inner node whose children (bit 0, bit 1) are entries entry >> 1 and (entry >> 1) + 1.
VMQ_HOST_DEVICE inline bool isLeafEntry(uint32_t entry) { return entry & 1u; }
VMQ_HOST_DEVICE inline uint32_t leafSymbol(uint32_t entry) { return entry >> 1; }
VMQ_HOST_DEVICE inline uint32_t firstChild(uint32_t entry) { return entry >> 1; }
VMQ_HOST_DEVICE inline uint32_t leafEntry(uint32_t symbol) { return symbol * 2 + 1; }
VMQ_HOST_DEVICE inline uint32_t innerEntry(uint32_t firstChild) { return firstChild * 2; }

} // namespace vmq
