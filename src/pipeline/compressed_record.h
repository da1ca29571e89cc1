#pragma once
// Building, attaching and releasing the compressed mesh record.
#include "pelku_vmq_compression.h"

#include <cstddef>

namespace vmq {

struct CompressionContext;

// A new record filled from the driver's context; attachments are moved out of the context.
// Raises std::bad_alloc on allocation failure after releasing what it made.
CompressedMesh* buildCompressedMesh(CompressionContext& context);

// A fresh block of `count` elements for one of a record's spans, allocated as release frees it (a
// block of length 0 when count is 0, so begin and end are never null). Raises std::bad_alloc.
template <typename T>
T* allocateSpan(size_t count, const T*& begin, const T*& end)
{
    T* block = new T[count];
    begin = block;
    end = block + count;
    return block;
}

// The channel array of a record with `channelCount` zeroed entries; sets record.channelCount, so
// that release frees whatever spans the entries receive. Raises std::bad_alloc.
ChannelStreams* allocateChannels(CompressedMesh& record, uint32_t channelCount);

// Frees a record's partition and topology attachments and sets both to null; null is ignored.
void releaseMeshletAttachments(CompressedMesh* record);

// Frees a record and everything it owns, attachments included; null is ignored.
void releaseCompressedMesh(CompressedMesh* record);

} // namespace vmq
