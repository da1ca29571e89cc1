#pragma once
// One compressed mesh in the serialized form. Its totals, bounds, dequantisation records and
// channel kinds go to the fields part, each word array to the part of its kind: bitstreams as
// they are, decode tables as shapes, per-meshlet offsets as differences, meshlet headers as
// fields of their own widths. An array that an earlier frame of a sequence holds already is
// written as the distance back to that frame.
#include "pelku_vmq_serialize.h"
#include "serialize/byte_coding.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

constexpr uint32_t kRecordPartCount = PELKU_VMQ_SERIALIZED_PART_COUNT;
inline constexpr const char* kRecordPartNames[kRecordPartCount] = {"fields", "streams", "tables", "offsets", "headers"};

// A record's word arrays, numbered: the six global ones, then three per channel, which take the
// numbers of the first three kinds.
enum RecordArray : uint32_t {
    ARRAY_STREAM_WORDS = 0,
    ARRAY_TABLE_BLOB = 1,
    ARRAY_BIT_OFFSETS = 2,
    ARRAY_VALUE_OFFSETS = 3,
    ARRAY_TRIANGLE_OFFSETS = 4,
    ARRAY_HEADERS = 5,
};
constexpr uint32_t kGlobalArrayCount = 6;
constexpr uint32_t kChannelArrayCount = 3;

inline uint32_t recordArrayCount(uint32_t channelCount)
{
    return kGlobalArrayCount + kChannelArrayCount * channelCount;
}

// The kind of array number `array`.
inline RecordArray recordArrayKind(uint32_t array)
{
    return RecordArray(array < kGlobalArrayCount ? array : (array - kGlobalArrayCount) % kChannelArrayCount);
}

struct WordSpan {
    const uint32_t* begin = nullptr;
    const uint32_t* end = nullptr;
    size_t size() const { return size_t(end - begin); }
};

// Array number `array` of a record (below recordArrayCount(mesh.channelCount)).
WordSpan recordArray(const CompressedMesh& mesh, uint32_t array);

// True when a record has the shape the serialized form relies on; else false with the first
// problem: a span out of order or null at one end only, a per-meshlet array that is not
// meshletCount entries long, headers that are not 8 words a meshlet, or a channel list,
// dequantisation records or kinds that do not match channelCount.
bool checkRecordShape(const CompressedMesh& mesh, std::string& error);

// Adds what a record holds in memory to `bytes`, per part.
void addRecordBytes(const CompressedMesh& mesh, uint64_t bytes[kRecordPartCount]);

// The sections of the parts while they are written, and while they are read.
struct PartWriters {
    std::vector<uint8_t> bytes[kRecordPartCount];
};
struct PartReaders {
    ByteReader bytes[kRecordPartCount];
};

// Writes a record. `distances` holds, per array, 0 to store the array or the distance back to
// the earlier frame that holds the same words; null stores every array. `scratch` is reused.
void writeFrameRecord(const CompressedMesh& mesh, const uint32_t* distances, PartWriters& out, std::vector<uint32_t>& scratch);

// Reads a record written by writeFrameRecord. `earlier` holds the frames read before it (null
// where a frame has no geometry); a distance d names earlier[earlier.size() - d]. Returns a new
// record, or null with a message.
CompressedMesh* readFrameRecord(PartReaders& in, const std::vector<CompressedMesh*>& earlier, std::vector<uint32_t>& scratch,
                                std::string& error);

// A new record with the same fields and arrays as `mesh` (no attachments).
CompressedMesh* copyFrameRecord(const CompressedMesh& mesh);

} // namespace vmq
