#include "container.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vmq_tool {

namespace {

const uint8_t kMagic[8] = {0x89, 'V', 'M', 'Q', '\r', '\n', 0x1A, '\n'};
constexpr size_t kHeaderSize = 32;
constexpr size_t kSettingsSize = 48;
constexpr size_t kSequenceSize = 88;

// Every empty span of a view points here, so that no span is null.
const uint32_t kEmptyWord = 0;

// Little-endian writer over a growing byte list.
struct ByteWriter {
    std::vector<uint8_t>& bytes;

    void u8(uint8_t v) { bytes.push_back(v); }
    void u32(uint32_t v)
    {
        for (int k = 0; k < 4; ++k)
            bytes.push_back(uint8_t(v >> (8 * k)));
    }
    void u64(uint64_t v)
    {
        u32(uint32_t(v));
        u32(uint32_t(v >> 32));
    }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void f32(float v)
    {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        u32(bits);
    }
    void text(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
    template <typename T>
    void array(const T* begin, const T* end)
    {
        const size_t count = begin && end > begin ? size_t(end - begin) : 0;
        u32(uint32_t(count));
        for (size_t k = 0; k < count; ++k)
            element(begin[k]);
    }
    void element(uint32_t v) { u32(v); }
    void element(int32_t v) { i32(v); }
    void element(const QuantParams& p)
    {
        f32(p.min);
        f32(p.max);
        f32(p.bits);
    }
};

// Bounds-checked little-endian reader over one chunk's payload; the first failure sticks.
struct ByteReader {
    const uint8_t* at;
    size_t left;
    std::string failure;

