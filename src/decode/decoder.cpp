#include "decode/decoder.h"

#include "format/decode_table.h"
#include "format/meshlet_symbols.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace vmq {

namespace {

constexpr uint32_t kLookupBits = 11;
constexpr uint32_t kMaxElements = kMaxMeshletElements;
static_assert(kMaxMeshletElements == PELKU_VMQ_MAX_MESHLET_ELEMENTS);

// Lookup entries: bit 0 set = a leaf reached within kLookupBits bits (bits 1-4 its code length,
// bits 5.. its symbol); bit 0 clear = the inner node reached after kLookupBits bits (bits 5..).
constexpr uint32_t kLeafFlag = 1;

struct DecodeFailure {
    std::string message;
};

[[noreturn]] void fail(std::string message)
{
    throw DecodeFailure{std::move(message)};
}

template <typename T>
size_t spanLength(const T* begin, const T* end, const char* name)
{
    if (!begin || !end || end < begin)
        fail(std::string("the record's ") + name + " span is invalid");
    return size_t(end - begin);
}

// Fills the lookup below `node` at `depth` bits for code prefix `prefix`.
void fillLookup(const StreamDecodeTable& table, std::vector<uint32_t>& lookup, uint32_t node, uint32_t depth, uint32_t prefix,
                const char* streamName)
{
    const uint32_t entry = table.entries[node];
    if (isLeafEntry(entry)) {
        const uint32_t symbol = leafSymbol(entry);
        if (symbol >= kSymbolCount)
            fail(std::string("decode table of stream ") + streamName + " holds symbol " + std::to_string(symbol) + " beyond 2047");
        const uint32_t first = prefix << (kLookupBits - depth);
        const uint32_t count = 1u << (kLookupBits - depth);
        for (uint32_t k = 0; k < count; ++k)
            lookup[first + k] = kLeafFlag | (depth << 1) | (symbol << 5);
        return;
    }
    const uint32_t child = firstChild(entry);
    if (child <= node || child + 1 >= table.entryCount)
        fail(std::string("decode table of stream ") + streamName + " has an entry pointing outside its table");
    if (depth == kLookupBits) {
        lookup[prefix] = node << 5;
        return;
    }
    fillLookup(table, lookup, child, depth + 1, prefix * 2, streamName);
    fillLookup(table, lookup, child + 1, depth + 1, prefix * 2 + 1, streamName);
}

void prepareCoder(CoderDecodeTables& coder, const uint32_t* wordsBegin, const uint32_t* wordsEnd, const uint32_t* blobBegin,
                  const uint32_t* blobEnd, const uint32_t* offsetsBegin, const uint32_t* offsetsEnd, uint32_t meshletCount,
                  uint32_t streamCount, const char* const* names, const std::string& coderName)
{
    const size_t wordCount = spanLength(wordsBegin, wordsEnd, (coderName + " streamWords").c_str());
    const size_t blobLength = spanLength(blobBegin, blobEnd, (coderName + " tableBlob").c_str());
    const size_t offsetCount = spanLength(offsetsBegin, offsetsEnd, (coderName + " meshletBitOffsets").c_str());
    if (offsetCount != meshletCount)
        fail(coderName + " has " + std::to_string(offsetCount) + " meshlet bit offsets for " + std::to_string(meshletCount) + " meshlets");
    if (blobLength < streamCount || blobBegin[0] != streamCount)
        fail(coderName + " table blob does not start with its " + std::to_string(streamCount) + " header words");
    coder.words = wordsBegin;
    coder.bitCount = uint64_t(wordCount) * 32;
    coder.meshletBitOffsets = offsetsBegin;
    coder.streams.assign(streamCount, {});
    for (uint32_t s = 0; s < streamCount; ++s) {
        StreamTable found;
        if (!findStreamTable(blobBegin, blobLength, streamCount, s, found))
            fail(coderName + " table blob header word " + std::to_string(s) + " points outside the blob");
        StreamDecodeTable& table = coder.streams[s];
        table.entries = found.entries;
        table.entryCount = found.entryCount;
        const char* name = names[s];
        if (table.entryCount == 1 && !isLeafEntry(table.entries[0]))
            fail(coderName + " decode table of stream " + name + " is a lone inner node");
        if (table.entryCount == 1 && leafSymbol(table.entries[0]) >= kSymbolCount)
            fail(coderName + " decode table of stream " + name + " holds a symbol beyond 2047");
        if (table.entryCount >= 2) {
            table.lookup.assign(size_t(1) << kLookupBits, 0);
            fillLookup(table, table.lookup, 0, 0, 0, name);
        }
    }
}

// Reads symbols of one coder's bitstream from a start position.
class SymbolReader {
public:
    SymbolReader(const CoderDecodeTables& coder, uint64_t position, const char* const* names)
        : coder_(coder), position_(position), names_(names)
    {
        if (position > coder.bitCount)
            fail("a meshlet's bit offset " + std::to_string(position) + " lies past the end of its stream (" +
                 std::to_string(coder.bitCount) + " bits)");
    }

