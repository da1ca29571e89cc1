#pragma once
// Decoding one meshlet on its own, written once for the host and for a device: plain records of
// pointers, fixed-size values, no allocation and no exceptions. The symbols are read through the
// format's symbol order (format/meshlet_symbols.h); here they are turned back into triangles and
// vertex values. A decoder prepared on the host (decode/decoder.h) has checked the record's
// spans, tables and per-meshlet counts, so nothing here can read outside the record; what the
// bitstreams themselves may still get wrong comes back as a DecodeStatus.
//
// The work splits into parts that a device runs on separate threads: the topology (one reader
// of the global stream), each channel's residuals (one reader per channel stream), and then,
// once the topology is known, the prediction and dequantisation of each channel.
#include "decode/symbol_reader.h"
#include "format/format.h"
#include "format/meshlet_symbols.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vmq {

enum DecodeStatus : uint32_t {
    DECODED = 0,
    SYMBOL_FROM_EMPTY_STREAM,  // a symbol read from a stream that holds none
    SYMBOLS_PAST_STREAM_END,   // the meshlet's symbols run past the end of their stream
    OFFSET_PAST_STREAM_END,    // a channel's bit offset lies past the end of its stream
    FIRST_USE_BITS_UNMATCHED,  // isFirstCount fits neither form of the strip references
    REFERENCES_PAST_FIRST_USE, // more references than first-use bits
    VERTICES_PAST_COUNT,       // more vertices numbered than the vertex count
    REUSES_PAST_INDEX_DATA,    // more reused vertices than index entries
    REUSE_BEFORE_NUMBERED,     // an index entry names a vertex not yet numbered
    COUNTS_UNMATCHED,          // the strips use fewer vertices, bits or entries than counted
    PAIR_PAST_LAST_VERTEX,     // a pair symbol at the last vertex
};

// One coder's bitstream.
struct Bitstream {
    const uint32_t* words = nullptr;
    size_t wordCount = 0;
};

// A meshlet's counts and offsets, read once when the decoder is prepared, and where in the
// global stream its remaining symbols (the flag bytes) begin.
struct PreparedMeshlet {
    MeshletCounts counts;
    uint64_t listBitOffset = 0;
};

struct ChannelStream {
    Bitstream stream;
    const uint32_t* meshletBitOffsets = nullptr; // one per meshlet
    StreamLookup residuals;                       // ATTRIB_DATA
};

// Everything a meshlet decode reads: the record's bitstreams and headers, the prepared lookups
// and meshlets, and each channel's dequantisation (scale 2^-bits, range max - min, and min).
struct MeshView {
    Bitstream global;
    StreamLookup globalStreams[kGlobalStreamCount];
    const PreparedMeshlet* meshlets = nullptr;
    const uint32_t* headers = nullptr; // kMeshletHeaderWords per meshlet
    const ChannelStream* channels = nullptr;
    const float* scales = nullptr;
    const float* ranges = nullptr;
    const float* mins = nullptr;
    uint32_t meshletCount = 0;
    uint32_t channelCount = 0;
    bool deltaOnly = false; // delta prediction: the record does not say which one it used
};

// Vertex k's prediction is value[a] + value[b] - value[c]: the corners of the triangle before the
// one that numbered k, across their shared edge, or k - 1 three times for delta prediction.
struct Predictor {
    uint16_t a, b, c;
    uint16_t unused = 0; // eight bytes: one store
};

// Where a topology decode keeps its lists: the meshlet's flag bytes (bitListWords each), its
// index entries and a predictor per vertex, each list with one word or entry to spare for the
// strip walk.
struct TopologyScratch {
    uint32_t* edgeBits = nullptr;
    uint32_t* restartBits = nullptr;
    uint32_t* isFirstBits = nullptr;
    uint32_t bitListWords = 0;
    uint32_t* indexData = nullptr;
    Predictor* predictors = nullptr;
};

// The room a topology scratch needs for meshlets no larger than `largest`, in 32-bit words.
struct TopologyScratchSize {
    uint32_t bitListWords = 0; // each of the three bit lists
    uint32_t indexEntries = 0;
    uint32_t predictors = 0;
    uint32_t words = 0; // all of it

