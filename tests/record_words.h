#pragma once
// Every word a compressed record holds, in one list, for byte-for-byte comparison of records.
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace vmq_test {

template <typename T>
void appendSpan(std::vector<uint32_t>& out, const T* begin, const T* end)
{
    const size_t bytes = size_t(end - begin) * sizeof(T);
    const size_t start = out.size();
    out.resize(start + (bytes + 3) / 4);
    if (bytes)
        std::memcpy(out.data() + start, begin, bytes);
}

inline std::vector<uint32_t> recordWords(const CompressedMesh* mesh)
{
    std::vector<uint32_t> out;
    if (!mesh)
        return out;
    out = {mesh->meshletCount, mesh->triangleCount, mesh->vertexCount, mesh->indexWordCount, mesh->channelCount, mesh->valueCount};
    appendSpan(out, mesh->streamWordsBegin, mesh->streamWordsEnd);
    appendSpan(out, mesh->tableBlobBegin, mesh->tableBlobEnd);
    appendSpan(out, mesh->meshletBitOffsetsBegin, mesh->meshletBitOffsetsEnd);
    for (uint32_t c = 0; c < mesh->channelCount; ++c) {
        const ChannelStreams& channel = mesh->channels[c];
        appendSpan(out, channel.streamWordsBegin, channel.streamWordsEnd);
        appendSpan(out, channel.tableBlobBegin, channel.tableBlobEnd);
        appendSpan(out, channel.meshletBitOffsetsBegin, channel.meshletBitOffsetsEnd);
    }
    appendSpan(out, mesh->meshletValueOffsetsBegin, mesh->meshletValueOffsetsEnd);
    appendSpan(out, mesh->meshletTriangleOffsetsBegin, mesh->meshletTriangleOffsetsEnd);
    appendSpan(out, mesh->quantParamsBegin, mesh->quantParamsEnd);
    appendSpan(out, mesh->channelKindsBegin, mesh->channelKindsEnd);
    appendSpan(out, mesh->boundsMin, mesh->boundsMin + 3);
    appendSpan(out, mesh->boundsMax, mesh->boundsMax + 3);
    appendSpan(out, mesh->meshletHeadersBegin, mesh->meshletHeadersEnd);
    return out;
}

} // namespace vmq_test
