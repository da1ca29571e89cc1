#include "decode/decoder.h"

#include "format/decode_table.h"
#include "format/meshlet_symbols.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace vmq {

namespace {

static_assert(kMaxMeshletElements == PELKU_VMQ_MAX_MESHLET_ELEMENTS);

struct DecodeFailure {
    std::string message;
};

[[noreturn]] void fail(std::string message)
{
    throw DecodeFailure{std::move(message)};
}

template <typename T>
size_t spanLength(const T* begin, const T* end, const std::string& name)
{
    if (!begin || !end || end < begin)
        fail("the record's " + name + " span is invalid");
    return size_t(end - begin);
}

std::string failureText(uint32_t meshlet, uint32_t channel, DecodeStatus status)
{
    const std::string which = "meshlet " + std::to_string(meshlet);
    const std::string inChannel = which + " channel " + std::to_string(channel);
    switch (status) {
    case DECODED: return which + " decoded";
    case SYMBOL_FROM_EMPTY_STREAM: return which + " reads a symbol from a stream that has no code";
    case SYMBOLS_PAST_STREAM_END: return which + "'s symbols run past the end of their stream";
    case OFFSET_PAST_STREAM_END: return inChannel + " starts past the end of its stream";
    case FIRST_USE_BITS_UNMATCHED: return which + "'s first-use bit count matches neither form of its vertex references";
    case REFERENCES_PAST_FIRST_USE: return which + " references more vertices than its first-use bits cover";
    case VERTICES_PAST_COUNT: return which + " numbers more vertices than its vertex count";
    case REUSES_PAST_INDEX_DATA: return which + " reuses more vertices than its index data holds";
    case REUSE_BEFORE_NUMBERED: return which + " reuses a vertex before it is numbered";
    case COUNTS_UNMATCHED: return which + "'s counts do not match its strip symbols";
    case PAIR_PAST_LAST_VERTEX: return inChannel + " pairs residuals past its last vertex";
    }
    return which + " fails";
}

// One coder's spans, checked, and its decode tables, checked to be sound.
struct CoderTables {
    Bitstream stream;
    const uint32_t* meshletBitOffsets = nullptr;
    StreamTable tables[kGlobalStreamCount];
};

CoderTables checkCoder(const uint32_t* wordsBegin, const uint32_t* wordsEnd, const uint32_t* blobBegin, const uint32_t* blobEnd,
                       const uint32_t* offsetsBegin, const uint32_t* offsetsEnd, uint32_t meshletCount, uint32_t streamCount,
                       const char* const* names, const std::string& coderName)
{
    CoderTables coder;
    coder.stream.words = wordsBegin;
    coder.stream.wordCount = spanLength(wordsBegin, wordsEnd, coderName + " streamWords");
    const size_t blobLength = spanLength(blobBegin, blobEnd, coderName + " tableBlob");
    const size_t offsetCount = spanLength(offsetsBegin, offsetsEnd, coderName + " meshletBitOffsets");
    if (offsetCount != meshletCount)
        fail(coderName + " has " + std::to_string(offsetCount) + " meshlet bit offsets for " + std::to_string(meshletCount) + " meshlets");
    if (blobLength < streamCount || blobBegin[0] != streamCount)
        fail(coderName + " table blob does not start with its " + std::to_string(streamCount) + " header words");
    coder.meshletBitOffsets = offsetsBegin;
    for (uint32_t s = 0; s < streamCount; ++s) {
        if (!findStreamTable(blobBegin, blobLength, streamCount, s, coder.tables[s]))
            fail(coderName + " table blob header word " + std::to_string(s) + " points outside the blob");
        if (!isSoundDecodeTable(coder.tables[s]))
            fail(coderName + " decode table of stream " + names[s] + " is not a tree over the 2048 symbols");
    }
    return coder;
}

// Builds the lookups of some streams back to back into one block and points the streams at it.
struct LookupPlan {
    struct Planned {
        StreamTable table;
        uint64_t symbols;
        StreamLookup* lookup;
    };
    std::vector<Planned> streams;