    // Codes of up to kLookupBits bits take one lookup; the rest go to readSlow.
    uint32_t read(uint32_t stream)
    {
        const StreamDecodeTable& table = coder_.streams[stream];
        if (table.entryCount >= 2) {
            const uint32_t entry = table.lookup[peek(kLookupBits)];
            if (entry & kLeafFlag) {
                consume((entry >> 1) & 15);
                return entry >> 5;
            }
        }
        return readSlow(stream);
    }

private:
    uint32_t readSlow(uint32_t stream)
    {
        const StreamDecodeTable& table = coder_.streams[stream];
        if (table.entryCount == 0)
            fail(std::string("stream ") + names_[stream] + " has no code but a symbol is read from it");
        if (table.entryCount == 1)
            return leafSymbol(table.entries[0]);
        const uint32_t entry = table.lookup[peek(kLookupBits)];
        if (entry & kLeafFlag) {
            consume((entry >> 1) & 15);
            return entry >> 5;
        }
        consume(kLookupBits);
        uint32_t node = entry >> 5;
        for (;;) {
            const uint32_t child = firstChild(table.entries[node]) + peek(1);
            consume(1);
            const uint32_t value = table.entries[child];
            if (isLeafEntry(value)) {
                if (leafSymbol(value) >= kSymbolCount)
                    fail(std::string("decode table of stream ") + names_[stream] + " holds a symbol beyond 2047");
                return leafSymbol(value);
            }
            if (firstChild(value) <= child || firstChild(value) + 1 >= table.entryCount)
                fail(std::string("decode table of stream ") + names_[stream] + " has an entry pointing outside its table");
            node = child;
        }
    }

    uint32_t peek(uint32_t bits) const
    {
        const uint64_t word = position_ >> 5;
        const uint64_t wordCount = coder_.bitCount >> 5;
        const uint64_t high = word < wordCount ? coder_.words[word] : 0;
        const uint64_t low = word + 1 < wordCount ? coder_.words[word + 1] : 0;
        const uint64_t window = ((high << 32) | low) << (position_ & 31);
        return uint32_t(window >> (64 - bits));
    }

    void consume(uint32_t bits)
    {
        position_ += bits;
        if (position_ > coder_.bitCount)
            fail("a meshlet's symbols run past the end of their stream");
    }

    const CoderDecodeTables& coder_;
    uint64_t position_;
    const char* const* names_;
};

// Reads a meshlet's symbols for the format's walk; a failed read has already thrown.
struct ReaderIo {
    static constexpr bool kReading = true;
    SymbolReader& reader;
    uint32_t meshlet;
    uint32_t channel;

