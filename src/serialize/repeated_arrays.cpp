#include "serialize/repeated_arrays.h"

#include <algorithm>
#include <cstring>

namespace vmq {

namespace {

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

uint64_t mix(uint64_t h, uint64_t value)
{
    h ^= value * kMultiplier;
    h = (h << 27) | (h >> 37);
    return h * 0xBF58476D1CE4E5B9ull;
}

uint64_t hashBytes(const void* data, size_t size, uint64_t h)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (; size >= 8; size -= 8, p += 8)
        h = mix(h, loadU64(p));
    uint64_t tail = 0;
    if (size)
        std::memcpy(&tail, p, size);
    return mix(h, tail ^ (uint64_t(size) << 56));
}

bool sameWords(WordSpan a, WordSpan b)
{
    return a.size() == b.size() && std::equal(a.begin, a.end, b.begin);
}

// The fields beside the arrays: totals, bounds, dequantisation records and kinds.
bool sameFields(const CompressedMesh& a, const CompressedMesh& b)
{
    return a.meshletCount == b.meshletCount && a.triangleCount == b.triangleCount && a.vertexCount == b.vertexCount &&
           a.indexWordCount == b.indexWordCount && a.channelCount == b.channelCount && a.valueCount == b.valueCount &&
           std::memcmp(a.boundsMin, b.boundsMin, sizeof a.boundsMin) == 0 && std::memcmp(a.boundsMax, b.boundsMax, sizeof a.boundsMax) == 0 &&
           std::equal(a.quantParamsBegin, a.quantParamsEnd, b.quantParamsBegin,
                      [](const QuantParams& x, const QuantParams& y) { return std::memcmp(&x, &y, sizeof x) == 0; }) &&
           std::equal(a.channelKindsBegin, a.channelKindsEnd, b.channelKindsBegin);
}

uint64_t fieldsHash(const CompressedMesh& m)
{
    const uint32_t totals[6] = {m.meshletCount, m.triangleCount, m.vertexCount, m.indexWordCount, m.channelCount, m.valueCount};
    uint64_t h = hashBytes(totals, sizeof totals, 1);
    h = hashBytes(m.boundsMin, sizeof m.boundsMin, h);
    h = hashBytes(m.boundsMax, sizeof m.boundsMax, h);
    h = hashBytes(m.quantParamsBegin, m.channelCount * sizeof(QuantParams), h);
    return hashBytes(m.channelKindsBegin, m.channelCount * sizeof(int32_t), h);
}

} // namespace

FrameRepeats RepeatedArrays::find(const std::vector<const CompressedMesh*>& frames, uint32_t frame)
{
    const CompressedMesh& mesh = *frames[frame];
    const uint32_t arrayCount = recordArrayCount(mesh.channelCount);
    FrameRepeats repeats;
    repeats.arrayDistances.assign(arrayCount, 0);
    bool allRepeated = true;
    uint64_t frameHash = fieldsHash(mesh);
    for (uint32_t array = 0; array < arrayCount; ++array) {
        const WordSpan words = recordArray(mesh, array);
        const uint64_t hash = hashBytes(words.begin, words.size() * 4, array + 2);
        frameHash = mix(frameHash, hash);
        auto [at, added] = latestArray_.try_emplace(hash, frame);
        if (!added) {
            const uint32_t earlier = at->second;
            // Equal hashes of different array numbers can meet; the earlier frame may then have
            // fewer channels.
            if (array < recordArrayCount(frames[earlier]->channelCount) && sameWords(words, recordArray(*frames[earlier], array)))
                repeats.arrayDistances[array] = frame - earlier;
            at->second = frame;
        }
        allRepeated = allRepeated && repeats.arrayDistances[array] != 0;
    }
    auto [at, added] = latestFrame_.try_emplace(frameHash, frame);
    if (!added && allRepeated) {
        const CompressedMesh& earlier = *frames[at->second];
        bool same = sameFields(mesh, earlier);
        for (uint32_t array = 0; array < arrayCount && same; ++array)
            same = sameWords(recordArray(mesh, array), recordArray(earlier, array));
        if (same)
            repeats.frameDistance = frame - at->second;
    }
    at->second = frame;
    return repeats;
}

} // namespace vmq
