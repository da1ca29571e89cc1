#include "serialize/serialized_form.h"

#include "alembic/sequence_driver.h"
#include "pipeline/compressed_record.h"
#include "serialize/checksum.h"
#include "serialize/record_coding.h"
#include "serialize/repeated_arrays.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vmq {

namespace {

const uint8_t kSignature[8] = {0x89, 'V', 'M', 'Q', '\r', '\n', 0x1A, '\n'};

// Header: signature, major and minor version, kind, whole size, prediction mode, metadata length,
// then per part its record, content and stored bytes, then the header's checksum.
constexpr size_t kPartTableAt = 32;
constexpr size_t kHeaderChecksumAt = kPartTableAt + kRecordPartCount * 24;
constexpr size_t kHeaderSize = kHeaderChecksumAt + 4;
constexpr size_t kChecksumSize = 4;

// zstd's default level 3: on the shared meshes and bench archives level 19 stores 0.3 to 0.5 %
// less at forty times the writing time, and reading back costs the same at every level
// (bench/README.md).
constexpr int kZstdLevel = 3;

// Sequence frames in the fields part: a tag, then the record or the distance back to its copy.
enum FrameTag : uint8_t { FRAME_EMPTY = 0, FRAME_STORED = 1, FRAME_REPEATED = 2 };

struct RecordDeleter {
    void operator()(CompressedMesh* mesh) const { releaseCompressedMesh(mesh); }
};
struct SequenceDeleter {
    void operator()(CompressedSequence* sequence) const { releaseCompressedSequence(sequence); }
};

bool checkArguments(int32_t predictionMode, const void* metadata, size_t metadataSize, std::string& error)
{
    if (predictionMode != PELKU_VMQ_PREDICTION_PARALLELOGRAM && predictionMode != PELKU_VMQ_PREDICTION_DELTA)
        error = "cannot serialize: unknown prediction mode " + std::to_string(predictionMode);
    else if (!metadata && metadataSize)
        error = "cannot serialize: the metadata is null but its size is " + std::to_string(metadataSize);
    else if (metadataSize > 0xFFFFFFFFu)
        error = "cannot serialize: the metadata is larger than 4 GiB";
    return error.empty();
}

// A part as stored: its zstd frame when that saves at least 1/32 of it, else nothing (the part is
// stored as it is and read in place, without a copy). A frame is always shorter than its part:
// the reader takes a stored size equal to the content size for a part stored as it is.
std::vector<uint8_t> compressPart(const std::vector<uint8_t>& content)
{
    std::vector<uint8_t> stored(ZSTD_compressBound(content.size()));
    const size_t size = ZSTD_compress(stored.data(), stored.size(), content.data(), content.size(), kZstdLevel);
    if (ZSTD_isError(size) || size >= content.size() || size > content.size() - content.size() / 32)
        return {};
    stored.resize(size);
    return stored;
}

SerializedBytes* assemble(SerializedKind kind, int32_t predictionMode, const void* metadata, size_t metadataSize, const PartWriters& parts,
                          const uint64_t recordBytes[kRecordPartCount])
{
    std::vector<uint8_t> compressed[kRecordPartCount];
    uint64_t size = kHeaderSize + metadataSize + kChecksumSize;
    for (uint32_t p = 0; p < kRecordPartCount; ++p) {
        compressed[p] = compressPart(parts.bytes[p]);
        size += compressed[p].empty() ? parts.bytes[p].size() : compressed[p].size();
    }
    std::vector<uint8_t> head;
    head.reserve(kHeaderSize);
    ByteWriter header{head};
    header.raw(kSignature, sizeof kSignature);
    header.u16(kSerializedVersionMajor);
    header.u16(kSerializedVersionMinor);
    header.u32(kind);
    header.u64(size);
    header.u32(uint32_t(predictionMode));
    header.u32(uint32_t(metadataSize));
    for (uint32_t p = 0; p < kRecordPartCount; ++p) {
        header.u64(recordBytes[p]);
        header.u64(parts.bytes[p].size());
        header.u64(compressed[p].empty() ? parts.bytes[p].size() : compressed[p].size());
    }
    header.u32(crc32c(head.data(), head.size()));

    auto bytes = std::make_unique<SerializedBytes>();
    uint8_t* block = new uint8_t[size];
    bytes->bytesBegin = block;
    bytes->bytesEnd = block + size;
    uint8_t* at = std::copy(head.begin(), head.end(), block);
    if (metadataSize)
        at = std::copy_n(static_cast<const uint8_t*>(metadata), metadataSize, at);
    for (uint32_t p = 0; p < kRecordPartCount; ++p) {
        const std::vector<uint8_t>& stored = compressed[p].empty() ? parts.bytes[p] : compressed[p];
        at = std::copy(stored.begin(), stored.end(), at);
    }
    const uint32_t checksum = crc32c(block, size_t(at - block));
    std::memcpy(at, &checksum, kChecksumSize);
    return bytes.release();
}

// Where the parts of checked bytes lie.
struct Envelope {
    SerializedInfo info{};
    const uint8_t* partsAt = nullptr;
};

bool readEnvelope(const uint8_t* bytes, size_t size, Envelope& envelope, std::string& error)
{
    if (!bytes || size < sizeof kSignature || std::memcmp(bytes, kSignature, sizeof kSignature) != 0) {
        error = "not a serialized record (its first bytes are not the signature)";
        return false;
    }
    if (size < kHeaderSize) {
        error = "the serialized record is truncated: it ends inside its " + std::to_string(kHeaderSize) + "-byte header";
        return false;
    }
    SerializedInfo& info = envelope.info;
    info.versionMajor = uint32_t(bytes[8]) | uint32_t(bytes[9]) << 8;
    info.versionMinor = uint32_t(bytes[10]) | uint32_t(bytes[11]) << 8;
    if (info.versionMajor != kSerializedVersionMajor) {
        error = "the serialized record's version " + std::to_string(info.versionMajor) + "." + std::to_string(info.versionMinor) +
                " is not supported (this library reads " + std::to_string(kSerializedVersionMajor) + ".x)";
        return false;
    }
    if (crc32c(bytes, kHeaderChecksumAt) != loadU32(bytes + kHeaderChecksumAt)) {
        error = "the serialized record is corrupted: its header fails its checksum";
        return false;
    }
    const uint64_t declared = loadU64(bytes + 16);
    if (declared != size) {
        error = size < declared ? "the serialized record is truncated: it has " + std::to_string(size) + " of its " + std::to_string(declared) +
                                      " bytes"
                                : "the serialized record has " + std::to_string(size - declared) + " bytes after its declared end";
        return false;
    }
    if (crc32c(bytes, size - kChecksumSize) != loadU32(bytes + size - kChecksumSize)) {
        error = "the serialized record is corrupted: it fails its checksum";
        return false;
    }
    info.kind = int32_t(loadU32(bytes + 12));
    info.predictionMode = int32_t(loadU32(bytes + 24));
    const uint64_t metadataSize = loadU32(bytes + 28);
    uint64_t used = kHeaderSize + metadataSize + kChecksumSize;
    for (uint32_t p = 0; p < kRecordPartCount; ++p) {
        const uint8_t* entry = bytes + kPartTableAt + 24 * p;
        info.recordBytes[p] = loadU64(entry);
        info.compactBytes[p] = loadU64(entry + 8);
        info.storedBytes[p] = loadU64(entry + 16);
        // A zstd block is at least 4 bytes and yields at most 128 KiB: no content beyond that bound.
        const uint64_t stored = info.storedBytes[p], content = info.compactBytes[p];
        if (stored > content || stored > size || (stored < content && content > (stored / 4 + 1) * (128u << 10))) {
            error = std::string("the serialized record is corrupted: the size of its ") + kRecordPartNames[p] + " part is impossible";
            return false;
        }
        used += stored;
    }
    if (info.kind != PELKU_VMQ_SERIALIZED_MESH && info.kind != PELKU_VMQ_SERIALIZED_SEQUENCE) {
        error = "the serialized record is corrupted: unknown kind " + std::to_string(info.kind);
        return false;
    }
    if (info.predictionMode != PELKU_VMQ_PREDICTION_PARALLELOGRAM && info.predictionMode != PELKU_VMQ_PREDICTION_DELTA) {
        error = "the serialized record is corrupted: unknown prediction mode " + std::to_string(info.predictionMode);
        return false;
    }
    if (used != size) {
        error = "the serialized record is corrupted: its parts do not add up to its size";
        return false;
    }
    info.metadataBegin = bytes + kHeaderSize;
    info.metadataEnd = info.metadataBegin + metadataSize;
    envelope.partsAt = info.metadataEnd;
    return true;
}

// Readers over the parts' contents: stored parts in place, compressed ones in `buffers`.
bool openParts(const Envelope& envelope, PartReaders& in, std::unique_ptr<uint8_t[]> buffers[kRecordPartCount], std::string& error)
{
    const uint8_t* at = envelope.partsAt;
    for (uint32_t p = 0; p < kRecordPartCount; ++p) {
        const size_t stored = size_t(envelope.info.storedBytes[p]), content = size_t(envelope.info.compactBytes[p]);
        in.bytes[p] = {at, at + stored};
        if (stored < content) {
            buffers[p].reset(new uint8_t[content]);
            const size_t made = ZSTD_decompress(buffers[p].get(), content, at, stored);
            if (ZSTD_isError(made) || made != content) {
                error = std::string("the serialized record is corrupted: its ") + kRecordPartNames[p] + " part does not decompress";
                return false;
            }
            in.bytes[p] = {buffers[p].get(), buffers[p].get() + content};
        }
        at += stored;
    }
    return true;
}

bool allPartsRead(const PartReaders& in, std::string& error)
{
    for (uint32_t p = 0; p < kRecordPartCount; ++p)
        if (in.bytes[p].left()) {
            error = std::string("the serialized record is corrupted: its ") + kRecordPartNames[p] + " part holds " +
                    std::to_string(in.bytes[p].left()) + " bytes more than its records";
            return false;
        }
    return true;
}

bool openChecked(const uint8_t* bytes, size_t size, SerializedKind kind, Envelope& envelope, PartReaders& in,
                 std::unique_ptr<uint8_t[]> buffers[kRecordPartCount], std::string& error)
{
    if (!readEnvelope(bytes, size, envelope, error))
        return false;
    if (envelope.info.kind != kind) {
        error = kind == PELKU_VMQ_SERIALIZED_MESH ? "the serialized record holds a sequence, not a mesh"
                                                  : "the serialized record holds a mesh, not a sequence";
        return false;
    }
    return openParts(envelope, in, buffers, error);
}

} // namespace