    void marker(uint32_t) {}
    bool symbol(uint32_t stream, uint32_t& value)
    {
        value = reader.read(stream);
        return true;
    }
    bool valueTooWide(uint32_t, uint32_t) { return true; }
    bool malformed(const char* what)
    {
        fail("meshlet " + std::to_string(meshlet) + " channel " + std::to_string(channel) + " " + what);
    }
};

// Reads every meshlet's counts and offsets into decoder.meshlets and checks that the meshlets
// tile the record's totals in stream order: each starts where the ones before it end, none is
// empty, the record's own per-meshlet offsets agree, and together they hold exactly the totals.
// So nothing a meshlet writes overlaps another or falls outside buffers sized from the totals.
void checkMeshletTiling(const CompressedMesh& mesh, MeshDecoder& decoder)
{
    const uint32_t m = mesh.meshletCount;
    if (spanLength(mesh.meshletTriangleOffsetsBegin, mesh.meshletTriangleOffsetsEnd, "meshletTriangleOffsets") != m ||
        spanLength(mesh.meshletValueOffsetsBegin, mesh.meshletValueOffsetsEnd, "meshletValueOffsets") != m)
        fail("the record's meshletTriangleOffsets or meshletValueOffsets do not hold one entry per meshlet");
    decoder.meshlets.resize(m);
    uint64_t triangles = 0, vertices = 0, indexWords = 0;
    for (uint32_t n = 0; n < m; ++n) {
        SymbolReader reader(decoder.global, decoder.global.meshletBitOffsets[n], kGlobalStreamNames);
        ReaderIo io{reader, n, 0};
        MeshletCounts counts;
        meshletCountSymbols(io, counts);
        const std::string which = "meshlet " + std::to_string(n);
        if (counts.triangleCount == 0 || counts.vertexCount == 0)
            fail(which + " has no triangles or no vertices");
        if (counts.triangleOffset != triangles || counts.vertexOffset != vertices || counts.indexWordOffset != indexWords)
            fail(which + " starts at triangle " + std::to_string(counts.triangleOffset) + ", vertex " + std::to_string(counts.vertexOffset) +
                 " and index word " + std::to_string(counts.indexWordOffset) + ", but the meshlets before it end at " +
                 std::to_string(triangles) + ", " + std::to_string(vertices) + " and " + std::to_string(indexWords));
        if (mesh.meshletTriangleOffsetsBegin[n] != triangles || mesh.meshletValueOffsetsBegin[n] != vertices * mesh.channelCount)
            fail("the record's triangle or value offset of " + which + " does not match its symbols");
        DecodedMeshletInfo& info = decoder.meshlets[n];
        info.groupId = counts.groupId;
        info.triangleOffset = counts.triangleOffset;
        info.triangleCount = counts.triangleCount;
        info.vertexOffset = counts.vertexOffset;
        info.vertexCount = counts.vertexCount;
        info.indexWordOffset = counts.indexWordOffset;
        info.indexWordCount = indexWordCount(counts.indexCount);
        triangles += counts.triangleCount;
        vertices += counts.vertexCount;
        indexWords += info.indexWordCount;
    }
    if (triangles != mesh.triangleCount || vertices != mesh.vertexCount || indexWords != mesh.indexWordCount ||
        uint64_t(mesh.valueCount) != vertices * mesh.channelCount)
        fail("the meshlets hold " + std::to_string(triangles) + " triangles, " + std::to_string(vertices) + " vertices and " +
             std::to_string(indexWords) + " index words, but the record's totals say " + std::to_string(mesh.triangleCount) + ", " +
             std::to_string(mesh.vertexCount) + " and " + std::to_string(mesh.indexWordCount) +
             (uint64_t(mesh.valueCount) != vertices * mesh.channelCount ? " with a valueCount that is not vertexCount * channelCount" : ""));
}

} // namespace

bool prepareDecoder(const CompressedMesh& mesh, int32_t predictionMode, MeshDecoder& decoder, std::string& error)
{
    try {
        if (predictionMode != PELKU_VMQ_PREDICTION_PARALLELOGRAM && predictionMode != PELKU_VMQ_PREDICTION_DELTA)
            fail("unknown prediction mode " + std::to_string(predictionMode));
        const uint32_t m = mesh.meshletCount;
        const uint32_t c = mesh.channelCount;
        decoder.mesh = &mesh;
        decoder.predictionMode = predictionMode;
        if (spanLength(mesh.meshletHeadersBegin, mesh.meshletHeadersEnd, "meshletHeaders") != size_t(kMeshletHeaderWords) * m)
            fail("the record's meshletHeaders do not hold 8 words per meshlet");
        if (spanLength(mesh.quantParamsBegin, mesh.quantParamsEnd, "quantParams") != c)
            fail("the record's quantParams do not hold one entry per channel");
        if (c < 3)
            fail("the record has " + std::to_string(c) + " channels; positions need 3");
        if (c > 0 && !mesh.channels)
            fail("the record's channels are missing");
        prepareCoder(decoder.global, mesh.streamWordsBegin, mesh.streamWordsEnd, mesh.tableBlobBegin, mesh.tableBlobEnd,
                     mesh.meshletBitOffsetsBegin, mesh.meshletBitOffsetsEnd, m, kGlobalStreamCount, kGlobalStreamNames, "the global coder");
        decoder.channels.assign(c, {});
        for (uint32_t k = 0; k < c; ++k) {
            const ChannelStreams& channel = mesh.channels[k];
            prepareCoder(decoder.channels[k], channel.streamWordsBegin, channel.streamWordsEnd, channel.tableBlobBegin,
                         channel.tableBlobEnd, channel.meshletBitOffsetsBegin, channel.meshletBitOffsetsEnd, m, kAttributeStreamCount,
                         kAttributeStreamNames, "channel " + std::to_string(k));
        }
        checkMeshletTiling(mesh, decoder);
        return true;
    } catch (const DecodeFailure& failure) {
        error = "Cannot decode: " + failure.message + ".";
    } catch (const std::bad_alloc&) {
        error = "Cannot decode: out of memory.";
    }
    return false;
}

