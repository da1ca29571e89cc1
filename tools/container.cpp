#include "container.h"

#include "pipeline/compressed_record.h"
#include "serialize/byte_coding.h"
#include "serialize/checksum.h"
#include "serialize/record_coding.h"
#include "serialize/serialized_form.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vmq_tool {

namespace {

using vmq::ByteReader;
using vmq::ByteWriter;

const uint8_t kMagic[8] = {0x89, 'V', 'M', 'Q', '\r', '\n', 0x1A, '\n'};

// ---- What both versions store alike: the settings, material names, chunks of a tag and a length.

void writeSettings(ByteWriter& w, const CompressionSettings& s)
{
    for (float v : {s.positionQuality, s.normalQuality, s.texcoordQuality, s.colorQuality, s.velocityQuality})
        w.f32(v);
    w.u32(uint32_t(s.velocityMode));
    w.u32(s.maxMeshletVertices);
    w.u32(uint32_t(s.minMeshletTriangles));
    w.u32(uint32_t(s.firstPassMeshletTriangles));
    w.u32(s.reserved);
    w.f32(s.meshletMergeBoxScale);
    for (uint8_t v : {s.optimizeMesh, s.disableParallelogramPrediction, s.recomputeNormals, s.smoothAllNormals})
        w.u8(v);
}

void readSettings(ByteReader& r, CompressionSettings& s)
{
    const char* what = "the settings";
    for (float* v : {&s.positionQuality, &s.normalQuality, &s.texcoordQuality, &s.colorQuality, &s.velocityQuality})
        *v = r.f32(what);
    s.velocityMode = int32_t(r.u32(what));
    s.maxMeshletVertices = r.u32(what);
    s.minMeshletTriangles = int32_t(r.u32(what));
    s.firstPassMeshletTriangles = int32_t(r.u32(what));
    s.reserved = r.u32(what);
    s.meshletMergeBoxScale = r.f32(what);
    for (uint8_t* v : {&s.optimizeMesh, &s.disableParallelogramPrediction, &s.recomputeNormals, &s.smoothAllNormals})
        *v = r.u8(what);
}

void writeMaterials(ByteWriter& w, const std::vector<std::string>& names)
{
    w.u32(uint32_t(names.size()));
    for (const std::string& name : names) {
        w.u32(uint32_t(name.size()));
        w.raw(name.data(), name.size());
    }
}

void readMaterials(ByteReader& r, std::vector<std::string>& names)
{
    const uint32_t count = r.u32("the material list");
    if (!r.failed() && size_t(count) * 4 > r.left())
        r.fail("the material list");
    for (uint32_t k = 0; k < count && !r.failed(); ++k) {
        const uint32_t length = r.u32("a material name");
        if (const uint8_t* text = r.take(length, "a material name"))
            names.emplace_back(reinterpret_cast<const char*>(text), length);
    }
}

void writeChunk(std::vector<uint8_t>& out, const char tag[4], const std::vector<uint8_t>& payload)
{
    ByteWriter w{out};
    w.raw(tag, 4);
    w.u32(uint32_t(payload.size()));
    w.raw(payload.data(), payload.size());
}

// ---- Version 2: the tool's data as the serialized form's metadata, chunks without checksums of
// their own (the form checksums them): SETT, SEQS (sequences), MATL (meshes), SRCE (optional).

void writeSequenceSettings(ByteWriter& w, const SequenceFields& q)
{
    w.f32(q.normalSmoothingThreshold);
    for (float v : q.transform)
        w.f32(v);
    for (uint8_t v : {q.negateTexcoordU, q.negateTexcoordV, q.removeDuplicateTriangles, q.generateTangents, q.trimEmptyFrames, uint8_t(0),
                      uint8_t(0), uint8_t(0)})
        w.u8(v);
}

void readSequenceSettings(ByteReader& r, SequenceFields& q)
{
    const char* what = "the sequence settings";
    q.normalSmoothingThreshold = r.f32(what);
    for (float& v : q.transform)
        v = r.f32(what);
    for (uint8_t* v : {&q.negateTexcoordU, &q.negateTexcoordV, &q.removeDuplicateTriangles, &q.generateTangents, &q.trimEmptyFrames})
        *v = r.u8(what);
    r.take(3, what);
}

std::vector<uint8_t> metadataOf(const ContainerHeader& header)
{
    std::vector<uint8_t> metadata, payload;
    ByteWriter p{payload};
    writeSettings(p, header.settings);
    writeChunk(metadata, "SETT", payload);
    if (header.kind == ContainerKind::Sequence) {
        payload.clear();
        writeSequenceSettings(p, header.sequence);
        writeChunk(metadata, "SEQS", payload);
    } else {
        payload.clear();
        writeMaterials(p, header.materialNames);
        writeChunk(metadata, "MATL", payload);
    }
    if (!header.sourceName.empty()) {
        payload.assign(header.sourceName.begin(), header.sourceName.end());
        writeChunk(metadata, "SRCE", payload);
    }
    return metadata;
}

bool readMetadata(const uint8_t* begin, const uint8_t* end, ContainerHeader& header, std::string& error)
{
    ByteReader r{begin, end};
    bool haveSettings = false;
    while (r.left() && !r.failed()) {
        const uint8_t* tagBytes = r.take(4, "a metadata chunk");
        const uint32_t length = r.u32("a metadata chunk");
        const uint8_t* payload = r.take(length, "a metadata chunk");
        if (!payload)
            break;
        const std::string tag(reinterpret_cast<const char*>(tagBytes), 4);
        ByteReader chunk{payload, payload + length};
        if (tag == "SETT") {
            readSettings(chunk, header.settings);
            haveSettings = true;
        } else if (tag == "SEQS") {
            readSequenceSettings(chunk, header.sequence);
        } else if (tag == "MATL") {
            readMaterials(chunk, header.materialNames);
        } else if (tag == "SRCE") {
            header.sourceName.assign(reinterpret_cast<const char*>(payload), length);
            chunk.at = chunk.end;
        } else {
            chunk.at = chunk.end; // a chunk of a later minor version: skipped
        }
        if (chunk.failed() || chunk.left()) {
            error = "the file is corrupted: its " + tag + " metadata is malformed";
            return false;
        }
    }
    if (r.failed() || !haveSettings) {
        error = r.failed() ? "the file is corrupted: its metadata is cut short" : "the file is corrupted: its metadata has no SETT chunk";
        return false;
    }
    return true;
}

bool decodeVersion2(const uint8_t* bytes, size_t size, Container& container, std::string& error)
{
    SerializedInfo& info = container.storage;
    if (!vmq::readSerializedInfo(bytes, size, info, error))
        return false;
    container.versionMajor = uint16_t(info.versionMajor);
    container.versionMinor = uint16_t(info.versionMinor);
    container.hasStorage = true;
    ContainerHeader& header = container.header;
    const bool read = readMetadata(info.metadataBegin, info.metadataEnd, header, error);
    info.metadataBegin = info.metadataEnd = nullptr; // they point into the caller's bytes
    if (!read)
        return false;

    if (info.kind == PELKU_VMQ_SERIALIZED_MESH) {
        header.kind = ContainerKind::Mesh;
        StoredMesh mesh;
        mesh.record.reset(vmq::deserializeMesh(bytes, size, &mesh.predictionMode, error));
        if (!mesh.record)
            return false;
        container.meshes.push_back(std::move(mesh));
        return true;
    }
    header.kind = ContainerKind::Sequence;
    int32_t predictionMode = 0;
    std::unique_ptr<CompressedSequence, void (*)(CompressedSequence*)> sequence(vmq::deserializeSequence(bytes, size, &predictionMode, error),
                                                                               Pelku_Vmq_Compression_ReleaseCompressedSequence);
    if (!sequence)
        return false;
    SequenceFields& q = header.sequence;
    q.frameCount = sequence->frameCount;
    q.staticTopology = sequence->staticTopology;
    q.staticAttributeMask = sequence->staticAttributeMask;
    q.frameDuration = sequence->frameDuration;
    header.materialNames.assign(sequence->materialNamesBegin, sequence->materialNamesEnd);
    for (uint32_t f = 0; f < sequence->frameCount; ++f)
        if (CompressedMesh* frame = sequence->frames[f]) {
            sequence->frames[f] = nullptr;
            StoredMesh mesh;
            mesh.frameIndex = f;
            mesh.predictionMode = predictionMode;
            mesh.record.reset(frame);
            container.meshes.push_back(std::move(mesh));
        }
    return true;
}

// ---- Version 1: a 32-byte header, then chunks each with a CRC-32: SETT, SEQU (sequences), MATL,
// SRCE, one MESH per stored frame with every array as it is in memory.

constexpr size_t kVersion1HeaderSize = 32;

void readVersion1Sequence(ByteReader& r, SequenceFields& q)
{
    const char* what = "the sequence fields";
    q.frameCount = r.u32(what);
    q.staticAttributeMask = r.u32(what);
    q.frameDuration = r.f32(what);
    q.normalSmoothingThreshold = r.f32(what);
    for (float& v : q.transform)
        v = r.f32(what);
    for (uint8_t* v : {&q.staticTopology, &q.negateTexcoordU, &q.negateTexcoordV, &q.removeDuplicateTriangles, &q.generateTangents,
                       &q.trimEmptyFrames})
        *v = r.u8(what);
    r.take(2, what);
}

void readElement(ByteReader& r, uint32_t& v, const char* what) { v = r.u32(what); }
void readElement(ByteReader& r, int32_t& v, const char* what) { v = int32_t(r.u32(what)); }
void readElement(ByteReader& r, QuantParams& p, const char* what)
{
    p.min = r.f32(what);
    p.max = r.f32(what);
    p.bits = r.f32(what);
}

// A u32 element count, then the elements, into a new span of the record.
template <typename T>
void readArray(ByteReader& r, size_t elementSize, const T*& begin, const T*& end, const char* what)
{
    const uint32_t count = r.u32(what);
    if (r.failed() || size_t(count) * elementSize > r.left()) {
        r.fail(what);
        return;
    }
    T* out = vmq::allocateSpan(count, begin, end);
    for (uint32_t k = 0; k < count; ++k)
        readElement(r, out[k], what);
}

bool readVersion1Mesh(const uint8_t* payload, size_t size, StoredMesh& s, std::string& error)
{
    ByteReader r{payload, payload + size};
    const char* what = "the mesh record";
    s.frameIndex = r.u32(what);
    s.predictionMode = int32_t(r.u32(what));
    s.record.reset(new CompressedMesh{});
    CompressedMesh& c = *s.record;
    for (uint32_t* v : {&c.meshletCount, &c.triangleCount, &c.vertexCount, &c.indexWordCount, &c.channelCount, &c.valueCount})
        *v = r.u32(what);
    for (float& v : c.boundsMin)
        v = r.f32(what);
    for (float& v : c.boundsMax)
        v = r.f32(what);
    const uint32_t channelCount = c.channelCount;
    readArray(r, 4, c.streamWordsBegin, c.streamWordsEnd, "streamWords");
    readArray(r, 4, c.tableBlobBegin, c.tableBlobEnd, "tableBlob");
    readArray(r, 4, c.meshletBitOffsetsBegin, c.meshletBitOffsetsEnd, "meshletBitOffsets");
    readArray(r, 4, c.meshletValueOffsetsBegin, c.meshletValueOffsetsEnd, "meshletValueOffsets");
    readArray(r, 4, c.meshletTriangleOffsetsBegin, c.meshletTriangleOffsetsEnd, "meshletTriangleOffsets");
    readArray(r, 4, c.meshletHeadersBegin, c.meshletHeadersEnd, "meshletHeaders");
    readArray(r, 12, c.quantParamsBegin, c.quantParamsEnd, "quantParams");
    readArray(r, 4, c.channelKindsBegin, c.channelKindsEnd, "channelKinds");
    const uint32_t channelEntries = r.u32("the channel list");
    if (!r.failed() && size_t(channelEntries) * 12 > r.left())
        r.fail("the channel list");
    ChannelStreams* channels = r.failed() ? nullptr : vmq::allocateChannels(c, channelEntries);
    for (uint32_t k = 0; k < channelEntries && !r.failed(); ++k) {
        readArray(r, 4, channels[k].streamWordsBegin, channels[k].streamWordsEnd, "a channel's streamWords");
        readArray(r, 4, channels[k].tableBlobBegin, channels[k].tableBlobEnd, "a channel's tableBlob");
        readArray(r, 4, channels[k].meshletBitOffsetsBegin, channels[k].meshletBitOffsetsEnd, "a channel's meshletBitOffsets");
    }
    if (!r.failed() && r.left()) {
        error = "the mesh record of frame " + std::to_string(s.frameIndex) + " is malformed: " + std::to_string(r.left()) +
                " bytes follow its last array";
        return false;
    }
    if (r.failed()) {
        error = "the mesh record of frame " + std::to_string(s.frameIndex) + " is malformed: it ends inside " + r.failure;
        return false;
    }
    std::string mismatch;
    if (s.predictionMode != PELKU_VMQ_PREDICTION_PARALLELOGRAM && s.predictionMode != PELKU_VMQ_PREDICTION_DELTA)
        mismatch = "unknown prediction mode " + std::to_string(s.predictionMode);
    else if (channelEntries != channelCount)
        mismatch = "the channel list holds " + std::to_string(channelEntries) + " entries, not " + std::to_string(channelCount);
    else
        vmq::checkRecordShape(c, mismatch);
    if (!mismatch.empty()) {
        error = "the mesh record of frame " + std::to_string(s.frameIndex) + " is inconsistent: " + mismatch;
        return false;
    }
    return true;
}

bool decodeVersion1(const uint8_t* bytes, size_t size, Container& container, std::string& error)
{
    if (size < kVersion1HeaderSize) {
        error = "the file is truncated: it ends inside its " + std::to_string(kVersion1HeaderSize) + "-byte header";
        return false;
    }
    if (vmq::crc32(bytes, 28) != vmq::loadU32(bytes + 28)) {
        error = "the file is corrupted: its header fails its checksum";
        return false;
    }
    container.versionMinor = uint16_t(vmq::loadU32(bytes + 8) >> 16);
    const uint32_t kind = vmq::loadU32(bytes + 12);
    if (kind > uint32_t(ContainerKind::Sequence)) {
        error = "the file is corrupted: unknown container kind " + std::to_string(kind);
        return false;
    }
    const uint64_t declaredSize = vmq::loadU64(bytes + 16);
    if (declaredSize != size) {
        error = size < declaredSize ? "the file is truncated: it has " + std::to_string(size) + " of its " + std::to_string(declaredSize) + " bytes"
                                    : "the file has " + std::to_string(size - declaredSize) + " bytes after its declared end";
        return false;
    }
    const uint32_t chunkCount = vmq::loadU32(bytes + 24);
    ContainerHeader& header = container.header;
    header.kind = ContainerKind(kind);

    bool haveSettings = false, haveSequence = false, haveMaterials = false;
    size_t at = kVersion1HeaderSize;
    for (uint32_t n = 0; n < chunkCount; ++n) {
        if (size - at < 12) {
            error = "the file is corrupted: chunk " + std::to_string(n) + " of " + std::to_string(chunkCount) + " lies past its end";
            return false;
        }
        const std::string tag(reinterpret_cast<const char*>(bytes + at), 4);
        const uint32_t length = vmq::loadU32(bytes + at + 4);
        if (size - at - 12 < length) {
            error = "the file is corrupted: chunk " + std::to_string(n) + " runs past its end";
            return false;
        }
        const uint8_t* payload = bytes + at + 8;
        if (vmq::crc32(bytes + at, 8 + size_t(length)) != vmq::loadU32(payload + length)) {
            error = "the file is corrupted: chunk " + std::to_string(n) + " fails its checksum";
            return false;
        }
        at += 12 + size_t(length);

        ByteReader r{payload, payload + length};
        if (tag == "SETT") {
            readSettings(r, header.settings);
            haveSettings = true;
        } else if (tag == "SEQU") {
            readVersion1Sequence(r, header.sequence);
            haveSequence = true;
        } else if (tag == "MATL") {
            readMaterials(r, header.materialNames);
            haveMaterials = true;
        } else if (tag == "SRCE") {
            header.sourceName.assign(reinterpret_cast<const char*>(payload), length);
            r.at = r.end;
        } else if (tag == "MESH") {
            StoredMesh mesh;
            if (!readVersion1Mesh(payload, length, mesh, error))
                return false;
            if (!container.meshes.empty() && mesh.frameIndex <= container.meshes.back().frameIndex) {
                error = "the file is corrupted: frame " + std::to_string(mesh.frameIndex) + " is out of order";
                return false;
            }
            container.meshes.push_back(std::move(mesh));
            r.at = r.end;
        } else {
            r.at = r.end; // a chunk of a later minor version: skipped
        }
        if (!r.failed() && r.left())
            error = "the file is corrupted: its " + tag + " chunk is malformed (" + std::to_string(r.left()) + " bytes too many)";
        else if (r.failed())
            error = "the file is corrupted: its " + tag + " chunk is malformed (it ends inside " + r.failure + ")";
        if (!error.empty())
            return false;
    }
    if (at != size) {
        error = "the file is corrupted: " + std::to_string(size - at) + " bytes follow its last chunk";
        return false;
    }
    if (!haveSettings || !haveMaterials) {
        error = std::string("the file is corrupted: it has no ") + (haveSettings ? "MATL" : "SETT") + " chunk";
        return false;
    }
    if (header.kind == ContainerKind::Sequence) {
        if (!haveSequence) {
            error = "the file is corrupted: a sequence container without its SEQU chunk";
            return false;
        }
        if (!container.meshes.empty() && container.meshes.back().frameIndex >= header.sequence.frameCount) {
            error = "the file is corrupted: frame " + std::to_string(container.meshes.back().frameIndex) + " lies past the sequence's " +
                    std::to_string(header.sequence.frameCount) + " frames";
            return false;
        }
    } else if (container.meshes.size() != 1 || container.meshes[0].frameIndex != 0) {
        error = "the file is corrupted: a mesh container holds " + std::to_string(container.meshes.size()) + " mesh records, not one";
        return false;
    }
    return true;
}

bool keepSerialized(SerializedBytes* serialized, std::vector<uint8_t>& bytes)
{
    if (!serialized)
        return false;
    bytes.assign(serialized->bytesBegin, serialized->bytesEnd);
    vmq::releaseSerializedBytes(serialized);
    return true;
}

} // namespace