SerializedBytes* serializeMesh(const CompressedMesh& mesh, int32_t predictionMode, const void* metadata, size_t metadataSize,
                               std::string& error)
{
    if (!checkArguments(predictionMode, metadata, metadataSize, error))
        return nullptr;
    if (!checkRecordShape(mesh, error)) {
        error = "cannot serialize: " + error;
        return nullptr;
    }
    PartWriters parts;
    std::vector<uint32_t> scratch;
    writeFrameRecord(mesh, nullptr, parts, scratch);
    uint64_t recordBytes[kRecordPartCount] = {};
    addRecordBytes(mesh, recordBytes);
    return assemble(PELKU_VMQ_SERIALIZED_MESH, predictionMode, metadata, metadataSize, parts, recordBytes);
}

SerializedBytes* serializeSequence(const CompressedSequence& sequence, int32_t predictionMode, const void* metadata, size_t metadataSize,
                                   std::string& error)
{
    if (!checkArguments(predictionMode, metadata, metadataSize, error))
        return nullptr;
    if (sequence.frameCount && !sequence.frames) {
        error = "cannot serialize: the sequence has " + std::to_string(sequence.frameCount) + " frames but no frame list";
        return nullptr;
    }
    if ((sequence.materialNamesBegin == nullptr) != (sequence.materialNamesEnd == nullptr) ||
        sequence.materialNamesEnd < sequence.materialNamesBegin ||
        std::find(sequence.materialNamesBegin, sequence.materialNamesEnd, nullptr) != sequence.materialNamesEnd) {
        error = "cannot serialize: the sequence's material names are malformed";
        return nullptr;
    }
    const std::vector<const CompressedMesh*> frames(sequence.frames, sequence.frames + sequence.frameCount);
    for (uint32_t f = 0; f < sequence.frameCount; ++f)
        if (frames[f] && !checkRecordShape(*frames[f], error)) {
            error = "cannot serialize: frame " + std::to_string(f) + ": " + error;
            return nullptr;
        }

    PartWriters parts;
    uint64_t recordBytes[kRecordPartCount] = {};
    ByteWriter fields{parts.bytes[PELKU_VMQ_PART_FIELDS]};
    fields.varint(sequence.frameCount);
    fields.u8(sequence.staticTopology);
    fields.u32(sequence.staticAttributeMask);
    fields.f32(sequence.frameDuration);
    recordBytes[PELKU_VMQ_PART_FIELDS] += 4 + 1 + 4 + 4;
    fields.varint(size_t(sequence.materialNamesEnd - sequence.materialNamesBegin));
    for (const char* const* name = sequence.materialNamesBegin; name != sequence.materialNamesEnd; ++name) {
        const size_t length = std::strlen(*name);
        fields.varint(length);
        fields.raw(*name, length);
        recordBytes[PELKU_VMQ_PART_FIELDS] += length + 1;
    }
    RepeatedArrays repeated;
    std::vector<uint32_t> scratch;
    for (uint32_t f = 0; f < sequence.frameCount; ++f) {
        if (!frames[f]) {
            fields.u8(FRAME_EMPTY);
            continue;
        }
        addRecordBytes(*frames[f], recordBytes);
        const FrameRepeats repeats = repeated.find(frames, f);
        if (repeats.frameDistance) {
            fields.u8(FRAME_REPEATED);
            fields.varint(repeats.frameDistance);
            continue;
        }
        fields.u8(FRAME_STORED);
        writeFrameRecord(*frames[f], repeats.arrayDistances.data(), parts, scratch);
    }
    return assemble(PELKU_VMQ_SERIALIZED_SEQUENCE, predictionMode, metadata, metadataSize, parts, recordBytes);
}

