#pragma once
// Test-only reader of the compressed format: Huffman-decodes a meshlet's symbols from a record's
// bitstreams, turns its topology symbols back into triangles in encoder numbering and undoes the
// prediction of its residuals. Written from the format's reading rules, not from the encoder.
#include "encoding/topology.h"
#include "format/decode_table.h"
#include "format/meshlet_symbols.h"
#include "pelku_vmq_compression.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace vmq_test {

using Triangle3 = std::array<uint32_t, 3>;

// One meshlet's symbols as the format carries them.
struct MeshletSymbols {
    uint32_t isFirstCount = 0;
    uint32_t indexCount = 0;
    uint32_t triangleCount = 0;
    uint32_t vertexCount = 0;
    uint32_t triangleOffset = 0, vertexOffset = 0, indexWordOffset = 0, groupId = 0;
    std::vector<uint8_t> edgeBytes, restartBytes, isFirstBytes;
    std::vector<uint32_t> indexData;             // undeltaed entries
    std::vector<std::vector<uint32_t>> residuals; // per channel, per encoder vertex
};

inline bool byteBit(const std::vector<uint8_t>& bytes, uint32_t k)
{
    EXPECT_LT(k / 8, bytes.size());
    return k / 8 < bytes.size() && ((bytes[k / 8] >> (k % 8)) & 1u);
}

inline std::vector<uint8_t> bitListBytes(const std::vector<uint32_t>& words, size_t byteCount)
{
    std::vector<uint8_t> bytes(byteCount);
    for (size_t i = 0; i < byteCount; ++i)
        bytes[i] = uint8_t(vmq::bitListByte(words.data(), words.size(), i));
    return bytes;
}

// The symbols of an encoded meshlet record, cut to the sizes the format carries.
inline MeshletSymbols symbolsOf(const vmq::EncodedMeshlet& meshlet)
{
    const vmq::MeshletTopology& t = meshlet.topology;
    MeshletSymbols s;
    s.isFirstCount = t.isFirstCount;
    s.indexCount = uint32_t(t.indexData.size());
    s.triangleCount = t.triangleCount;
    s.vertexCount = t.vertexCount;
    s.groupId = t.groupId;
    const uint32_t flagBytes = vmq::flagByteCount(t.triangleCount);
    s.edgeBytes = bitListBytes(t.edgeBits, flagBytes);
    s.restartBytes = bitListBytes(t.restartBits, flagBytes);
    s.isFirstBytes = bitListBytes(t.isFirstBits, vmq::isFirstByteCount(t.isFirstCount));
    s.indexData = t.indexData;
    for (int32_t c = 0; c < meshlet.residualChannels; ++c)
        s.residuals.emplace_back(meshlet.residualTable.begin() + size_t(c) * meshlet.residualStride,
                                 meshlet.residualTable.begin() + size_t(c) * meshlet.residualStride + t.vertexCount);
    return s;
}

struct DecodedMeshlet {
    std::vector<Triangle3> triangles;            // encoder numbering, strip order
    std::vector<uint32_t> firstTriangle;         // per encoder vertex
    std::vector<std::vector<uint32_t>> values;   // per channel, per encoder vertex
};

// Topology: restart 1 -> three references; restart 0, edge 1 -> (p2, p1, n); edge 0 ->
// (p0, p2, n). References carry an IS_FIRST bit (1 new, 0 next index entry) except the first
// three of a meshlet whose isFirstCount is R - 3 (R = number of references), which are new.
inline void decodeTopology(const MeshletSymbols& s, DecodedMeshlet& out)
{
    uint32_t references = 3;
    for (uint32_t i = 1; i < s.triangleCount; ++i)
        references += byteBit(s.restartBytes, i - 1) ? 3 : 1;
    const bool everyReferenceHasBit = s.isFirstCount == references;
    if (!everyReferenceHasBit) {
        ASSERT_EQ(s.isFirstCount + 3, references);
    }

    uint32_t numbered = 0, bitIndex = 0, indexPos = 0, referenceNumber = 0;
    out.firstTriangle.clear();
    auto reference = [&](uint32_t triangle) -> uint32_t {
        bool isNew;
        if (!everyReferenceHasBit && referenceNumber < 3)
            isNew = true;
        else
            isNew = byteBit(s.isFirstBytes, bitIndex++);
        ++referenceNumber;
        if (isNew) {
            out.firstTriangle.push_back(triangle);
            return numbered++;
        }
        EXPECT_LT(indexPos, s.indexData.size());
        return indexPos < s.indexData.size() ? s.indexData[indexPos++] : 0;
    };
    out.triangles.clear();
    for (uint32_t i = 0; i < s.triangleCount; ++i) {
        if (i == 0 || byteBit(s.restartBytes, i - 1)) {
            const uint32_t a = reference(i), b = reference(i), c = reference(i);
            out.triangles.push_back({a, b, c});
        } else {
            const Triangle3 p = out.triangles.back();
            const uint32_t n = reference(i);
            out.triangles.push_back(byteBit(s.edgeBytes, i - 1) ? Triangle3{p[2], p[1], n} : Triangle3{p[0], p[2], n});
        }
    }
    EXPECT_EQ(numbered, s.vertexCount);
    EXPECT_EQ(bitIndex, s.isFirstCount);
    EXPECT_EQ(indexPos, s.indexCount);
}