const StoredMesh* Container::frame(uint32_t frameIndex) const
{
    for (const StoredMesh& m : meshes)
        if (m.frameIndex == frameIndex)
            return &m;
    return nullptr;
}

bool encodeMeshContainer(const ContainerHeader& header, const CompressedMesh& mesh, int32_t predictionMode, std::vector<uint8_t>& bytes,
                         std::string& error)
{
    const std::vector<uint8_t> metadata = metadataOf(header);
    return keepSerialized(vmq::serializeMesh(mesh, predictionMode, metadata.data(), metadata.size(), error), bytes);
}

bool encodeSequenceContainer(const ContainerHeader& header, const CompressedSequence& sequence, int32_t predictionMode,
                             std::vector<uint8_t>& bytes, std::string& error)
{
    const std::vector<uint8_t> metadata = metadataOf(header);
    return keepSerialized(vmq::serializeSequence(sequence, predictionMode, metadata.data(), metadata.size(), error), bytes);
}

bool decodeContainer(const uint8_t* bytes, size_t size, Container& container, std::string& error)
{
    container = Container{};
    if (size < 8 || std::memcmp(bytes, kMagic, 8) != 0) {
        error = "not a .vmq container (its first bytes are not the container signature)";
        return false;
    }
    if (size < 12) {
        error = "the file is truncated: it ends inside its header";
        return false;
    }
    container.versionMajor = uint16_t(bytes[8] | bytes[9] << 8);
    container.versionMinor = uint16_t(bytes[10] | bytes[11] << 8);
    if (container.versionMajor == 1)
        return decodeVersion1(bytes, size, container, error);
    if (container.versionMajor == vmq::kSerializedVersionMajor)
        return decodeVersion2(bytes, size, container, error);
    error = "container version " + std::to_string(container.versionMajor) + "." + std::to_string(container.versionMinor) +
            " is not supported (this tool reads 1.x and 2.x)";
    return false;
}

bool writeContainerFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) {
        error = path + ": cannot open for writing: " + std::strerror(errno);
        return false;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fclose(file.release()) != 0) {
        error = path + ": write failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool readContainerFile(const std::string& path, Container& container, std::string& error)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    if (std::ferror(file.get())) {
        error = path + ": read failed: " + std::strerror(errno);
        return false;
    }
    std::string reason;
    if (!decodeContainer(bytes.data(), bytes.size(), container, reason)) {
        error = path + ": " + reason;
        return false;
    }
    return true;
}

} // namespace vmq_tool