void releaseSerializedBytes(SerializedBytes* bytes)
{
    if (!bytes)
        return;
    delete[] bytes->bytesBegin;
    delete bytes;
}

bool readSerializedInfo(const uint8_t* bytes, size_t size, SerializedInfo& info, std::string& error)
{
    Envelope envelope;
    if (!readEnvelope(bytes, size, envelope, error))
        return false;
    info = envelope.info;
    return true;
}

CompressedMesh* deserializeMesh(const uint8_t* bytes, size_t size, int32_t* predictionMode, std::string& error)
{
    Envelope envelope;
    PartReaders in;
    std::unique_ptr<uint8_t[]> buffers[kRecordPartCount];
    if (!openChecked(bytes, size, PELKU_VMQ_SERIALIZED_MESH, envelope, in, buffers, error))
        return nullptr;
    std::vector<uint32_t> scratch;
    std::unique_ptr<CompressedMesh, RecordDeleter> mesh(readFrameRecord(in, {}, scratch, error));
    if (!mesh) {
        error = "the serialized record is malformed: " + error;
        return nullptr;
    }
    if (!allPartsRead(in, error))
        return nullptr;
    if (predictionMode)
        *predictionMode = envelope.info.predictionMode;
    return mesh.release();
}

CompressedSequence* deserializeSequence(const uint8_t* bytes, size_t size, int32_t* predictionMode, std::string& error)
{
    Envelope envelope;
    PartReaders in;
    std::unique_ptr<uint8_t[]> buffers[kRecordPartCount];
    if (!openChecked(bytes, size, PELKU_VMQ_SERIALIZED_SEQUENCE, envelope, in, buffers, error))
        return nullptr;
    ByteReader& fields = in.bytes[PELKU_VMQ_PART_FIELDS];
    const uint64_t frameCount = fields.varint("the frame count");
    const uint8_t staticTopology = fields.u8("the sequence fields");
    const uint32_t staticAttributeMask = fields.u32("the sequence fields");
    const float frameDuration = fields.f32("the sequence fields");
    const uint64_t nameCount = fields.varint("the material names");
    // Every frame takes at least its tag, every name at least its length; frames are numbered in
    // 32 bits.
    if (frameCount > fields.left() || nameCount > fields.left() || frameCount > UINT32_MAX)
        fields.fail("the frame count or the material names");
    std::vector<std::string> names(fields.failed() ? 0 : size_t(nameCount));
    for (std::string& name : names) {
        const uint64_t length = fields.varint("a material name");
        const uint8_t* text = length <= fields.left() ? fields.take(size_t(length), "a material name") : nullptr;
        if (!text || std::memchr(text, 0, size_t(length))) {
            fields.fail("a material name");
            break;
        }
        name.assign(reinterpret_cast<const char*>(text), size_t(length));
    }
    if (fields.failed()) {
        error = std::string("the serialized record is corrupted: it ends inside ") + fields.failure;
        return nullptr;
    }

    std::unique_ptr<CompressedSequence, SequenceDeleter> sequence(allocateCompressedSequence(uint32_t(frameCount), names));
    sequence->staticTopology = staticTopology;
    sequence->staticAttributeMask = staticAttributeMask;
    sequence->frameDuration = frameDuration;
    std::vector<CompressedMesh*> earlier;
    earlier.reserve(size_t(frameCount));
    std::vector<uint32_t> scratch;
    for (uint32_t f = 0; f < frameCount; ++f) {
        const uint8_t tag = fields.u8("a frame tag");
        CompressedMesh* frame = nullptr;
        if (tag == FRAME_STORED) {
            frame = readFrameRecord(in, earlier, scratch, error);
            if (!frame) {
                error = "the serialized record's frame " + std::to_string(f) + " is malformed: " + error;
                return nullptr;
            }
        } else if (tag == FRAME_REPEATED) {
            const uint64_t distance = fields.varint("a frame reference");
            if (distance == 0 || distance > f || !earlier[f - distance]) {
                error = "the serialized record is corrupted: frame " + std::to_string(f) + " repeats a frame that has no record";
                return nullptr;
            }
            frame = copyFrameRecord(*earlier[f - size_t(distance)]);
        } else if (tag != FRAME_EMPTY || fields.failed()) {
            error = "the serialized record is corrupted: frame " + std::to_string(f) + " has no valid tag";
            return nullptr;
        }
        sequence->frames[f] = frame;
        earlier.push_back(frame);
    }
    if (!allPartsRead(in, error))
        return nullptr;
    if (predictionMode)
        *predictionMode = envelope.info.predictionMode;
    return sequence.release();
}

} // namespace vmq