bool decodeMeshlet(const MeshDecoder& decoder, uint32_t meshlet, uint32_t* trianglesOut, size_t triangleCapacity, uint32_t* gridOut,
                   float* valuesOut, size_t vertexCapacity, DecodedMeshletInfo& info, std::string& error)
{
    try {
        const CompressedMesh& mesh = *decoder.mesh;
        if (meshlet >= mesh.meshletCount)
            fail("meshlet " + std::to_string(meshlet) + " does not exist; the record has " + std::to_string(mesh.meshletCount));

        // Global symbols, in packing order.
        SymbolReader global(decoder.global, decoder.global.meshletBitOffsets[meshlet], kGlobalStreamNames);
        ReaderIo globalIo{global, meshlet, 0};
        MeshletCounts counts;
        meshletCountSymbols(globalIo, counts);
        const uint32_t isFirstCount = counts.isFirstCount;
        const uint32_t indexCount = counts.indexCount;
        const uint32_t triangleCount = counts.triangleCount;
        const uint32_t vertexCount = counts.vertexCount;
        info.triangleOffset = counts.triangleOffset;
        info.vertexOffset = counts.vertexOffset;
        info.indexWordOffset = counts.indexWordOffset;
        info.groupId = counts.groupId;
        info.triangleCount = triangleCount;
        info.vertexCount = vertexCount;
        info.indexWordCount = indexWordCount(indexCount);
        if (triangleCount == 0 || vertexCount == 0)
            fail("meshlet " + std::to_string(meshlet) + " has no triangles or no vertices");
        if (!trianglesOut && !gridOut && !valuesOut)
            return true; // counts and offsets only
        if (triangleCapacity < triangleCount && trianglesOut)
            fail("the triangle buffer holds " + std::to_string(triangleCapacity) + " triangles; meshlet " + std::to_string(meshlet) +
                 " has " + std::to_string(triangleCount));
        if (vertexCapacity < vertexCount && (gridOut || valuesOut))
            fail("the vertex buffer holds " + std::to_string(vertexCapacity) + " vertices; meshlet " + std::to_string(meshlet) +
                 " has " + std::to_string(vertexCount));

        uint32_t edgeBits[kMaxBitListWords] = {}, restartBits[kMaxBitListWords] = {}, isFirstBits[kMaxBitListWords] = {};
        uint32_t indexData[kMaxElements];
        MeshletLists<uint32_t> lists;
        lists.edgeBits = edgeBits;
        lists.edgeWords = kMaxBitListWords;
        lists.restartBits = restartBits;
        lists.restartWords = kMaxBitListWords;
        lists.isFirstBits = isFirstBits;
        lists.isFirstWords = kMaxBitListWords;
        lists.indexData = indexData;
        meshletListSymbols(globalIo, counts, lists);

        // Strips back to triangles in encoder vertex numbers. A restart triangle (the first one
        // always) is three references, any other one reference n: edge 1 gives (p2, p1, n),
        // edge 0 gives (p0, p2, n) from the previous triangle (p0, p1, p2). Normally the first
        // three references carry no first-use bit and number vertices 0, 1, 2, and every later
        // reference reads one bit: 1 numbers the next vertex, 0 takes the next index entry. When
        // the first triangle repeats a corner, every reference carries a bit; the two forms are
        // told apart by isFirstCount against the number of references R: R - 3 or R.
        uint32_t referenceCount = 0;
        for (uint32_t i = 0; i < triangleCount; ++i)
            referenceCount += (i == 0 || bitListBit(restartBits, i - 1)) ? 3 : 1;
        bool everyReferenceHasBit;
        if (isFirstCount == referenceCount)
            everyReferenceHasBit = true;
        else if (isFirstCount + 3 == referenceCount)
            everyReferenceHasBit = false;
        else
            fail("meshlet " + std::to_string(meshlet) + " has " + std::to_string(isFirstCount) + " first-use bits for " +
                 std::to_string(referenceCount) + " vertex references");
        uint32_t local[kMaxElements][3];
        uint32_t vertexFirstTriangle[kMaxElements];
        uint32_t numbered = 0, bitsRead = 0, indexRead = 0;
        auto reference = [&](uint32_t triangle) -> uint32_t {
            bool isNew = true;
            if (everyReferenceHasBit || numbered >= 3) {
                if (bitsRead >= isFirstCount)
                    fail("meshlet " + std::to_string(meshlet) + " references more vertices than its first-use bits cover");
                isNew = bitListBit(isFirstBits, bitsRead++);
            }
            if (isNew) {
                if (numbered >= vertexCount)
                    fail("meshlet " + std::to_string(meshlet) + " numbers more vertices than its vertex count");
                vertexFirstTriangle[numbered] = triangle;
                return numbered++;
            }
            if (indexRead >= indexCount)
                fail("meshlet " + std::to_string(meshlet) + " reuses more vertices than its index data holds");
            const uint32_t v = indexData[indexRead++];
            if (v >= numbered)
                fail("meshlet " + std::to_string(meshlet) + " reuses vertex " + std::to_string(v) + " before it is numbered");
            return v;
        };
        for (uint32_t i = 0; i < triangleCount; ++i) {
            const bool restart = i == 0 || bitListBit(restartBits, i - 1);
            if (restart) {
                const uint32_t c0 = reference(i);
                const uint32_t c1 = reference(i);
                const uint32_t c2 = reference(i);
                local[i][0] = c0, local[i][1] = c1, local[i][2] = c2;
                continue;
            }
            const uint32_t* p = local[i - 1];
            const uint32_t n = reference(i);
            if (bitListBit(edgeBits, i - 1))
                local[i][0] = p[2], local[i][1] = p[1], local[i][2] = n;
            else
                local[i][0] = p[0], local[i][1] = p[2], local[i][2] = n;
        }
        if (numbered != vertexCount || bitsRead != isFirstCount || indexRead != indexCount)
            fail("meshlet " + std::to_string(meshlet) + "'s counts do not match its strip symbols");

        if (trianglesOut)
            for (uint32_t i = 0; i < triangleCount; ++i)
                for (int k = 0; k < 3; ++k)
                    trianglesOut[size_t(i) * 3 + k] = info.vertexOffset + local[i][k];

        // The prediction of vertex k > 0 is value[a] + value[b] - value[c] for the same (a, b, c)
        // in every channel: (k - 1) three times for delta prediction, or the corners of the
        // triangle before the one that numbered k, across its shared edge.
        const bool deltaOnly = decoder.predictionMode == PELKU_VMQ_PREDICTION_DELTA;
        uint32_t predictorTriangle[kMaxElements][3];
        for (uint32_t k = 1; k < vertexCount; ++k) {
            const uint32_t a = vertexFirstTriangle[k];
            if (deltaOnly || a == 0 || bitListBit(restartBits, a - 1)) {
                predictorTriangle[k][0] = predictorTriangle[k][1] = predictorTriangle[k][2] = k - 1;
                continue;
            }
            const uint32_t* t = local[a - 1];
            if (t[0] >= k || t[1] >= k || t[2] >= k)
                fail("meshlet " + std::to_string(meshlet) + " predicts a vertex from one not yet decoded");
            const bool edge = bitListBit(edgeBits, a - 1);
            predictorTriangle[k][0] = edge ? t[1] : t[0];
            predictorTriangle[k][1] = t[2];
            predictorTriangle[k][2] = edge ? t[0] : t[1];
        }

        // Channel residuals back to grid values, then dequantised.
        const uint32_t channelCount = mesh.channelCount;
        const uint32_t wideMask = mesh.meshletHeadersBegin[size_t(meshlet) * kMeshletHeaderWords + HEADER_WIDE_CHANNEL_MASK];
        uint32_t value[kMaxElements]; // residuals, then in place the grid values
        for (uint32_t c = 0; c < channelCount; ++c) {
            const CoderDecodeTables& coder = decoder.channels[c];
            SymbolReader reader(coder, coder.meshletBitOffsets[meshlet], kAttributeStreamNames);
            ReaderIo io{reader, meshlet, c};
            channelSymbols(io, value, vertexCount, (wideMask & wideChannelBit(c)) != 0);
            // Predictions read only vertices before k, already turned into grid values.
            value[0] = uint32_t(unzigzag(value[0]));
            for (uint32_t k = 1; k < vertexCount; ++k) {
                const uint32_t* p = predictorTriangle[k];
                value[k] = uint32_t(unzigzag(value[k])) + (value[p[0]] + value[p[1]] - value[p[2]]);
            }
            const QuantParams& params = mesh.quantParamsBegin[c];
            const float scale = exp2f(-params.bits);
            const float range = params.max - params.min;
            for (uint32_t k = 0; k < vertexCount; ++k) {
                const size_t at = size_t(k) * channelCount + c;
                if (gridOut)
                    gridOut[at] = value[k];
                if (valuesOut)
                    valuesOut[at] = float(int32_t(value[k])) * scale * range + params.min;
            }
        }
        return true;
    } catch (const DecodeFailure& failure) {
        error = "Cannot decode: " + failure.message + ".";
    }
    return false;
}