    bool take(size_t n, const char* what)
    {
        if (!failure.empty())
            return false;
        if (n > left) {
            failure = std::string("it ends inside ") + what;
            return false;
        }
        return true;
    }
    uint32_t u32(const char* what)
    {
        if (!take(4, what))
            return 0;
        const uint32_t v = uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
        at += 4, left -= 4;
        return v;
    }
    uint8_t u8(const char* what)
    {
        if (!take(1, what))
            return 0;
        --left;
        return *at++;
    }
    int32_t i32(const char* what) { return int32_t(u32(what)); }
    float f32(const char* what)
    {
        const uint32_t bits = u32(what);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    void element(uint32_t& v, const char* what) { v = u32(what); }
    void element(int32_t& v, const char* what) { v = i32(what); }
    void element(QuantParams& p, const char* what)
    {
        p.min = f32(what);
        p.max = f32(what);
        p.bits = f32(what);
    }
    template <typename T>
    void array(std::vector<T>& out, size_t elementSize, const char* what)
    {
        const uint32_t count = u32(what);
        if (!take(size_t(count) * elementSize, what))
            return;
        out.resize(count);
        for (T& v : out)
            element(v, what);
    }
};

void writeSettings(ByteWriter& w, const CompressionSettings& s)
{
    w.f32(s.positionQuality);
    w.f32(s.normalQuality);
    w.f32(s.texcoordQuality);
    w.f32(s.colorQuality);
    w.f32(s.velocityQuality);
    w.i32(s.velocityMode);
    w.u32(s.maxMeshletVertices);
    w.i32(s.minMeshletTriangles);
    w.i32(s.firstPassMeshletTriangles);
    w.u32(s.reserved);
    w.f32(s.meshletMergeBoxScale);
    w.u8(s.optimizeMesh);
    w.u8(s.disableParallelogramPrediction);
    w.u8(s.recomputeNormals);
    w.u8(s.smoothAllNormals);
}

void readSettings(ByteReader& r, CompressionSettings& s)
{
    const char* what = "the settings";
    s.positionQuality = r.f32(what);
    s.normalQuality = r.f32(what);
    s.texcoordQuality = r.f32(what);
    s.colorQuality = r.f32(what);
    s.velocityQuality = r.f32(what);
    s.velocityMode = r.i32(what);
    s.maxMeshletVertices = r.u32(what);
    s.minMeshletTriangles = r.i32(what);
    s.firstPassMeshletTriangles = r.i32(what);
    s.reserved = r.u32(what);
    s.meshletMergeBoxScale = r.f32(what);
    s.optimizeMesh = r.u8(what);
    s.disableParallelogramPrediction = r.u8(what);
    s.recomputeNormals = r.u8(what);
    s.smoothAllNormals = r.u8(what);
}

void writeSequence(ByteWriter& w, const SequenceFields& q)
{
    w.u32(q.frameCount);
    w.u32(q.staticAttributeMask);
    w.f32(q.frameDuration);
    w.f32(q.normalSmoothingThreshold);
    for (float v : q.transform)
        w.f32(v);
    for (uint8_t v : {q.staticTopology, q.negateTexcoordU, q.negateTexcoordV, q.removeDuplicateTriangles, q.generateTangents,
                      q.trimEmptyFrames, uint8_t(0), uint8_t(0)})
        w.u8(v);
}

void readSequence(ByteReader& r, SequenceFields& q)
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
    r.u8(what);
    r.u8(what);
}

void writeMesh(ByteWriter& w, const FrameRef& frame)
{
    const CompressedMesh& m = *frame.mesh;
    w.u32(frame.frameIndex);
    w.i32(frame.predictionMode);
    for (uint32_t v : {m.meshletCount, m.triangleCount, m.vertexCount, m.indexWordCount, m.channelCount, m.valueCount})
        w.u32(v);
    for (float v : m.boundsMin)
        w.f32(v);
    for (float v : m.boundsMax)
        w.f32(v);
    w.array(m.streamWordsBegin, m.streamWordsEnd);
    w.array(m.tableBlobBegin, m.tableBlobEnd);
    w.array(m.meshletBitOffsetsBegin, m.meshletBitOffsetsEnd);
    w.array(m.meshletValueOffsetsBegin, m.meshletValueOffsetsEnd);
    w.array(m.meshletTriangleOffsetsBegin, m.meshletTriangleOffsetsEnd);
    w.array(m.meshletHeadersBegin, m.meshletHeadersEnd);
    w.array(m.quantParamsBegin, m.quantParamsEnd);
    w.array(m.channelKindsBegin, m.channelKindsEnd);
    const uint32_t channelEntries = m.channels ? m.channelCount : 0;
    w.u32(channelEntries);
    for (uint32_t c = 0; c < channelEntries; ++c) {
        const ChannelStreams& s = m.channels[c];
        w.array(s.streamWordsBegin, s.streamWordsEnd);
        w.array(s.tableBlobBegin, s.tableBlobEnd);
        w.array(s.meshletBitOffsetsBegin, s.meshletBitOffsetsEnd);
    }
}

void writeChunk(std::vector<uint8_t>& file, const char tag[4], const std::vector<uint8_t>& payload)
{
    const size_t start = file.size();
    file.insert(file.end(), tag, tag + 4);
    ByteWriter w{file};
    w.u32(uint32_t(payload.size()));
    file.insert(file.end(), payload.begin(), payload.end());
    w.u32(crc32(file.data() + start, file.size() - start));
}

uint32_t readU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

template <typename T>
void span(const std::vector<T>& list, const T*& begin, const T*& end)
{
    if (list.empty()) {
        begin = end = reinterpret_cast<const T*>(&kEmptyWord);
    } else {
        begin = list.data();
        end = list.data() + list.size();
    }
}

template <typename T>
std::vector<T> copySpan(const T* begin, const T* end)
{
    return begin && end > begin ? std::vector<T>(begin, end) : std::vector<T>();
}

} // namespace

uint32_t crc32(const uint8_t* bytes, size_t size)
{
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

StoredMesh StoredMesh::copyOf(const CompressedMesh& m, uint32_t frameIndex, int32_t predictionMode)
{
    StoredMesh s;
    s.frameIndex = frameIndex;
    s.predictionMode = predictionMode;
    s.counts_.meshletCount = m.meshletCount;
    s.counts_.triangleCount = m.triangleCount;
    s.counts_.vertexCount = m.vertexCount;
    s.counts_.indexWordCount = m.indexWordCount;
    s.counts_.channelCount = m.channelCount;
    s.counts_.valueCount = m.valueCount;
    std::memcpy(s.counts_.boundsMin, m.boundsMin, sizeof m.boundsMin);
    std::memcpy(s.counts_.boundsMax, m.boundsMax, sizeof m.boundsMax);
    s.streamWords_ = copySpan(m.streamWordsBegin, m.streamWordsEnd);
    s.tableBlob_ = copySpan(m.tableBlobBegin, m.tableBlobEnd);
    s.meshletBitOffsets_ = copySpan(m.meshletBitOffsetsBegin, m.meshletBitOffsetsEnd);
    s.meshletValueOffsets_ = copySpan(m.meshletValueOffsetsBegin, m.meshletValueOffsetsEnd);
    s.meshletTriangleOffsets_ = copySpan(m.meshletTriangleOffsetsBegin, m.meshletTriangleOffsetsEnd);
    s.meshletHeaders_ = copySpan(m.meshletHeadersBegin, m.meshletHeadersEnd);
    s.quantParams_ = copySpan(m.quantParamsBegin, m.quantParamsEnd);
    s.channelKinds_ = copySpan(m.channelKindsBegin, m.channelKindsEnd);
    if (m.channels) {
        s.channels_.resize(m.channelCount);
        for (uint32_t c = 0; c < m.channelCount; ++c) {
            const ChannelStreams& from = m.channels[c];
            s.channels_[c] = {copySpan(from.streamWordsBegin, from.streamWordsEnd), copySpan(from.tableBlobBegin, from.tableBlobEnd),
                              copySpan(from.meshletBitOffsetsBegin, from.meshletBitOffsetsEnd)};
        }
    }
    return s;
}

const CompressedMesh& StoredMesh::mesh() const
{
    view_ = counts_;
    span(streamWords_, view_.streamWordsBegin, view_.streamWordsEnd);
    span(tableBlob_, view_.tableBlobBegin, view_.tableBlobEnd);
    span(meshletBitOffsets_, view_.meshletBitOffsetsBegin, view_.meshletBitOffsetsEnd);
    span(meshletValueOffsets_, view_.meshletValueOffsetsBegin, view_.meshletValueOffsetsEnd);
    span(meshletTriangleOffsets_, view_.meshletTriangleOffsetsBegin, view_.meshletTriangleOffsetsEnd);
    span(meshletHeaders_, view_.meshletHeadersBegin, view_.meshletHeadersEnd);
    span(channelKinds_, view_.channelKindsBegin, view_.channelKindsEnd);
    if (quantParams_.empty())
        view_.quantParamsBegin = view_.quantParamsEnd = reinterpret_cast<const QuantParams*>(&kEmptyWord);
    else
        view_.quantParamsBegin = quantParams_.data(), view_.quantParamsEnd = quantParams_.data() + quantParams_.size();
    channelViews_.resize(channels_.size());
    for (size_t c = 0; c < channels_.size(); ++c) {
        ChannelStreams& v = channelViews_[c];
        span(channels_[c].streamWords, v.streamWordsBegin, v.streamWordsEnd);
        span(channels_[c].tableBlob, v.tableBlobBegin, v.tableBlobEnd);
        span(channels_[c].meshletBitOffsets, v.meshletBitOffsetsBegin, v.meshletBitOffsetsEnd);
    }
    view_.channels = channelViews_.empty() ? nullptr : channelViews_.data();
    view_.partition = nullptr;
    view_.topology = nullptr;
    return view_;
}

// Reads a MESH chunk's payload and checks that its arrays agree with its counts.
bool readMeshChunk(const uint8_t* payload, size_t size, StoredMesh& s, std::string& error)
{
    ByteReader r{payload, size, {}};
    const char* what = "the mesh record";
    s.frameIndex = r.u32(what);
    s.predictionMode = r.i32(what);
    CompressedMesh& c = s.counts_;
    for (uint32_t* v : {&c.meshletCount, &c.triangleCount, &c.vertexCount, &c.indexWordCount, &c.channelCount, &c.valueCount})
        *v = r.u32(what);
    for (float& v : c.boundsMin)
        v = r.f32(what);
    for (float& v : c.boundsMax)
        v = r.f32(what);
    r.array(s.streamWords_, 4, "streamWords");
    r.array(s.tableBlob_, 4, "tableBlob");
    r.array(s.meshletBitOffsets_, 4, "meshletBitOffsets");
    r.array(s.meshletValueOffsets_, 4, "meshletValueOffsets");
    r.array(s.meshletTriangleOffsets_, 4, "meshletTriangleOffsets");
    r.array(s.meshletHeaders_, 4, "meshletHeaders");
    r.array(s.quantParams_, 12, "quantParams");
    r.array(s.channelKinds_, 4, "channelKinds");
    const uint32_t channelEntries = r.u32("the channel list");
    if (r.failure.empty() && size_t(channelEntries) * 12 > r.left)
        r.failure = "it ends inside the channel list";
    if (r.failure.empty())
        s.channels_.resize(channelEntries);
    for (uint32_t k = 0; k < channelEntries && r.failure.empty(); ++k) {
        r.array(s.channels_[k].streamWords, 4, "a channel's streamWords");
        r.array(s.channels_[k].tableBlob, 4, "a channel's tableBlob");
        r.array(s.channels_[k].meshletBitOffsets, 4, "a channel's meshletBitOffsets");
    }
    if (r.failure.empty() && r.left != 0)
        r.failure = std::to_string(r.left) + " bytes follow its last array";
    if (!r.failure.empty()) {
        error = "the mesh record of frame " + std::to_string(s.frameIndex) + " is malformed: " + r.failure;
        return false;
    }

    const uint64_t m = c.meshletCount;
    std::string mismatch;
    auto expect = [&](size_t actual, uint64_t wanted, const std::string& name) {
        if (mismatch.empty() && actual != wanted)
            mismatch = name + " holds " + std::to_string(actual) + " entries, not " + std::to_string(wanted);
    };
    if (s.predictionMode != 0 && s.predictionMode != 1)
        mismatch = "unknown prediction mode " + std::to_string(s.predictionMode);
    expect(s.meshletBitOffsets_.size(), m, "meshletBitOffsets");
    expect(s.meshletValueOffsets_.size(), m, "meshletValueOffsets");
    expect(s.meshletTriangleOffsets_.size(), m, "meshletTriangleOffsets");
    expect(s.meshletHeaders_.size(), 8 * m, "meshletHeaders");
    expect(s.quantParams_.size(), c.channelCount, "quantParams");
    expect(s.channelKinds_.size(), c.channelCount, "channelKinds");
    expect(s.channels_.size(), c.channelCount, "the channel list");
    for (size_t k = 0; k < s.channels_.size(); ++k)
        expect(s.channels_[k].meshletBitOffsets.size(), m, "channel " + std::to_string(k) + "'s meshletBitOffsets");
    if (!mismatch.empty()) {
        error = "the mesh record of frame " + std::to_string(s.frameIndex) + " is inconsistent: " + mismatch;
        return false;
    }
    return true;
}

const StoredMesh* Container::frame(uint32_t frameIndex) const
{
    for (const StoredMesh& m : meshes)
        if (m.frameIndex == frameIndex)
            return &m;
    return nullptr;
}

std::vector<FrameRef> Container::frameRefs() const
{
    std::vector<FrameRef> refs;
    refs.reserve(meshes.size());
    for (const StoredMesh& m : meshes)
        refs.push_back({m.frameIndex, m.predictionMode, &m.mesh()});
    return refs;
}

std::vector<uint8_t> encodeContainer(const ContainerHeader& header, const std::vector<FrameRef>& frames)
{
    std::vector<uint8_t> file(kHeaderSize, 0);
    std::vector<uint8_t> payload;
    ByteWriter p{payload};
    uint32_t chunkCount = 0;

    writeSettings(p, header.settings);
    writeChunk(file, "SETT", payload), ++chunkCount;
    if (header.kind == ContainerKind::Sequence) {
        payload.clear();
        writeSequence(p, header.sequence);
        writeChunk(file, "SEQU", payload), ++chunkCount;
    }
    payload.clear();
    p.u32(uint32_t(header.materialNames.size()));
    for (const std::string& name : header.materialNames) {
        p.u32(uint32_t(name.size()));
        p.text(name);
    }
    writeChunk(file, "MATL", payload), ++chunkCount;
    if (!header.sourceName.empty()) {
        payload.clear();
        p.text(header.sourceName);
        writeChunk(file, "SRCE", payload), ++chunkCount;
    }
    for (const FrameRef& frame : frames) {
        payload.clear();
        writeMesh(p, frame);
        writeChunk(file, "MESH", payload), ++chunkCount;
    }

    std::vector<uint8_t> head;
    ByteWriter h{head};
    head.insert(head.end(), kMagic, kMagic + 8);
    h.u32(uint32_t(kContainerVersionMajor) | uint32_t(kContainerVersionMinor) << 16);
    h.u32(uint32_t(header.kind));
    h.u64(file.size());
    h.u32(chunkCount);
    h.u32(crc32(head.data(), head.size()));
    std::memcpy(file.data(), head.data(), kHeaderSize);
    return file;
}

bool decodeContainer(const uint8_t* bytes, size_t size, Container& container, std::string& error)
{
    container = Container{};
    if (size < 8 || std::memcmp(bytes, kMagic, 8) != 0) {
        error = "not a .vmq container (its first bytes are not the container signature)";
        return false;
    }
    if (size < kHeaderSize) {
        error = "the file is truncated: it ends inside its " + std::to_string(kHeaderSize) + "-byte header";
        return false;
    }
    if (crc32(bytes, 28) != readU32(bytes + 28)) {
        error = "the file is corrupted: its header fails its checksum";
        return false;
    }
    const uint32_t major = readU32(bytes + 8) & 0xFFFF, minor = readU32(bytes + 8) >> 16;
    if (major != kContainerVersionMajor) {
        error = "container version " + std::to_string(major) + "." + std::to_string(minor) + " is not supported (this tool reads " +
                std::to_string(kContainerVersionMajor) + ".x)";
        return false;
    }
    const uint32_t kind = readU32(bytes + 12);
    if (kind > uint32_t(ContainerKind::Sequence)) {
        error = "the file is corrupted: unknown container kind " + std::to_string(kind);
        return false;
    }
    const uint64_t declaredSize = uint64_t(readU32(bytes + 16)) | uint64_t(readU32(bytes + 20)) << 32;
    if (declaredSize != size) {
        error = size < declaredSize ? "the file is truncated: it has " + std::to_string(size) + " of its " + std::to_string(declaredSize) + " bytes"
                                    : "the file has " + std::to_string(size - declaredSize) + " bytes after its declared end";
        return false;
    }
    const uint32_t chunkCount = readU32(bytes + 24);
    ContainerHeader& header = container.header;
    header.kind = ContainerKind(kind);

    bool haveSettings = false, haveSequence = false, haveMaterials = false;
    size_t at = kHeaderSize;
    for (uint32_t n = 0; n < chunkCount; ++n) {
        if (size - at < 12) {
            error = "the file is corrupted: chunk " + std::to_string(n) + " of " + std::to_string(chunkCount) + " lies past its end";
            return false;
        }
        const std::string tag(reinterpret_cast<const char*>(bytes + at), 4);
        const uint32_t length = readU32(bytes + at + 4);
        if (size - at - 12 < length) {
            error = "the file is corrupted: chunk " + std::to_string(n) + " runs past its end";
            return false;
        }
        const uint8_t* payload = bytes + at + 8;
        if (crc32(bytes + at, 8 + size_t(length)) != readU32(payload + length)) {
            error = "the file is corrupted: chunk " + std::to_string(n) + " fails its checksum";
            return false;
        }
        at += 12 + size_t(length);

        ByteReader r{payload, length, {}};
        if (tag == "SETT") {
            readSettings(r, header.settings);
            haveSettings = true;
        } else if (tag == "SEQU") {
            readSequence(r, header.sequence);
            haveSequence = true;
        } else if (tag == "MATL") {
            const uint32_t count = r.u32("the material list");
            if (r.failure.empty() && size_t(count) * 4 > r.left)
                r.failure = "it ends inside the material list";
            for (uint32_t k = 0; k < count && r.failure.empty(); ++k) {
                const uint32_t nameLength = r.u32("a material name");
                if (r.take(nameLength, "a material name")) {
                    header.materialNames.emplace_back(reinterpret_cast<const char*>(r.at), nameLength);
                    r.at += nameLength, r.left -= nameLength;
                }
            }
            haveMaterials = true;
        } else if (tag == "SRCE") {
            header.sourceName.assign(reinterpret_cast<const char*>(payload), length);
            r.left = 0;
        } else if (tag == "MESH") {
            StoredMesh mesh;
            if (!readMeshChunk(payload, length, mesh, error))
                return false;
            if (!container.meshes.empty() && mesh.frameIndex <= container.meshes.back().frameIndex) {
                error = "the file is corrupted: frame " + std::to_string(mesh.frameIndex) + " is out of order";
                return false;
            }
            container.meshes.push_back(std::move(mesh));
            r.left = 0;
        } else {
            r.left = 0; // a chunk of a later minor version: skipped
        }
        if (r.failure.empty() && r.left != 0)
            r.failure = std::to_string(r.left) + " bytes too many";
        if (!r.failure.empty()) {
            error = "the file is corrupted: its " + tag + " chunk is malformed (" + r.failure + ")";
            return false;
        }
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

bool writeContainerFile(const std::string& path, const ContainerHeader& header, const std::vector<FrameRef>& frames, std::string& error)
{
    const std::vector<uint8_t> bytes = encodeContainer(header, frames);
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