    // `symbols`: about how many symbols will be read from the stream.
    void add(const StreamTable& table, uint64_t symbols, StreamLookup& lookup) { streams.push_back({table, symbols, &lookup}); }
    // Room for the largest lookups; only the entries written are touched.
    void build(std::unique_ptr<uint32_t[]>& storage, size_t& used)
    {
        storage.reset(new uint32_t[streams.size() << kMaxLookupBits]);
        used = 0;
        for (const Planned& stream : streams) {
            stream.lookup->tree = stream.table.entries;
            stream.lookup->treeSize = stream.table.entryCount;
            stream.lookup->lookup = storage.get() + used;
            stream.lookup->bits = buildSymbolLookup(stream.table, stream.symbols, storage.get() + used);
            used += size_t(1) << stream.lookup->bits;
        }
    }
};

// How many symbols a decode of every meshlet reads from each stream after the meshlets' heads.
struct StreamSymbols {
    uint64_t flagBytes = 0; // of EDGE_FLAGS, and of RESTART_FLAGS
    uint64_t isFirstBytes = 0;
    uint64_t indexEntries = 0;
    uint64_t residuals = 0; // of each channel, about one per vertex
};

// Reads every meshlet's counts and offsets into decoder.meshlets and checks that the meshlets
// tile the record's totals in stream order: each starts where the ones before it end, none is
// empty, the record's own per-meshlet offsets agree, and together they hold exactly the totals.
// So nothing a meshlet writes overlaps another or falls outside buffers sized from the totals.
StreamSymbols checkMeshletTiling(const CompressedMesh& mesh, const CoderTables& global, MeshDecoder& decoder)
{
    const uint32_t m = mesh.meshletCount;
    if (spanLength(mesh.meshletTriangleOffsetsBegin, mesh.meshletTriangleOffsetsEnd, "meshletTriangleOffsets") != m ||
        spanLength(mesh.meshletValueOffsetsBegin, mesh.meshletValueOffsetsEnd, "meshletValueOffsets") != m)
        fail("the record's meshletTriangleOffsets or meshletValueOffsets do not hold one entry per meshlet");
    decoder.meshlets.resize(m);
    MeshletCounts& largest = decoder.largest;
    uint64_t triangles = 0, vertices = 0, indexWords = 0;
    StreamSymbols symbols;
    for (uint32_t n = 0; n < m; ++n) {
        const std::string which = "meshlet " + std::to_string(n);
        const uint64_t start = global.meshletBitOffsets[n];
        if (start > uint64_t(global.stream.wordCount) * 32)
            fail("a meshlet's bit offset " + std::to_string(start) + " lies past the end of its stream (" +
                 std::to_string(uint64_t(global.stream.wordCount) * 32) + " bits)");
        LookupIo io(decoder.view.globalStreams, global.stream.words, global.stream.wordCount, start);
        MeshletCounts counts;
        meshletCountSymbols(io, counts);
        if (io.status() != DECODED)
            fail(failureText(n, 0, io.status()));
        if (counts.triangleCount == 0 || counts.vertexCount == 0)
            fail(which + " has no triangles or no vertices");
        if (counts.triangleOffset != triangles || counts.vertexOffset != vertices || counts.indexWordOffset != indexWords)
            fail(which + " starts at triangle " + std::to_string(counts.triangleOffset) + ", vertex " + std::to_string(counts.vertexOffset) +
                 " and index word " + std::to_string(counts.indexWordOffset) + ", but the meshlets before it end at " +
                 std::to_string(triangles) + ", " + std::to_string(vertices) + " and " + std::to_string(indexWords));
        if (mesh.meshletTriangleOffsetsBegin[n] != triangles || mesh.meshletValueOffsetsBegin[n] != vertices * mesh.channelCount)
            fail("the record's triangle or value offset of " + which + " does not match its symbols");
        decoder.meshlets[n] = {counts, io.reader.bits.position(global.stream.words)};
        largest.isFirstCount = std::max(largest.isFirstCount, counts.isFirstCount);
        largest.indexCount = std::max(largest.indexCount, counts.indexCount);
        largest.triangleCount = std::max(largest.triangleCount, counts.triangleCount);
        largest.vertexCount = std::max(largest.vertexCount, counts.vertexCount);
        triangles += counts.triangleCount;
        vertices += counts.vertexCount;
        indexWords += indexWordCount(counts.indexCount);
        symbols.flagBytes += flagByteCount(counts.triangleCount);
        symbols.isFirstBytes += isFirstByteCount(counts.isFirstCount);
        symbols.indexEntries += counts.indexCount;
    }
    symbols.residuals = vertices;
    decoder.triangleCount = uint32_t(triangles);
    decoder.vertexCount = uint32_t(vertices);
    if (triangles != mesh.triangleCount || vertices != mesh.vertexCount || indexWords != mesh.indexWordCount ||
        uint64_t(mesh.valueCount) != vertices * mesh.channelCount)
        fail("the meshlets hold " + std::to_string(triangles) + " triangles, " + std::to_string(vertices) + " vertices and " +
             std::to_string(indexWords) + " index words, but the record's totals say " + std::to_string(mesh.triangleCount) + ", " +
             std::to_string(mesh.vertexCount) + " and " + std::to_string(mesh.indexWordCount) +
             (uint64_t(mesh.valueCount) != vertices * mesh.channelCount ? " with a valueCount that is not vertexCount * channelCount" : ""));
    return symbols;
}

// A topology scratch with room for any meshlet.
struct FullTopologyScratch {
    static constexpr uint32_t kWords = TopologyScratchSize(largestMeshlet()).words;
    uint32_t words[kWords];
    TopologyScratch scratch;