namespace {

template <typename T>
T* newBlock(size_t count, const T*& begin, const T*& end)
{
    T* block = new T[count]();
    begin = block;
    end = block + count;
    return block;
}

} // namespace

void releaseDecodedMesh(DecodedMesh* decoded)
{
    if (!decoded)
        return;
    delete[] decoded->trianglesBegin;
    delete[] decoded->gridValuesBegin;
    delete[] decoded->valuesBegin;
    delete[] decoded->meshletsBegin;
    delete decoded;
}

DecodedMesh* decodeMesh(const CompressedMesh& mesh, int32_t predictionMode, std::string& error)
{
    DecodedMesh* decoded = nullptr;
    error.clear();
    try {
        MeshDecoder decoder;
        if (!prepareDecoder(mesh, predictionMode, decoder, error))
            return nullptr;
        const uint64_t valueCount = uint64_t(mesh.vertexCount) * mesh.channelCount;
        decoded = new DecodedMesh();
        decoded->meshletCount = mesh.meshletCount;
        decoded->triangleCount = mesh.triangleCount;
        decoded->vertexCount = mesh.vertexCount;
        decoded->channelCount = mesh.channelCount;
        uint32_t* triangles = newBlock<uint32_t>(size_t(mesh.triangleCount) * 3, decoded->trianglesBegin, decoded->trianglesEnd);
        uint32_t* grid = newBlock<uint32_t>(size_t(valueCount), decoded->gridValuesBegin, decoded->gridValuesEnd);
        float* values = newBlock<float>(size_t(valueCount), decoded->valuesBegin, decoded->valuesEnd);
        DecodedMeshletInfo* meshlets = newBlock<DecodedMeshletInfo>(mesh.meshletCount, decoded->meshletsBegin, decoded->meshletsEnd);

        // The prepared decoder has checked that the meshlets tile the totals.
        for (uint32_t m = 0; m < mesh.meshletCount; ++m) {
            const DecodedMeshletInfo& placed = decoder.meshlets[m];
            const size_t valueAt = size_t(placed.vertexOffset) * mesh.channelCount;
            DecodedMeshletInfo info{};
            if (!decodeMeshlet(decoder, m, triangles + size_t(placed.triangleOffset) * 3, placed.triangleCount, grid + valueAt,
                               values + valueAt, placed.vertexCount, info, error))
                break;
            meshlets[m] = info;
        }
        if (!error.empty()) {
            releaseDecodedMesh(decoded);
            return nullptr;
        }
        return decoded;
    } catch (...) {
        releaseDecodedMesh(decoded);
        error = "Cannot decode: out of memory.";
        return nullptr;
    }
}

} // namespace vmq
