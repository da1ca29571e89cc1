#include "encoding/quantise.h"


#include <cfloat>
#include <cmath>

namespace vmq {

const char* attributeKindName(int32_t kind)
{
    switch (kind) {
    case POSITION: return "POSITION";
    case NORMAL: return "NORMAL";
    case TANGENT: return "TANGENT";
    case TEXCOORD: return "TEXCOORD";
    case COLOR: return "COLOR";
    case VELOCITY: return "VELOCITY";
    case TEXCOORD1: return "TEXCOORD1";
    case TEXCOORD2: return "TEXCOORD2";
    default: return nullptr;
    }
}

namespace {

// Halves away from zero, as glibc's roundf, without the C runtime's roundf: some runtimes add 0.5
// first and so round 0.49999997 up, which would make the bytes differ between platforms. The
// fraction of a float below 2^23 is exact to take off.
inline float roundHalfAway(float y)
{
    if (!(std::fabs(y) < 8388608.0f)) // already whole, or not a number
        return y;
    const float whole = float(int32_t(y));
    const float fraction = y - whole;
    return fraction >= 0.5f ? whole + 1.0f : fraction <= -0.5f ? whole - 1.0f : whole;
}

// The same for 0 <= y < 2^31, straight to an integer (the grid values' loop).
inline uint32_t roundNonNegative(float y)
{
    const uint32_t whole = uint32_t(y);
    return whole + (y - float(whole) >= 0.5f ? 1u : 0u);
}

} // namespace

int64_t channelBitsForKind(int32_t kind, const CompressionSettings& settings)
{
    float quality = 0.0f;
    float factor = 10.0f;
    int64_t offset = 8;
    switch (kind) {
    case POSITION: quality = settings.positionQuality; break;
    case NORMAL:
    case TANGENT: quality = settings.normalQuality; factor = 5.0f; offset = 3; break;
    case TEXCOORD:
    case TEXCOORD1:
    case TEXCOORD2: quality = settings.texcoordQuality; break;
    case COLOR: quality = settings.colorQuality; factor = 5.0f; offset = 3; break;
    case VELOCITY: quality = settings.velocityQuality; break;
    default: return 0;
    }
    const float rounded = roundHalfAway(quality * factor);
    // Keep the conversion defined for any quality: anything this far out is refused anyway.
    if (!(rounded > -1000.0f && rounded < 1000.0f))
        return rounded > 0.0f ? 1000 : -1000;
    return int64_t(rounded) + offset;
}

std::vector<QuantisedChannel> quantiseChannel(const MeshAttribute& attribute, uint32_t bits)
{
    const uint32_t components = attribute.componentCount;
    const size_t valueCount = size_t(attribute.dataEnd - attribute.dataBegin);
    const size_t n = components ? valueCount / components : 0;
    const float* values = attribute.dataBegin;

    std::vector<QuantisedChannel> channels(components);
    for (uint32_t c = 0; c < components; ++c)
        channels[c] = {attribute.kind, c, bits, FLT_MAX, -FLT_MAX, std::vector<uint32_t>(n, 0)};

    // Range scan, component by component over the interleaved values.
    for (uint32_t c = 0; c < components; ++c) {
        float lo = FLT_MAX, hi = -FLT_MAX;
        for (size_t v = 0; v < n; ++v) {
            const float x = values[v * components + c];
            if (!std::isfinite(x))
                continue;
            lo = x < lo ? x : lo;
            hi = x > hi ? x : hi;
        }
        channels[c].min = lo;
        channels[c].max = hi;
    }

    if (attribute.kind == COLOR) {
        for (QuantisedChannel& channel : channels) {
            channel.min = std::fmin(std::fmax(channel.min, 0.0f), 1.0f);
            channel.max = std::fmin(std::fmax(channel.max, 0.0f), 1.0f);
        }
    }

    const float scale = float((uint32_t(1) << bits) - 1);
    const uint32_t maxq = (uint32_t(1) << bits) - 1;
    for (uint32_t c = 0; c < components; ++c) {
        QuantisedChannel& channel = channels[c];
        const float min = channel.min, d = channel.max - channel.min;
        uint32_t* out = channel.values.data();
        for (size_t v = 0; v < n; ++v) {
            const float x = values[v * components + c];
            if (!std::isfinite(x)) {
                out[v] = std::isnan(x) ? 0 : (x > 0.0f ? maxq : 0);
                continue;
            }
            float t = d != 0.0f ? (x - min) / d : 0.0f;
            if (!(t >= 0.0f))
                t = 0.0f; // also catches a NaN from an overflowing range
            if (t > 1.0f)
                t = 1.0f;
            out[v] = roundNonNegative(scale * t);
        }
    }
    return channels;
}

QuantisedAttributes quantiseAttributes(const std::vector<MeshAttribute>& attributes, const CompressionSettings& settings)
{
    size_t channelCount = 0;
    for (const MeshAttribute& attribute : attributes)
        channelCount += attribute.componentCount;
    QuantisedAttributes result;
    result.quantParams.reserve(channelCount);
    result.channelKinds.reserve(channelCount);
    result.channels.reserve(channelCount);
    for (const MeshAttribute& attribute : attributes) {
        const uint32_t bits = uint32_t(channelBitsForKind(attribute.kind, settings));
        for (QuantisedChannel& channel : quantiseChannel(attribute, bits)) {
            result.quantParams.push_back({channel.min, channel.max, float(channel.bits)});
            result.channelKinds.push_back(channel.kind);
            result.channels.push_back(std::move(channel.values));
        }
    }
    return result;
}

uint32_t quantiseToBits(float value, uint32_t bits, float lo, float hi)
{
    if (std::isnan(value) || value < lo)
        return 0;
    const uint32_t maxq = (uint32_t(1) << bits) - 1;
    if (value > hi)
        return maxq;
    return uint32_t(int64_t(roundHalfAway((value - lo) / (hi - lo) * float(maxq))));
}

} // namespace vmq