    FullTopologyScratch() : scratch(TopologyScratchSize(largestMeshlet()).lists(words)) {}
    const TopologyScratch& lists() const { return scratch; }
    const Predictor* predictors() const { return scratch.predictors; }
};


} // namespace

std::string decodeFailureMessage(uint32_t meshlet, uint32_t channel, DecodeStatus status)
{
    return "Cannot decode: " + failureText(meshlet, channel, status) + ".";
}

DecodedMeshletInfo meshletInfo(const PreparedMeshlet& meshlet)
{
    const MeshletCounts& c = meshlet.counts;
    return {c.groupId, c.triangleOffset, c.triangleCount, c.vertexOffset, c.vertexCount, c.indexWordOffset, indexWordCount(c.indexCount)};
}

bool prepareDecoder(const CompressedMesh& mesh, int32_t predictionMode, MeshDecoder& decoder, std::string& error)
{
    try {
        if (predictionMode != PELKU_VMQ_PREDICTION_PARALLELOGRAM && predictionMode != PELKU_VMQ_PREDICTION_DELTA)
            fail("unknown prediction mode " + std::to_string(predictionMode));
        const uint32_t m = mesh.meshletCount;
        const uint32_t c = mesh.channelCount;
        decoder.mesh = &mesh;
        if (spanLength(mesh.meshletHeadersBegin, mesh.meshletHeadersEnd, "meshletHeaders") != size_t(kMeshletHeaderWords) * m)
            fail("the record's meshletHeaders do not hold 8 words per meshlet");
        if (spanLength(mesh.quantParamsBegin, mesh.quantParamsEnd, "quantParams") != c)
            fail("the record's quantParams do not hold one entry per channel");
        if (c < 3)
            fail("the record has " + std::to_string(c) + " channels; positions need 3");
        if (!mesh.channels)
            fail("the record's channels are missing");

        MeshView& view = decoder.view;
        const CoderTables global = checkCoder(mesh.streamWordsBegin, mesh.streamWordsEnd, mesh.tableBlobBegin, mesh.tableBlobEnd,
                                              mesh.meshletBitOffsetsBegin, mesh.meshletBitOffsetsEnd, m, kGlobalStreamCount,
                                              kGlobalStreamNames, "the global coder");
        view.global = global.stream;
        std::vector<CoderTables> channels(c);
        for (uint32_t k = 0; k < c; ++k) {
            const ChannelStreams& channel = mesh.channels[k];
            channels[k] = checkCoder(channel.streamWordsBegin, channel.streamWordsEnd, channel.tableBlobBegin, channel.tableBlobEnd,
                                     channel.meshletBitOffsetsBegin, channel.meshletBitOffsetsEnd, m, kAttributeStreamCount,
                                     kAttributeStreamNames, "channel " + std::to_string(k));
        }

        // The heads first: their lookups serve only to read the counts, once.
        LookupPlan heads;
        heads.add(global.tables[ELEM_COUNTS], uint64_t(4) * m, view.globalStreams[ELEM_COUNTS]);
        heads.add(global.tables[OTHER_DATA], uint64_t(10) * m, view.globalStreams[OTHER_DATA]);
        heads.build(decoder.headLookups, decoder.headLookupEntries);
        const StreamSymbols symbols = checkMeshletTiling(mesh, global, decoder);
        view.meshlets = decoder.meshlets.data();

        LookupPlan rest;
        rest.add(global.tables[EDGE_FLAGS], symbols.flagBytes, view.globalStreams[EDGE_FLAGS]);
        rest.add(global.tables[RESTART_FLAGS], symbols.flagBytes, view.globalStreams[RESTART_FLAGS]);
        rest.add(global.tables[IS_FIRST], symbols.isFirstBytes, view.globalStreams[IS_FIRST]);
        rest.add(global.tables[INDEX_DATA], symbols.indexEntries, view.globalStreams[INDEX_DATA]);
        rest.add(global.tables[BLOCK_OFFSET_SYMBOL], 0, view.globalStreams[BLOCK_OFFSET_SYMBOL]);
        decoder.channels.assign(c, {});
        for (uint32_t k = 0; k < c; ++k) {
            decoder.channels[k].stream = channels[k].stream;
            decoder.channels[k].meshletBitOffsets = channels[k].meshletBitOffsets;
            rest.add(channels[k].tables[ATTRIB_DATA], symbols.residuals, decoder.channels[k].residuals);
        }
        rest.build(decoder.lookups, decoder.lookupEntries);

        decoder.dequantisation.resize(size_t(3) * c);
        for (uint32_t k = 0; k < c; ++k) {
            const QuantParams& params = mesh.quantParamsBegin[k];
            decoder.dequantisation[k] = exp2f(-params.bits);
            decoder.dequantisation[c + k] = params.max - params.min;
            decoder.dequantisation[2 * c + k] = params.min;
        }
        view.headers = mesh.meshletHeadersBegin;
        view.channels = decoder.channels.data();
        view.scales = decoder.dequantisation.data();
        view.ranges = view.scales + c;
        view.mins = view.ranges + c;
        view.meshletCount = m;
        view.channelCount = c;
        view.deltaOnly = predictionMode == PELKU_VMQ_PREDICTION_DELTA;
        return true;
    } catch (const DecodeFailure& failure) {
        error = "Cannot decode: " + failure.message + ".";
    } catch (const std::bad_alloc&) {
        error = "Cannot decode: out of memory.";
    }
    return false;
}

