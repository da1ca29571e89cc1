#include "pipeline/compressed_record.h"

#include "pipeline/context.h"

#include <algorithm>
#include <memory>
#include <new>

namespace vmq {

namespace {

// A fresh block holding a copy of list, allocated with exactly its element count (a block of
// length 0 for an empty list, so begin and end are never null).
template <typename T>
void copyToSpan(const std::vector<T>& list, const T*& begin, const T*& end)
{
    std::copy(list.begin(), list.end(), allocateSpan(list.size(), begin, end));
}

template <typename T>
void freeSpan(const T* begin)
{
    delete[] begin;
}

} // namespace

CompressedMesh* buildCompressedMesh(CompressionContext& context)
{
    CompressedMesh* record = new CompressedMesh();
    try {
        record->meshletCount = context.meshletCount;
        record->triangleCount = context.triangleCount;
        record->vertexCount = context.vertexCount;
        record->indexWordCount = context.indexWordCount;
        record->channelCount = context.channelCount;
        record->valueCount = context.valueCount;
        copyToSpan(context.globalCoder.streamWords(), record->streamWordsBegin, record->streamWordsEnd);
        copyToSpan(context.globalCoder.tableBlob(), record->tableBlobBegin, record->tableBlobEnd);
        copyToSpan(context.globalBlockOffsets, record->meshletBitOffsetsBegin, record->meshletBitOffsetsEnd);

        ChannelStreams* channels = allocateChannels(*record, context.channelCount);
        for (uint32_t c = 0; c < context.channelCount; ++c) {
            const StreamCoder& coder = context.channelCoders[c];
            copyToSpan(coder.streamWords(), channels[c].streamWordsBegin, channels[c].streamWordsEnd);
            copyToSpan(coder.tableBlob(), channels[c].tableBlobBegin, channels[c].tableBlobEnd);
            copyToSpan(context.channelBlockOffsets[c], channels[c].meshletBitOffsetsBegin, channels[c].meshletBitOffsetsEnd);
        }

        copyToSpan(context.meshletValueOffsets, record->meshletValueOffsetsBegin, record->meshletValueOffsetsEnd);
        copyToSpan(context.meshletTriangleOffsets, record->meshletTriangleOffsetsBegin, record->meshletTriangleOffsetsEnd);
        copyToSpan(context.quantParams, record->quantParamsBegin, record->quantParamsEnd);
        copyToSpan(context.channelKinds, record->channelKindsBegin, record->channelKindsEnd);
        std::copy_n(context.boundsMin, 3, record->boundsMin);
        std::copy_n(context.boundsMax, 3, record->boundsMax);
        copyToSpan(context.meshletHeaders, record->meshletHeadersBegin, record->meshletHeadersEnd);

        if (!context.builtPartition.meshlets.empty())
            record->partition = new MeshletPartition{std::move(context.builtPartition)};
        if (context.storedTopology.size() != 0)
            record->topology = new MeshletTopologyList(std::move(context.storedTopology));
    } catch (...) {
        releaseCompressedMesh(record);
        throw;
    }
    return record;
}

ChannelStreams* allocateChannels(CompressedMesh& record, uint32_t channelCount)
{
    ChannelStreams* channels = new ChannelStreams[channelCount]();
    record.channels = channels;
    record.channelCount = channelCount;
    return channels;
}

void releaseMeshletAttachments(CompressedMesh* record)
{
    if (!record)
        return;
    delete record->partition;
    record->partition = nullptr;
    delete record->topology;
    record->topology = nullptr;
}

void releaseCompressedMesh(CompressedMesh* record)
{
    if (!record)
        return;
    freeSpan(record->streamWordsBegin);
    freeSpan(record->tableBlobBegin);
    freeSpan(record->meshletBitOffsetsBegin);
    if (record->channels) {
        for (uint32_t c = 0; c < record->channelCount; ++c) {
            freeSpan(record->channels[c].streamWordsBegin);
            freeSpan(record->channels[c].tableBlobBegin);
            freeSpan(record->channels[c].meshletBitOffsetsBegin);
        }
        delete[] record->channels;
    }
    freeSpan(record->meshletValueOffsetsBegin);
    freeSpan(record->meshletTriangleOffsetsBegin);
    freeSpan(record->quantParamsBegin);
    freeSpan(record->channelKindsBegin);
    freeSpan(record->meshletHeadersBegin);
    releaseMeshletAttachments(record);
    delete record;
}

} // namespace vmq