// Undoes the prediction: parallelogram across the edge a vertex's first triangle shares with
// the triangle before it, else the previous vertex's value.
inline void decodeValues(const MeshletSymbols& s, bool deltaOnly, DecodedMeshlet& out)
{
    out.values.assign(s.residuals.size(), std::vector<uint32_t>(s.vertexCount));
    for (size_t c = 0; c < s.residuals.size(); ++c) {
        std::vector<uint32_t>& v = out.values[c];
        for (uint32_t k = 0; k < s.vertexCount; ++k) {
            uint32_t prediction = k == 0 ? 0 : v[k - 1];
            const uint32_t a = k < out.firstTriangle.size() ? out.firstTriangle[k] : 0;
            if (k > 0 && !deltaOnly && a > 0 && !byteBit(s.restartBytes, a - 1)) {
                const Triangle3& t = out.triangles[a - 1];
                prediction = byteBit(s.edgeBytes, a - 1) ? v[t[1]] + v[t[2]] - v[t[0]] : v[t[0]] + v[t[2]] - v[t[1]];
            }
            v[k] = prediction + uint32_t(vmq::unzigzag(s.residuals[c][k]));
        }
    }
}

inline DecodedMeshlet decodeMeshlet(const MeshletSymbols& s, bool deltaOnly)
{
    DecodedMeshlet out;
    decodeTopology(s, out);
    decodeValues(s, deltaOnly, out);
    return out;
}

// Reads one coder's symbols bit by bit through its decode tables for the format's meshlet walk;
// a symbol that cannot be read is a test failure.
struct TestSymbolReader {
    static constexpr bool kReading = true;
    const uint32_t* words;
    const uint32_t* wordsEnd;
    const uint32_t* blob;
    const uint32_t* blobEnd;
    uint32_t streamCount;
    uint64_t position;

    void marker(uint32_t) {}
    bool symbol(uint32_t stream, uint32_t& value)
    {
        vmq::StreamTable table;
        const bool read = vmq::findStreamTable(blob, size_t(blobEnd - blob), streamCount, stream, table) &&
                          vmq::readSymbolBitwise(table, words, uint64_t(wordsEnd - words) * 32, position, value);
        EXPECT_TRUE(read) << "symbol of stream " << stream << " at bit " << position;
        return read;
    }
    bool valueTooWide(uint32_t, uint32_t) { return true; }
    bool malformed(const char* what)
    {
        ADD_FAILURE() << what;
        return false;
    }
};

// Meshlet m (stream order) of a record, read from its recorded offsets.
inline MeshletSymbols readMeshletSymbols(const CompressedMesh& mesh, uint32_t m)
{
    MeshletSymbols s;
    TestSymbolReader global{mesh.streamWordsBegin, mesh.streamWordsEnd, mesh.tableBlobBegin, mesh.tableBlobEnd,
                            vmq::kGlobalStreamCount, mesh.meshletBitOffsetsBegin[m]};
    vmq::MeshletCounts counts;
    std::vector<uint32_t> edgeBits(vmq::kMaxBitListWords), restartBits(vmq::kMaxBitListWords), isFirstBits(vmq::kMaxBitListWords);
    s.indexData.resize(vmq::kMaxMeshletElements);
    const vmq::MeshletLists<uint32_t> lists{edgeBits.data(),    vmq::kMaxBitListWords, restartBits.data(), vmq::kMaxBitListWords,
                                            isFirstBits.data(), vmq::kMaxBitListWords, s.indexData.data()};
    EXPECT_TRUE(vmq::meshletGlobalSymbols(global, counts, lists));
    s.isFirstCount = counts.isFirstCount;
    s.indexCount = counts.indexCount;
    s.triangleCount = counts.triangleCount;
    s.vertexCount = counts.vertexCount;
    s.triangleOffset = counts.triangleOffset;
    s.vertexOffset = counts.vertexOffset;
    s.indexWordOffset = counts.indexWordOffset;
    s.groupId = counts.groupId;
    const uint32_t flagBytes = vmq::flagByteCount(counts.triangleCount);
    s.edgeBytes = bitListBytes(edgeBits, flagBytes);
    s.restartBytes = bitListBytes(restartBits, flagBytes);
    s.isFirstBytes = bitListBytes(isFirstBits, vmq::isFirstByteCount(counts.isFirstCount));
    s.indexData.resize(counts.indexCount);

    const uint32_t mask = mesh.meshletHeadersBegin[size_t(m) * vmq::kMeshletHeaderWords + vmq::HEADER_WIDE_CHANNEL_MASK];
    for (uint32_t c = 0; c < mesh.channelCount; ++c) {
        const ChannelStreams& ch = mesh.channels[c];
        TestSymbolReader reader{ch.streamWordsBegin, ch.streamWordsEnd, ch.tableBlobBegin, ch.tableBlobEnd,
                                vmq::kAttributeStreamCount, ch.meshletBitOffsetsBegin[m]};
        std::vector<uint32_t> residuals(s.vertexCount);
        EXPECT_TRUE(vmq::channelSymbols(reader, residuals.data(), s.vertexCount, (mask & vmq::wideChannelBit(c)) != 0));
        s.residuals.push_back(std::move(residuals));
    }
    return s;
}

// A triangle rotated so that its smallest corner (first of equals) comes first: rotations
// compare equal, windings do not.
template <typename T>
std::array<T, 3> canonicalRotation(std::array<T, 3> t)
{
    std::array<T, 3> best = t;
    for (int r = 1; r < 3; ++r) {
        std::rotate(t.begin(), t.begin() + 1, t.end());
        best = std::min(best, t);
    }
    return best;
}

} // namespace vmq_test