namespace {

// Meshlet m into buffers laid out as the whole mesh's: its triangles from `triangles`, its
// vertices' values from `grid` and `values`, channelCount per vertex.
DecodeStatus decodeInto(const MeshView& view, uint32_t m, FullTopologyScratch& scratch, uint32_t* triangles, uint32_t* grid, float* values,
                        uint32_t& failedChannel)
{
    if (const DecodeStatus status = decodeMeshletTopology(view, m, scratch.lists(), triangles); status != DECODED)
        return status;
    const uint32_t c = view.channelCount;
    if (const DecodeStatus status = decodeMeshletResiduals(view, m, 0, c, grid, c, failedChannel); status != DECODED)
        return status;
    finishMeshletChannels(view, m, scratch.predictors(), 0, c, grid, c, values, c);
    return DECODED;
}

// Channels at a time when the caller wants values but no grid values: the grid values of a few
// channels are kept here.
constexpr uint32_t kChannelGroup = 4;

} // namespace

bool decodeMeshlet(const MeshDecoder& decoder, uint32_t meshlet, uint32_t* trianglesOut, size_t triangleCapacity, uint32_t* gridOut,
                   float* valuesOut, size_t vertexCapacity, DecodedMeshletInfo& info, std::string& error)
{
    const MeshView& view = decoder.view;
    if (meshlet >= view.meshletCount) {
        error = "Cannot decode: meshlet " + std::to_string(meshlet) + " does not exist; the record has " + std::to_string(view.meshletCount) + ".";
        return false;
    }
    const MeshletCounts& counts = view.meshlets[meshlet].counts;
    info = meshletInfo(view.meshlets[meshlet]);
    if (!trianglesOut && !gridOut && !valuesOut)
        return true; // counts and offsets only
    if (trianglesOut && triangleCapacity < counts.triangleCount) {
        error = "Cannot decode: the triangle buffer holds " + std::to_string(triangleCapacity) + " triangles; meshlet " +
                std::to_string(meshlet) + " has " + std::to_string(counts.triangleCount) + ".";
        return false;
    }
    if ((gridOut || valuesOut) && vertexCapacity < counts.vertexCount) {
        error = "Cannot decode: the vertex buffer holds " + std::to_string(vertexCapacity) + " vertices; meshlet " + std::to_string(meshlet) +
                " has " + std::to_string(counts.vertexCount) + ".";
        return false;
    }
    FullTopologyScratch scratch;
    uint32_t failedChannel = 0;
    DecodeStatus status = DECODED;
    if (gridOut) {
        status = decodeInto(view, meshlet, scratch, trianglesOut, gridOut, valuesOut, failedChannel);
    } else {
        status = decodeMeshletTopology(view, meshlet, scratch.lists(), trianglesOut);
        const uint32_t c = view.channelCount;
        uint32_t grid[kMaxMeshletElements * kChannelGroup];
        for (uint32_t first = 0; valuesOut && first < c && status == DECODED; first += kChannelGroup) {
            const uint32_t channels = std::min(kChannelGroup, c - first);
            status = decodeMeshletResiduals(view, meshlet, first, channels, grid, channels, failedChannel);
            if (status == DECODED)
                finishMeshletChannels(view, meshlet, scratch.predictors(), first, channels, grid, channels, valuesOut + first, c);
        }
    }
    if (status != DECODED) {
        error = decodeFailureMessage(meshlet, failedChannel, status);
        return false;
    }
    return true;
}

