#pragma once
// Test-only reader of the compressed format: Huffman-decodes a meshlet's symbols from a record's
// bitstreams, turns its topology symbols back into triangles in encoder numbering and undoes the
// prediction of its residuals. Written from the format's reading rules, not from the encoder.
#include "encoding/topology.h"
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
        bytes[i] = i / 4 < words.size() ? uint8_t(words[i / 4] >> (8 * (i % 4))) : 0;
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
    const size_t flagBytes = t.triangleCount > 1 ? (t.triangleCount - 1 + 7) / 8 : 0;
    s.edgeBytes = bitListBytes(t.edgeBits, flagBytes);
    s.restartBytes = bitListBytes(t.restartBits, flagBytes);
    s.isFirstBytes = bitListBytes(t.isFirstBits, (t.isFirstCount + 7) / 8);
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

inline uint32_t unzigzag(uint32_t z)
{
    return (z >> 1) ^ (0u - (z & 1u));
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
            v[k] = prediction + unzigzag(s.residuals[c][k]);
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

// MSB-first reader of one coder's bitstream with its decode tables.
class StreamReader {
public:
    StreamReader(const uint32_t* words, const uint32_t* wordsEnd, const uint32_t* blob, const uint32_t* blobEnd, uint32_t position)
        : words_(words), wordCount_(size_t(wordsEnd - words)), blob_(blob), blobSize_(size_t(blobEnd - blob)), position_(position)
    {
    }
    uint32_t symbol(uint32_t stream)
    {
        const uint32_t* table = blob_ + blob_[stream];
        uint32_t index = 0;
        for (int guard = 0; guard < 64; ++guard) {
            if (blob_[stream] + index >= blobSize_) {
                ADD_FAILURE() << "decode table index out of range";
                return 0;
            }
            const uint32_t entry = table[index];
            if (entry & 1u)
                return entry >> 1;
            index = (entry >> 1) + bit();
        }
        ADD_FAILURE() << "code longer than 64 bits";
        return 0;
    }
    uint32_t position() const { return position_; }

private:
    uint32_t bit()
    {
        if (position_ / 32 >= wordCount_) {
            ADD_FAILURE() << "read past the bitstream";
            return 0;
        }
        const uint32_t b = (words_[position_ / 32] >> (31 - position_ % 32)) & 1u;
        ++position_;
        return b;
    }
    const uint32_t* words_;
    size_t wordCount_;
    const uint32_t* blob_;
    size_t blobSize_;
    uint32_t position_;
};

// Meshlet m (stream order) of a record, read from its recorded offsets.
inline MeshletSymbols readMeshletSymbols(const CompressedMesh& mesh, uint32_t m)
{
    MeshletSymbols s;
    StreamReader global(mesh.streamWordsBegin, mesh.streamWordsEnd, mesh.tableBlobBegin, mesh.tableBlobEnd, mesh.meshletBitOffsetsBegin[m]);
    s.isFirstCount = global.symbol(0);
    s.indexCount = global.symbol(0);
    s.triangleCount = global.symbol(0);
    s.vertexCount = global.symbol(0);
    auto value32 = [&] {
        const uint32_t lo = global.symbol(1), mid = global.symbol(1), hi = global.symbol(1);
        return lo | (mid << 11) | (hi << 22);
    };
    s.triangleOffset = value32();
    s.vertexOffset = value32();
    s.indexWordOffset = value32();
    s.groupId = global.symbol(1);
    const uint32_t flagBytes = s.triangleCount > 1 ? (s.triangleCount - 1 + 7) / 8 : 0;
    for (uint32_t i = 0; i < flagBytes; ++i)
        s.edgeBytes.push_back(uint8_t(global.symbol(2)));
    for (uint32_t i = 0; i < flagBytes; ++i)
        s.restartBytes.push_back(uint8_t(global.symbol(3)));
    for (uint32_t i = 0; i < (s.isFirstCount + 7) / 8; ++i)
        s.isFirstBytes.push_back(uint8_t(global.symbol(4)));
    uint32_t prev = 0;
    for (uint32_t i = 0; i < s.indexCount; ++i) {
        prev += unzigzag(global.symbol(5));
        s.indexData.push_back(prev);
    }

    const uint32_t mask = mesh.meshletHeadersBegin[size_t(m) * 8 + 7];
    for (uint32_t c = 0; c < mesh.channelCount; ++c) {
        const ChannelStreams& ch = mesh.channels[c];
        StreamReader reader(ch.streamWordsBegin, ch.streamWordsEnd, ch.tableBlobBegin, ch.tableBlobEnd, ch.meshletBitOffsetsBegin[m]);
        std::vector<uint32_t> residuals;
        auto value22 = [&] {
            const uint32_t lo = reader.symbol(0);
            return lo | (reader.symbol(0) << 11);
        };
        if (s.vertexCount > 0)
            residuals.push_back(value22());
        while (residuals.size() < s.vertexCount) {
            if ((mask >> (c % 32)) & 1u) {
                residuals.push_back(value22());
                continue;
            }
            const uint32_t symbol = reader.symbol(0);
            if (symbol & 1u) {
                residuals.push_back((symbol >> 1) & 31u);
                residuals.push_back(symbol >> 6);
            } else {
                residuals.push_back(symbol >> 1);
            }
        }
        EXPECT_EQ(residuals.size(), s.vertexCount);
        residuals.resize(s.vertexCount);
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
