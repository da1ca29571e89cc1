#include "serialize/record_coding.h"

#include "format/format.h"
#include "pipeline/compressed_record.h"
#include "serialize/table_shape.h"

#include <algorithm>
#include <memory>

namespace vmq {

namespace {

struct ArrayFields {
    const uint32_t** begin;
    const uint32_t** end;
};

// The begin and end fields of array number `array`; the record's channel list must hold its
// channel. Only records this layer allocates are written through the result.
ArrayFields arrayFields(CompressedMesh& mesh, uint32_t array)
{
    if (array >= kGlobalArrayCount) {
        ChannelStreams& channel = const_cast<ChannelStreams&>(mesh.channels[(array - kGlobalArrayCount) / kChannelArrayCount]);
        switch (recordArrayKind(array)) {
        case ARRAY_STREAM_WORDS:
            return {&channel.streamWordsBegin, &channel.streamWordsEnd};
        case ARRAY_TABLE_BLOB:
            return {&channel.tableBlobBegin, &channel.tableBlobEnd};
        default:
            return {&channel.meshletBitOffsetsBegin, &channel.meshletBitOffsetsEnd};
        }
    }
    switch (array) {
    case ARRAY_STREAM_WORDS:
        return {&mesh.streamWordsBegin, &mesh.streamWordsEnd};
    case ARRAY_TABLE_BLOB:
        return {&mesh.tableBlobBegin, &mesh.tableBlobEnd};
    case ARRAY_BIT_OFFSETS:
        return {&mesh.meshletBitOffsetsBegin, &mesh.meshletBitOffsetsEnd};
    case ARRAY_VALUE_OFFSETS:
        return {&mesh.meshletValueOffsetsBegin, &mesh.meshletValueOffsetsEnd};
    case ARRAY_TRIANGLE_OFFSETS:
        return {&mesh.meshletTriangleOffsetsBegin, &mesh.meshletTriangleOffsetsEnd};
    default:
        return {&mesh.meshletHeadersBegin, &mesh.meshletHeadersEnd};
    }
}

SerializedPart arrayPart(RecordArray kind)
{
    switch (kind) {
    case ARRAY_STREAM_WORDS:
        return PELKU_VMQ_PART_STREAMS;
    case ARRAY_TABLE_BLOB:
        return PELKU_VMQ_PART_TABLES;
    case ARRAY_HEADERS:
        return PELKU_VMQ_PART_HEADERS;
    default:
        return PELKU_VMQ_PART_OFFSETS;
    }
}

const char* const kArrayNames[kGlobalArrayCount] = {"streamWords",         "tableBlob",              "meshletBitOffsets",
                                                    "meshletValueOffsets", "meshletTriangleOffsets", "meshletHeaders"};

struct RecordDeleter {
    void operator()(CompressedMesh* mesh) const { releaseCompressedMesh(mesh); }
};
using RecordPointer = std::unique_ptr<CompressedMesh, RecordDeleter>;

template <typename T>
void copySpan(const T* from, size_t count, const T*& begin, const T*& end)
{
    std::copy_n(from, count, allocateSpan(count, begin, end));
}

// ---- Per-meshlet offsets: the differences between neighbours (the first from 0), wrapping at
// 32 bits, all of one width. Every width is at least one bit, so an array costs a bit a meshlet
// and a reader can bound the meshlet count by the bytes it has.

void writeDifferences(WordSpan words, std::vector<uint8_t>& out)
{
    uint32_t previous = 0, used = 0;
    for (const uint32_t* w = words.begin; w != words.end; ++w) {
        used |= *w - previous;
        previous = *w;
    }
    const uint32_t width = std::max(1u, bitWidth32(used));
    out.push_back(uint8_t(width));
    BitWriter bits{out};
    previous = 0;
    for (const uint32_t* w = words.begin; w != words.end; ++w) {
        bits.put(*w - previous, width);
        previous = *w;
    }
    bits.finish();
}

bool readDifferences(ByteReader& in, uint32_t count, ArrayFields to)
{
    const uint32_t width = in.u8("an offset width");
    if (in.failed() || width < 1 || width > 32)
        return in.fail("an offset width");
    BitReader bits(in);
    if (uint64_t(count) * width > bits.bitsLeft())
        return in.fail("per-meshlet offsets");
    uint32_t* out = allocateSpan(count, *to.begin, *to.end);
    uint32_t value = 0;
    for (uint32_t m = 0; m < count; ++m) {
        value += bits.get(width);
        out[m] = value;
    }
    in.at = bits.alignedEnd();
    return true;
}

// ---- Meshlet headers: eleven fields a meshlet (the six box words, the cone word's four bytes,
// the wide-channel mask), each packed to the width its largest value needs, at least one bit.

constexpr uint32_t kHeaderFieldCount = 11;
constexpr uint32_t kConeFieldFirst = HEADER_CONE, kConeFieldCount = 4;

uint32_t headerField(const uint32_t* header, uint32_t field)
{
    if (field < kConeFieldFirst)
        return header[field];
    if (field < kConeFieldFirst + kConeFieldCount)
        return (header[HEADER_CONE] >> (8 * (field - kConeFieldFirst))) & 0xFFu;
    return header[HEADER_WIDE_CHANNEL_MASK];
}

uint32_t headerFieldMaxWidth(uint32_t field)
{
    return field >= kConeFieldFirst && field < kConeFieldFirst + kConeFieldCount ? 8 : 32;
}

void writeHeaders(WordSpan words, uint32_t meshletCount, std::vector<uint8_t>& out)
{
    uint32_t widths[kHeaderFieldCount];
    for (uint32_t f = 0; f < kHeaderFieldCount; ++f) {
        uint32_t used = 0;
        for (uint32_t m = 0; m < meshletCount; ++m)
            used |= headerField(words.begin + size_t(m) * kMeshletHeaderWords, f);
        widths[f] = std::max(1u, bitWidth32(used));
        out.push_back(uint8_t(widths[f]));
    }
    BitWriter bits{out};
    for (uint32_t m = 0; m < meshletCount; ++m)
        for (uint32_t f = 0; f < kHeaderFieldCount; ++f)
            bits.put(headerField(words.begin + size_t(m) * kMeshletHeaderWords, f), widths[f]);
    bits.finish();
}

bool readHeaders(ByteReader& in, uint32_t meshletCount, ArrayFields to)
{
    uint32_t widths[kHeaderFieldCount], bitsPerMeshlet = 0;
    for (uint32_t f = 0; f < kHeaderFieldCount; ++f) {
        widths[f] = in.u8("the header field widths");
        if (widths[f] < 1 || widths[f] > headerFieldMaxWidth(f))
            return in.fail("the header field widths");
        bitsPerMeshlet += widths[f];
    }
    BitReader bits(in);
    if (in.failed() || uint64_t(meshletCount) * bitsPerMeshlet > bits.bitsLeft())
        return in.fail("the meshlet headers");
    uint32_t* out = allocateSpan(size_t(meshletCount) * kMeshletHeaderWords, *to.begin, *to.end);
    for (uint32_t m = 0; m < meshletCount; ++m, out += kMeshletHeaderWords) {
        for (uint32_t f = 0; f < kConeFieldFirst; ++f)
            out[f] = bits.get(widths[f]);
        uint32_t cone = 0;
        for (uint32_t k = 0; k < kConeFieldCount; ++k)
            cone |= bits.get(widths[kConeFieldFirst + k]) << (8 * k);
        out[HEADER_CONE] = cone;
        out[HEADER_WIDE_CHANNEL_MASK] = bits.get(widths[kHeaderFieldCount - 1]);
    }
    in.at = bits.alignedEnd();
    return true;
}

// ---- Decode-table blobs: a form byte, then the shapes, or the words of a blob the coder did
// not lay out (a record made by hand).

enum TableForm : uint8_t { TABLES_AS_SHAPES = 0, TABLES_AS_WORDS = 1 };

void writeTables(WordSpan words, std::vector<uint8_t>& out, std::vector<uint32_t>& scratch)
{
    out.push_back(TABLES_AS_SHAPES);
    if (writeTableShapes(words.begin, words.size(), out, scratch))
        return;
    out.back() = TABLES_AS_WORDS;
    ByteWriter bytes{out};
    bytes.varint(words.size());
    bytes.words(words.begin, words.size());
}

bool readWords(ByteReader& in, uint64_t count, ArrayFields to, const char* what)
{
    if (count > in.left() / 4)
        return in.fail(what);
    const uint8_t* from = in.take(size_t(count) * 4, what);
    if (!from)
        return false;
    std::memcpy(allocateSpan(size_t(count), *to.begin, *to.end), from, size_t(count) * 4);
    return true;
}

bool readTables(ByteReader& in, ArrayFields to, std::vector<uint32_t>& scratch, std::string& error)
{
    const uint8_t form = in.u8("a decode-table form");
    if (form == TABLES_AS_SHAPES)
        return readTableShapes(in, *to.begin, *to.end, scratch, error);
    if (form != TABLES_AS_WORDS || !readWords(in, in.varint("a decode-table size"), to, "a decode-table blob")) {
        error = "the decode tables are malformed";
        return false;
    }
    return true;
}

} // namespace

WordSpan recordArray(const CompressedMesh& mesh, uint32_t array)
{
    const ArrayFields fields = arrayFields(const_cast<CompressedMesh&>(mesh), array);
    return {*fields.begin, *fields.end};
}

bool checkRecordShape(const CompressedMesh& mesh, std::string& error)
{
    auto spanProblem = [](const void* begin, const void* end) { return (begin == nullptr) != (end == nullptr) || end < begin; };
    const uint64_t meshlets = mesh.meshletCount, channels = mesh.channelCount;
    auto expect = [&](size_t actual, uint64_t wanted, const std::string& name, const char* what) {
        if (actual != wanted)
            error = "the record's " + name + " holds " + std::to_string(actual) + " entries, not " + std::to_string(wanted) + " (" + what + ")";
        return actual == wanted;
    };
    if (spanProblem(mesh.quantParamsBegin, mesh.quantParamsEnd) || spanProblem(mesh.channelKindsBegin, mesh.channelKindsEnd)) {
        error = "the record's quantParams or channelKinds span is malformed";
        return false;
    }
    if (channels && !mesh.channels) {
        error = "the record has " + std::to_string(channels) + " channels but no channel list";
        return false;
    }
    if (!expect(size_t(mesh.quantParamsEnd - mesh.quantParamsBegin), channels, "quantParams", "channelCount") ||
        !expect(size_t(mesh.channelKindsEnd - mesh.channelKindsBegin), channels, "channelKinds", "channelCount"))
        return false;
    for (uint32_t array = 0; array < recordArrayCount(mesh.channelCount); ++array) {
        const WordSpan words = recordArray(mesh, array);
        const RecordArray kind = recordArrayKind(array);
        const std::string name = array < kGlobalArrayCount
                                     ? kArrayNames[kind]
                                     : "channel " + std::to_string((array - kGlobalArrayCount) / kChannelArrayCount) + "'s " + kArrayNames[kind];
        if (spanProblem(words.begin, words.end)) {
            error = "the record's " + name + " span is malformed";
            return false;
        }
        if (kind == ARRAY_HEADERS && !expect(words.size(), meshlets * kMeshletHeaderWords, name, "8 words a meshlet"))
            return false;
        if ((kind == ARRAY_BIT_OFFSETS || kind == ARRAY_VALUE_OFFSETS || kind == ARRAY_TRIANGLE_OFFSETS) &&
            !expect(words.size(), meshlets, name, "meshletCount"))
            return false;
    }
    return true;
}

void addRecordBytes(const CompressedMesh& mesh, uint64_t bytes[kRecordPartCount])
{
    bytes[PELKU_VMQ_PART_FIELDS] += 6 * 4 + sizeof mesh.boundsMin + sizeof mesh.boundsMax +
                                    uint64_t(mesh.channelCount) * (sizeof(QuantParams) + sizeof(int32_t));
    for (uint32_t array = 0; array < recordArrayCount(mesh.channelCount); ++array)
        bytes[arrayPart(recordArrayKind(array))] += 4 * uint64_t(recordArray(mesh, array).size());
}

void writeFrameRecord(const CompressedMesh& mesh, const uint32_t* distances, PartWriters& out, std::vector<uint32_t>& scratch)
{
    ByteWriter fields{out.bytes[PELKU_VMQ_PART_FIELDS]};
    for (uint32_t total : {mesh.meshletCount, mesh.triangleCount, mesh.vertexCount, mesh.indexWordCount, mesh.channelCount, mesh.valueCount})
        fields.varint(total);
    for (float v : mesh.boundsMin)
        fields.f32(v);
    for (float v : mesh.boundsMax)
        fields.f32(v);
    for (const QuantParams* q = mesh.quantParamsBegin; q != mesh.quantParamsEnd; ++q) {
        fields.f32(q->min);
        fields.f32(q->max);
        fields.f32(q->bits);
    }
    for (const int32_t* kind = mesh.channelKindsBegin; kind != mesh.channelKindsEnd; ++kind)
        fields.varint(zigzag(*kind));

    for (uint32_t array = 0; array < recordArrayCount(mesh.channelCount); ++array) {
        const uint32_t distance = distances ? distances[array] : 0;
        fields.varint(distance);
        if (distance)
            continue;
        const WordSpan words = recordArray(mesh, array);
        const RecordArray kind = recordArrayKind(array);
        std::vector<uint8_t>& part = out.bytes[arrayPart(kind)];
        switch (kind) {
        case ARRAY_STREAM_WORDS:
            fields.varint(words.size());
            ByteWriter{part}.words(words.begin, words.size());
            break;
        case ARRAY_TABLE_BLOB:
            writeTables(words, part, scratch);
            break;
        case ARRAY_HEADERS:
            writeHeaders(words, mesh.meshletCount, part);
            break;
        default:
            writeDifferences(words, part);
            break;
        }
    }
}

CompressedMesh* readFrameRecord(PartReaders& in, const std::vector<CompressedMesh*>& earlier, std::vector<uint32_t>& scratch,
                                std::string& error)
{
    ByteReader& fields = in.bytes[PELKU_VMQ_PART_FIELDS];
    RecordPointer record(new CompressedMesh{});
    CompressedMesh& mesh = *record;
    for (uint32_t* total : {&mesh.meshletCount, &mesh.triangleCount, &mesh.vertexCount, &mesh.indexWordCount, &mesh.channelCount,
                            &mesh.valueCount})
        *total = fields.varint32("a record's totals");
    for (float& v : mesh.boundsMin)
        v = fields.f32("a record's bounds");
    for (float& v : mesh.boundsMax)
        v = fields.f32("a record's bounds");
    // Each channel takes at least 13 bytes of fields: its dequantisation record and its kind.
    const uint32_t channelCount = mesh.channelCount;
    if (!fields.failed() && uint64_t(channelCount) * 13 > fields.left())
        fields.fail("a record's channels");
    if (fields.failed()) {
        error = std::string("the record fields are malformed: ") + fields.failure;
        return nullptr;
    }
    QuantParams* quant = allocateSpan(channelCount, mesh.quantParamsBegin, mesh.quantParamsEnd);
    for (uint32_t c = 0; c < channelCount; ++c)
        quant[c] = {fields.f32("a dequantisation record"), fields.f32("a dequantisation record"), fields.f32("a dequantisation record")};
    int32_t* kinds = allocateSpan(channelCount, mesh.channelKindsBegin, mesh.channelKindsEnd);
    for (uint32_t c = 0; c < channelCount; ++c)
        kinds[c] = unzigzag(fields.varint32("a channel kind"));
    allocateChannels(mesh, channelCount);

    for (uint32_t array = 0; array < recordArrayCount(channelCount) && error.empty(); ++array) {
        const uint32_t distance = fields.varint32("an array reference");
        const RecordArray kind = recordArrayKind(array);
        ByteReader& part = in.bytes[arrayPart(kind)];
        const ArrayFields to = arrayFields(mesh, array);
        if (fields.failed())
            break;
        if (distance) {
            const CompressedMesh* source = distance <= earlier.size() ? earlier[earlier.size() - distance] : nullptr;
            if (!source || array >= recordArrayCount(source->channelCount)) {
                error = "an array refers to a frame " + std::to_string(distance) + " back that does not hold it";
                break;
            }
            const WordSpan words = recordArray(*source, array);
            copySpan(words.begin, words.size(), *to.begin, *to.end);
            continue;
        }
        switch (kind) {
        case ARRAY_STREAM_WORDS: {
            const uint64_t count = fields.varint("a bitstream's size");
            if (!fields.failed())
                readWords(part, count, to, "a bitstream");
            break;
        }
        case ARRAY_TABLE_BLOB:
            readTables(part, to, scratch, error);
            break;
        case ARRAY_HEADERS:
            readHeaders(part, mesh.meshletCount, to);
            break;
        default:
            readDifferences(part, mesh.meshletCount, to);
            break;
        }
        if (part.failed() && error.empty())
            error = std::string("the record's arrays are cut short or malformed: ") + part.failure;
    }
    if (error.empty() && fields.failed())
        error = std::string("the record fields are malformed: ") + fields.failure;
    if (error.empty() && !checkRecordShape(mesh, error))
        error = "a repeated array does not fit its record: " + error;
    return error.empty() ? record.release() : nullptr;
}

CompressedMesh* copyFrameRecord(const CompressedMesh& from)
{
    RecordPointer record(new CompressedMesh{});
    CompressedMesh& mesh = *record;
    mesh.meshletCount = from.meshletCount;
    mesh.triangleCount = from.triangleCount;
    mesh.vertexCount = from.vertexCount;
    mesh.indexWordCount = from.indexWordCount;
    mesh.valueCount = from.valueCount;
    std::copy_n(from.boundsMin, 3, mesh.boundsMin);
    std::copy_n(from.boundsMax, 3, mesh.boundsMax);
    copySpan(from.quantParamsBegin, from.channelCount, mesh.quantParamsBegin, mesh.quantParamsEnd);
    copySpan(from.channelKindsBegin, from.channelCount, mesh.channelKindsBegin, mesh.channelKindsEnd);
    allocateChannels(mesh, from.channelCount);
    for (uint32_t array = 0; array < recordArrayCount(from.channelCount); ++array) {
        const WordSpan words = recordArray(from, array);
        const ArrayFields to = arrayFields(mesh, array);
        copySpan(words.begin, words.size(), *to.begin, *to.end);
    }
    return record.release();
}

} // namespace vmq