    // Each bit list as many words as a topology decode zeroes ((bytes + 3) / 4 + 1 at most), and
    // one index entry and one predictor past the counts.
    VMQ_HOST_DEVICE constexpr explicit TopologyScratchSize(const MeshletCounts& largest)
        : bitListWords(byteWords(flagByteCount(largest.triangleCount), isFirstByteCount(largest.isFirstCount))),
          indexEntries(largest.indexCount + 1), predictors(largest.vertexCount + 1),
          words(3 * bitListWords + indexEntries + (predictors * uint32_t(sizeof(Predictor)) + 3) / 4)
    {
    }
    VMQ_HOST_DEVICE static constexpr uint32_t byteWords(uint32_t flagBytes, uint32_t isFirstBytes)
    {
        return (flagBytes > isFirstBytes ? flagBytes : isFirstBytes) / 4 + 2;
    }
    // The lists, laid out in `storage`, which has room for `words` words.
    VMQ_HOST_DEVICE TopologyScratch lists(uint32_t* storage) const
    {
        TopologyScratch scratch;
        scratch.edgeBits = storage;
        scratch.restartBits = storage + bitListWords;
        scratch.isFirstBits = storage + 2 * bitListWords;
        scratch.bitListWords = bitListWords;
        scratch.indexData = storage + 3 * bitListWords;
        scratch.predictors = reinterpret_cast<Predictor*>(scratch.indexData + indexEntries);
        return scratch;
    }
};

// Counts that fit any meshlet.
VMQ_HOST_DEVICE constexpr MeshletCounts largestMeshlet()
{
    MeshletCounts counts;
    counts.isFirstCount = counts.indexCount = counts.triangleCount = counts.vertexCount = kMaxMeshletElements;
    return counts;
}

// One lookup of a narrow channel's residuals at vertex v, while four vertices remain: up to two
// codes and four residuals. Writes past the vertices the step covers are overwritten by the next
// step. False, reading nothing, at a code longer than the lookup.
template <typename Residuals>
VMQ_HOST_DEVICE VMQ_INLINE bool narrowStep(BitReader& bits, const uint32_t* lookup, uint32_t lookupBits, Residuals residuals, uint32_t& v)
{
    bits.refill();
    const uint32_t entry = lookup[bits.peek(lookupBits)];
    if (!(entry & kLookupCodes))
        return false;
    const uint32_t first = (entry >> 10) & kSymbolMask, second = entry >> 21;
    const uint32_t firstPair = isPairSymbol(first), secondPair = isPairSymbol(second);
    residuals[v] = firstPair ? pairFirst(first) : singleResidual(first);
    residuals[v + 1] = pairSecond(first);
    v += 1 + firstPair;
    residuals[v] = secondPair ? pairFirst(second) : singleResidual(second);
    residuals[v + 1] = pairSecond(second);
    v += ((entry & kLookupSecondCode) ? 1 : 0) * (1 + secondPair);
    bits.consume((entry >> 5) & 15);
    return true;
}

// The format's symbol walk over one coder, reading from its lookups.
struct LookupIo {
    static constexpr bool kReading = true;
    SymbolReader reader;
    const StreamLookup* streams;
    bool pairPastLastVertex = false;

    VMQ_HOST_DEVICE LookupIo(const StreamLookup* streams, const uint32_t* words, size_t wordCount, uint64_t position) : streams(streams)
    {
        reader.bits.start(words, wordCount, position);
    }
    VMQ_HOST_DEVICE void marker(uint32_t) {}
    VMQ_HOST_DEVICE bool symbol(uint32_t stream, uint32_t& value)
    {
        value = reader.read(streams[stream]);
        return true;
    }
    VMQ_HOST_DEVICE bool valueTooWide(uint32_t, uint32_t) { return true; }
    VMQ_HOST_DEVICE bool malformed(const char*)
    {
        pairPastLastVertex = true;
        return false;
    }
    // A narrow channel's residuals from vertex v on, a lookup at a time, while four vertices
    // remain; a longer code stops it.
    template <typename Residuals>
    VMQ_HOST_DEVICE VMQ_INLINE uint32_t narrowRun(Residuals residuals, uint32_t v, uint32_t vertexCount)
    {
        const StreamLookup& stream = streams[ATTRIB_DATA];
        reader.keptFrom = nullptr;
        BitReader bits = reader.bits; // held in registers through the loop
        while (v + 4 <= vertexCount && narrowStep(bits, stream.lookup, stream.bits, residuals, v)) {
        }
        reader.bits = bits;
        return v;
    }
    VMQ_HOST_DEVICE DecodeStatus status() const
    {
        if (pairPastLastVertex)
            return PAIR_PAST_LAST_VERTEX;
        if (reader.readEmptyStream)
            return SYMBOL_FROM_EMPTY_STREAM;
        return reader.bits.overran() ? SYMBOLS_PAST_STREAM_END : DECODED;
    }
};

