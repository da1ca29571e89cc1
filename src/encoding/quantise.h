#pragma once
// Attribute quantisation: every attribute component becomes an integer channel on a uniform
// grid spanning the channel's own value range.
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <vector>

namespace vmq {

constexpr uint32_t kMaxChannelBits = 20;

struct QuantisedChannel {
    int32_t kind;
    uint32_t component;
    uint32_t bits;
    float min;
    float max;
    std::vector<uint32_t> values; // one per vertex of the attribute
};

// The name of an attribute kind ("POSITION", "TEXCOORD1", ...), or null for a kind without one.
const char* attributeKindName(int32_t kind);

// Grid bits of one attribute kind under the settings: roundf(q * 10) + 8 or roundf(q * 5) + 3
// in single precision, 0 for kinds without a quality. The result may be out of range (negative
// or above kMaxChannelBits) for qualities outside 0..1; callers validate it first.
int64_t channelBitsForKind(int32_t kind, const CompressionSettings& settings);

// Quantises every component of one attribute onto a grid of `bits` bits (at most 31).
// Non-finite values are left out of the range; NaN and -infinity quantise to 0, +infinity to
// 2^bits - 1.
std::vector<QuantisedChannel> quantiseChannel(const MeshAttribute& attribute, uint32_t bits);

// Every channel of a mesh: attribute order, then component order.
struct QuantisedAttributes {
    std::vector<QuantParams> quantParams;
    std::vector<int32_t> channelKinds;
    std::vector<std::vector<uint32_t>> channels; // per channel, one grid value per vertex
};

// Quantises all attributes into channels.
QuantisedAttributes quantiseAttributes(const std::vector<MeshAttribute>& attributes, const CompressionSettings& settings);

// Quantises a value of the fixed range [lo, hi] to `bits` bits: 0 below lo (and for NaN),
// 2^bits - 1 above hi.
uint32_t quantiseToBits(float value, uint32_t bits, float lo, float hi);

} // namespace vmq