namespace {

template <typename T>
T* newBlock(size_t count, const T*& begin, const T*& end)
{
    T* block = new T[count]; // every entry is written before the record is handed out
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

DecodedMesh* newDecodedMesh(const MeshDecoder& decoder, DecodedBuffers& buffers)
{
    const MeshView& view = decoder.view;
    const size_t valueCount = size_t(decoder.vertexCount) * view.channelCount;
    DecodedMesh* decoded = new DecodedMesh();
    try {
        decoded->meshletCount = view.meshletCount;
        decoded->triangleCount = decoder.triangleCount;
        decoded->vertexCount = decoder.vertexCount;
        decoded->channelCount = view.channelCount;
        buffers.triangles = newBlock<uint32_t>(size_t(decoder.triangleCount) * 3, decoded->trianglesBegin, decoded->trianglesEnd);
        buffers.grid = newBlock<uint32_t>(valueCount, decoded->gridValuesBegin, decoded->gridValuesEnd);
        buffers.values = newBlock<float>(valueCount, decoded->valuesBegin, decoded->valuesEnd);
        DecodedMeshletInfo* meshlets = newBlock<DecodedMeshletInfo>(view.meshletCount, decoded->meshletsBegin, decoded->meshletsEnd);
        for (uint32_t m = 0; m < view.meshletCount; ++m)
            meshlets[m] = meshletInfo(view.meshlets[m]);
    } catch (...) {
        releaseDecodedMesh(decoded);
        throw;
    }
    return decoded;
}

DecodedMesh* decodeMesh(const CompressedMesh& mesh, int32_t predictionMode, uint32_t threadCount, std::string& error)
{
    DecodedMesh* decoded = nullptr;
    error.clear();
    try {
        MeshDecoder decoder;
        if (!prepareDecoder(mesh, predictionMode, decoder, error))
            return nullptr;
        const MeshView& view = decoder.view;
        const size_t c = mesh.channelCount;
        DecodedBuffers buffers;
        decoded = newDecodedMesh(decoder, buffers);

        // The prepared decoder has checked that the meshlets tile the totals, so every meshlet
        // writes its own part of the buffers. Workers take runs of meshlets in turn; the first
        // failure stops them all.
        constexpr uint32_t kRun = 32;
        std::atomic<uint32_t> nextRun{0};
        std::atomic<uint32_t> failedMeshlet{UINT32_MAX};
        uint32_t failedChannel = 0; // written by the worker that records the failure
        DecodeStatus failedStatus = DECODED;
        auto work = [&] {
            auto scratch = std::make_unique<FullTopologyScratch>();
            for (;;) {
                const uint32_t begin = nextRun.fetch_add(kRun);
                if (begin >= mesh.meshletCount || failedMeshlet.load(std::memory_order_relaxed) != UINT32_MAX)
                    return;
                const uint32_t end = std::min(mesh.meshletCount, begin + kRun);
                for (uint32_t m = begin; m < end; ++m) {
                    const MeshletCounts& counts = view.meshlets[m].counts;
                    const size_t valueAt = size_t(counts.vertexOffset) * c;
                    uint32_t channel = 0;
                    const DecodeStatus status = decodeInto(view, m, *scratch, buffers.triangles + size_t(counts.triangleOffset) * 3,
                                                           buffers.grid + valueAt, buffers.values + valueAt, channel);
                    if (status == DECODED)
                        continue;
                    uint32_t expected = UINT32_MAX;
                    if (failedMeshlet.compare_exchange_strong(expected, m)) {
                        failedChannel = channel;
                        failedStatus = status;
                    }
                    return;
                }
            }
        };
        if (threadCount == 0)
            threadCount = std::max(1u, std::thread::hardware_concurrency());
        threadCount = std::min(threadCount, (mesh.meshletCount + kRun - 1) / kRun);
        std::vector<std::thread> workers;
        try {
            for (uint32_t t = 1; t < threadCount; ++t)
                workers.emplace_back(work);
        } catch (const std::system_error&) {
            // Fewer threads: the caller's thread takes the rest.
        }
        work();
        for (std::thread& worker : workers)
            worker.join();
        if (failedMeshlet != UINT32_MAX) {
            error = decodeFailureMessage(failedMeshlet, failedChannel, failedStatus);
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