VMQ_HOST_DEVICE inline uint32_t setBitCount(uint32_t word)
{
    word = word - ((word >> 1) & 0x55555555u);
    word = (word & 0x33333333u) + ((word >> 2) & 0x33333333u);
    return (((word + (word >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24;
}

template <bool value_>
struct BoolConstant {
    static constexpr bool value = value_;
};

// ifTrue or ifFalse by a conditional move rather than a jump, for choices that follow the data.
VMQ_HOST_DEVICE VMQ_INLINE uint32_t pick(uint32_t condition, uint32_t ifTrue, uint32_t ifFalse)
{
    return VMQ_UNPREDICTABLE(condition) ? ifTrue : ifFalse;
}

// Turns the strip symbols back into triangles: a restart triangle (the first one always) is three
// references, any other one reference n hung on the previous triangle (p0, p1, p2) as (p2, p1, n)
// with edge bit 1, (p0, p2, n) with edge bit 0. Normally the first three references carry no
// first-use bit and number vertices 0, 1, 2, and every later one reads a bit: 1 numbers the next
// vertex, 0 takes the next index entry. When the first triangle repeats a corner, every reference
// carries a bit; isFirstCount against the number of references R (R - 3 or R) tells which.
//
// The counts run on unchecked through a malformed meshlet and are compared with the meshlet's
// counts at the end; the list positions they index are held to the lists, each of which has one
// zeroed entry to spare.
struct StripWalk {
    const uint32_t* isFirstBits;
    const uint32_t* indexData;
    Predictor* predictors;
    uint32_t isFirstCount, indexCount, vertexCount;
    bool everyReferenceHasBit;
    uint32_t numbered = 0, bitsRead = 0, indexRead = 0;
    uint32_t reusedAhead = 0; // an index entry named a vertex not yet numbered

    // A reference; a new vertex gets the predictor (a, b, c), or k - 1 three times when it is
    // not `across` an edge. New and reused vertices alternate unpredictably, so both are worked
    // out and the bit picks one.
    template <bool across>
    VMQ_HOST_DEVICE VMQ_INLINE uint32_t reference(uint32_t a, uint32_t b, uint32_t c)
    {
        const uint32_t hasBit = uint32_t(everyReferenceHasBit) | uint32_t(numbered >= 3);
        const uint32_t bit = bitListBit(isFirstBits, bitsRead < isFirstCount ? bitsRead : isFirstCount);
        const uint32_t isNew = bit | (hasBit ^ 1);
        bitsRead += hasBit;
        const uint32_t reused = indexData[indexRead < indexCount ? indexRead : indexCount];
        if (!across)
            a = b = c = numbered > 0 ? numbered - 1 : 0;
        predictors[numbered < vertexCount ? numbered : vertexCount] = Predictor{uint16_t(a), uint16_t(b), uint16_t(c), 0}; // kept if new
        reusedAhead |= (isNew ^ 1) & uint32_t(reused >= numbered);
        const uint32_t vertex = pick(isNew, numbered, reused);
        numbered += isNew;
        indexRead += isNew ^ 1;
        return vertex;
    }
};

// Meshlet m's triangles, as vertexOffset + encoder vertex number, into triangles (3 per triangle;
// null skips them), and every vertex's predictor into scratch.predictors.
VMQ_HOST_DEVICE inline DecodeStatus decodeMeshletTopology(const MeshView& mesh, uint32_t m, const TopologyScratch& scratch,
                                                          uint32_t* triangles)
{
    const PreparedMeshlet& meshlet = mesh.meshlets[m];
    const MeshletCounts& counts = meshlet.counts;
    const uint32_t triangleCount = counts.triangleCount;
    // The lists' words are filled a byte at a time, and a walk past a list reads the word after
    // it: zero those words first.
    const uint32_t flagWords = (flagByteCount(triangleCount) + 3) / 4 + 1;
    const uint32_t isFirstWords = (isFirstByteCount(counts.isFirstCount) + 3) / 4 + 1;
    for (uint32_t w = 0; w < flagWords; ++w)
        scratch.edgeBits[w] = scratch.restartBits[w] = 0;
    for (uint32_t w = 0; w < isFirstWords; ++w)
        scratch.isFirstBits[w] = 0;
    LookupIo io(mesh.globalStreams, mesh.global.words, mesh.global.wordCount, meshlet.listBitOffset);
    MeshletLists<uint32_t> lists;
    lists.edgeBits = scratch.edgeBits;
    lists.edgeWords = scratch.bitListWords;
    lists.restartBits = scratch.restartBits;
    lists.restartWords = scratch.bitListWords;
    lists.isFirstBits = scratch.isFirstBits;
    lists.isFirstWords = scratch.bitListWords;
    lists.indexData = scratch.indexData;
    meshletListSymbols(io, counts, lists);
    if (const DecodeStatus status = io.status(); status != DECODED)
        return status;
    scratch.indexData[counts.indexCount] = 0;

    uint32_t restarts = 0;
    for (uint32_t word = 0; word * 32 + 1 < triangleCount; ++word) {
        const uint32_t bitsInWord = triangleCount - 1 - word * 32;
        const uint32_t mask = bitsInWord >= 32 ? ~0u : (1u << bitsInWord) - 1;
        restarts += setBitCount(scratch.restartBits[word] & mask);
    }
    const uint32_t references = triangleCount + 2 + 2 * restarts;
    if (counts.isFirstCount != references && counts.isFirstCount + 3 != references)
        return FIRST_USE_BITS_UNMATCHED;

    StripWalk walk{scratch.isFirstBits,        scratch.indexData,    scratch.predictors, counts.isFirstCount,
                   counts.indexCount,          counts.vertexCount,   counts.isFirstCount == references};
    const uint32_t offset = counts.vertexOffset;
    auto walkStrips = [&](auto across) {
        uint32_t p0 = 0, p1 = 0, p2 = 0;
        uint32_t restartWord = 1, edgeWord = 0; // triangle i's bits at the bottom, shifted out a triangle at a time
        for (uint32_t i = 0; i < triangleCount; ++i) {
            if (i > 0 && ((i - 1) & 31) == 0) {
                restartWord = scratch.restartBits[(i - 1) >> 5];
                edgeWord = scratch.edgeBits[(i - 1) >> 5];
            }
            const uint32_t restart = restartWord & 1, edge = 0u - (edgeWord & 1);
            restartWord >>= 1;
            edgeWord >>= 1;
            if (restart) {
                p0 = walk.reference<false>(0, 0, 0);
                p1 = walk.reference<false>(0, 0, 0);
                p2 = walk.reference<false>(0, 0, 0);
            } else {
                // `edge` all ones for edge bit 1: (p1, p2, p0) across and (p2, p1) kept, else
                // (p0, p2, p1) and (p0, p2). Four choices on one bit, by mask.
                const uint32_t n = walk.reference<decltype(across)::value>(p0 ^ ((p0 ^ p1) & edge), p2, p1 ^ ((p1 ^ p0) & edge));
                const uint32_t q0 = p0 ^ ((p0 ^ p2) & edge);
                p1 = p2 ^ ((p2 ^ p1) & edge);
                p0 = q0;
                p2 = n;
            }
            if (triangles) {
                triangles[size_t(i) * 3] = offset + p0;
                triangles[size_t(i) * 3 + 1] = offset + p1;
                triangles[size_t(i) * 3 + 2] = offset + p2;
            }
        }
    };
    if (mesh.deltaOnly)
        walkStrips(BoolConstant<false>{});
    else
        walkStrips(BoolConstant<true>{});
    if (walk.numbered > counts.vertexCount)
        return VERTICES_PAST_COUNT;
    if (walk.bitsRead > counts.isFirstCount)
        return REFERENCES_PAST_FIRST_USE;
    if (walk.indexRead > counts.indexCount)
        return REUSES_PAST_INDEX_DATA;
    if (walk.reusedAhead != 0)
        return REUSE_BEFORE_NUMBERED;
    if (walk.numbered != counts.vertexCount || walk.bitsRead != counts.isFirstCount || walk.indexRead != counts.indexCount)
        return COUNTS_UNMATCHED;
    return DECODED;
}

// Vertex v's value of one channel among others: at base[v * stride].
struct StridedValues {
    uint32_t* base;
    uint32_t stride;
    VMQ_HOST_DEVICE uint32_t& operator[](uint32_t v) const { return base[size_t(v) * stride]; }
};

// Where channel c's residuals of meshlet m begin; false when its offset lies past its stream.
VMQ_HOST_DEVICE inline bool channelReader(const MeshView& mesh, uint32_t m, uint32_t c, LookupIo& io, bool& wide)
{
    const ChannelStream& channel = mesh.channels[c];
    const uint64_t offset = channel.meshletBitOffsets[m];
    if (offset > uint64_t(channel.stream.wordCount) * 32)
        return false;
    io = LookupIo(&channel.residuals, channel.stream.words, channel.stream.wordCount, offset);
    wide = (mesh.headers[size_t(m) * kMeshletHeaderWords + HEADER_WIDE_CHANNEL_MASK] & wideChannelBit(c)) != 0;
    return true;
}

// Channel c's zigzag residuals of meshlet m, vertex k's at residuals[k * stride].
VMQ_HOST_DEVICE inline DecodeStatus decodeChannelResiduals(const MeshView& mesh, uint32_t m, uint32_t c, uint32_t* residuals,
                                                           uint32_t stride)
{
    LookupIo io(nullptr, nullptr, 0, 0);
    bool wide = false;
    if (!channelReader(mesh, m, c, io, wide))
        return OFFSET_PAST_STREAM_END;
    channelSymbols(io, StridedValues{residuals, stride}, mesh.meshlets[m].counts.vertexCount, wide);
    return io.status();
}

// Channels c and c + 1 side by side: one stream's lookups wait on the loads of the table before,
// and reading two independent streams in turn overlaps those waits. `failed` names the channel
// of a failure.
VMQ_HOST_DEVICE inline DecodeStatus decodeChannelPairResiduals(const MeshView& mesh, uint32_t m, uint32_t c, uint32_t* residuals,
                                                               uint32_t stride, uint32_t& failed)
{
    const uint32_t vertexCount = mesh.meshlets[m].counts.vertexCount;
    LookupIo first(nullptr, nullptr, 0, 0), second(nullptr, nullptr, 0, 0);
    bool firstWide = false, secondWide = false;
    failed = c;
    if (!channelReader(mesh, m, c, first, firstWide))
        return OFFSET_PAST_STREAM_END;
    failed = c + 1;
    if (!channelReader(mesh, m, c + 1, second, secondWide))
        return OFFSET_PAST_STREAM_END;
    const StridedValues firstResiduals{residuals, stride}, secondResiduals{residuals + 1, stride};
    channelHeadSymbols(first, firstResiduals, vertexCount);
    channelHeadSymbols(second, secondResiduals, vertexCount);
    uint32_t v = 1, w = 1;
    if (!firstWide && !secondWide) {
        BitReader firstBits = first.reader.bits, secondBits = second.reader.bits;
        const StreamLookup &firstStream = *first.streams, &secondStream = *second.streams;
        first.reader.keptFrom = second.reader.keptFrom = nullptr;
        while (v + 4 <= vertexCount && w + 4 <= vertexCount && narrowStep(firstBits, firstStream.lookup, firstStream.bits, firstResiduals, v) &&
               narrowStep(secondBits, secondStream.lookup, secondStream.bits, secondResiduals, w)) {
        }
        first.reader.bits = firstBits;
        second.reader.bits = secondBits;
    }
    channelRestSymbols(first, firstResiduals, v, vertexCount, firstWide);
    channelRestSymbols(second, secondResiduals, w, vertexCount, secondWide);
    failed = c;
    if (const DecodeStatus status = first.status(); status != DECODED)
        return status;
    failed = c + 1;
    return second.status();
}

// Turns the zigzag residuals of `channels` neighbouring channels into grid values, vertex k's at
// grid[k * stride + j]. Every prediction reads vertices before k, already decoded. kChannels, when
// not 0, is `channels` known at compile time: loops of a fixed length.
template <uint32_t kChannels>
VMQ_HOST_DEVICE inline void undoPrediction(const Predictor* predictors, uint32_t vertexCount, uint32_t* grid, uint32_t stride,
                                           uint32_t runtimeChannels)
{
    const uint32_t channels = kChannels ? kChannels : runtimeChannels;
    for (uint32_t j = 0; j < channels; ++j)
        grid[j] = uint32_t(unzigzag(grid[j]));
    for (uint32_t k = 1; k < vertexCount; ++k) {
        const Predictor p = predictors[k];
        uint32_t* row = grid + size_t(k) * stride;
        const uint32_t* a = grid + size_t(p.a) * stride;
        const uint32_t* b = grid + size_t(p.b) * stride;
        const uint32_t* c = grid + size_t(p.c) * stride;
        // Four channels at a time, through local copies: the compiler need not prove that the
        // rows do not overlap to vectorise them.
        uint32_t j = 0;
        for (; j + 4 <= channels; j += 4) {
            uint32_t r[4], x[4], y[4], z[4];
            memcpy(r, row + j, sizeof r);
            memcpy(x, a + j, sizeof x);
            memcpy(y, b + j, sizeof y);
            memcpy(z, c + j, sizeof z);
            for (uint32_t q = 0; q < 4; ++q)
                r[q] = uint32_t(unzigzag(r[q])) + (x[q] + y[q] - z[q]);
            memcpy(row + j, r, sizeof r);
        }
        VMQ_UNROLL
        for (; j < channels; ++j)
            row[j] = uint32_t(unzigzag(row[j])) + (a[j] + b[j] - c[j]);
    }
}

// value = q * 2^-bits * (max - min) + min, in that order, in single precision, for `channels`
// neighbouring channels starting at `first`; kChannels as above.
template <uint32_t kChannels>
VMQ_HOST_DEVICE inline void dequantise(const MeshView& mesh, uint32_t first, uint32_t runtimeChannels, uint32_t vertexCount,
                                       const uint32_t* grid, uint32_t gridStride, float* values, uint32_t valueStride)
{
    const uint32_t channels = kChannels ? kChannels : runtimeChannels;
    const float* scales = mesh.scales + first;
    const float* ranges = mesh.ranges + first;
    const float* mins = mesh.mins + first;
    for (uint32_t k = 0; k < vertexCount; ++k) {
        const uint32_t* row = grid + size_t(k) * gridStride;
        float* out = values + size_t(k) * valueStride;
        uint32_t j = 0;
        for (; j + 4 <= channels; j += 4) {
            int32_t q[4];
            float value[4];
            memcpy(q, row + j, sizeof q);
            for (uint32_t i = 0; i < 4; ++i)
                value[i] = float(q[i]) * scales[j + i] * ranges[j + i] + mins[j + i];
            memcpy(out + j, value, sizeof value);
        }
        VMQ_UNROLL
        for (; j < channels; ++j)
            out[j] = float(int32_t(row[j])) * scales[j] * ranges[j] + mins[j];
    }
}

template <uint32_t kChannels>
VMQ_HOST_DEVICE inline void finishChannels(const MeshView& mesh, const Predictor* predictors, uint32_t vertexCount, uint32_t first,
                                           uint32_t channels, uint32_t* grid, uint32_t gridStride, float* values, uint32_t valueStride)
{
    undoPrediction<kChannels>(predictors, vertexCount, grid, gridStride, channels);
    if (values)
        dequantise<kChannels>(mesh, first, channels, vertexCount, grid, gridStride, values, valueStride);
}

// After the topology and the residuals of channels first .. first + channels - 1 (vertex k's at
// grid[k * gridStride + j]): the grid values in place and, unless values is null, the dequantised
// values at values[k * valueStride + j]. The usual channel counts get loops of a fixed length.
VMQ_HOST_DEVICE inline void finishMeshletChannels(const MeshView& mesh, uint32_t m, const Predictor* predictors, uint32_t first,
                                                  uint32_t channels, uint32_t* grid, uint32_t gridStride, float* values,
                                                  uint32_t valueStride)
{
    const uint32_t vertexCount = mesh.meshlets[m].counts.vertexCount;
    switch (channels) {
    case 1: return finishChannels<1>(mesh, predictors, vertexCount, first, channels, grid, gridStride, values, valueStride);
    case 3: return finishChannels<3>(mesh, predictors, vertexCount, first, channels, grid, gridStride, values, valueStride);
    case 4: return finishChannels<4>(mesh, predictors, vertexCount, first, channels, grid, gridStride, values, valueStride);
    case 6: return finishChannels<6>(mesh, predictors, vertexCount, first, channels, grid, gridStride, values, valueStride);
    case 8: return finishChannels<8>(mesh, predictors, vertexCount, first, channels, grid, gridStride, values, valueStride);
    default: return finishChannels<0>(mesh, predictors, vertexCount, first, channels, grid, gridStride, values, valueStride);
    }
}

// The residuals of channels first .. first + channels - 1 of meshlet m, vertex k's of channel
// first + j at grid[k * gridStride + j], two channels side by side. `failed` names the channel of
// a failure.
VMQ_HOST_DEVICE inline DecodeStatus decodeMeshletResiduals(const MeshView& mesh, uint32_t m, uint32_t first, uint32_t channels,
                                                           uint32_t* grid, uint32_t gridStride, uint32_t& failed)
{
    for (uint32_t j = 0; j < channels; j += 2) {
        failed = first + j;
        const DecodeStatus status = j + 1 < channels ? decodeChannelPairResiduals(mesh, m, first + j, grid + j, gridStride, failed)
                                                     : decodeChannelResiduals(mesh, m, first + j, grid + j, gridStride);
        if (status != DECODED)
            return status;
    }
    return DECODED;
}

// A meshlet decoded by `lanes` threads together, as a device runs it: lane 0 walks the strips
// while lanes 1 .. lanes - 1 read the channels' residuals, channel c on lane 1 + c mod (lanes - 1);
// then, once lane 0's predictors are visible to them, those lanes finish their channels. The
// buffers are the whole mesh's; `channel` names the channel of a failure.
VMQ_HOST_DEVICE inline DecodeStatus readMeshletOnLane(const MeshView& mesh, uint32_t m, uint32_t lane, uint32_t lanes,
                                                      const TopologyScratch& scratch, uint32_t* triangles, uint32_t* grid, uint32_t& channel)
{
    const MeshletCounts& counts = mesh.meshlets[m].counts;
    channel = 0;
    if (lane == 0)
        return decodeMeshletTopology(mesh, m, scratch, triangles + size_t(counts.triangleOffset) * 3);
    const uint32_t c = mesh.channelCount;
    uint32_t* meshletGrid = grid + size_t(counts.vertexOffset) * c;
    for (uint32_t k = lane - 1; k < c; k += lanes - 1) {
        channel = k;
        if (const DecodeStatus status = decodeChannelResiduals(mesh, m, k, meshletGrid + k, c); status != DECODED)
            return status;
    }
    return DECODED;
}

VMQ_HOST_DEVICE inline void finishMeshletOnLane(const MeshView& mesh, uint32_t m, uint32_t lane, uint32_t lanes, const Predictor* predictors,
                                                uint32_t* grid, float* values)
{
    const uint32_t c = mesh.channelCount;
    const size_t at = size_t(mesh.meshlets[m].counts.vertexOffset) * c;
    for (uint32_t k = lane - 1; lane > 0 && k < c; k += lanes - 1)
        finishMeshletChannels(mesh, m, predictors, k, 1, grid + at + k, c, values + at + k, c);
}

} // namespace vmq
