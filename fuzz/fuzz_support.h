#pragma once
// What the fuzz targets share: reading choices from the input bytes, an owned copy of a
// compressed record that can be changed freely, and the oracles (a decode that must give back
// exactly the triangles and grid values that went in; a failure that must say why).
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "encoding/quantise.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace vmq_fuzz {

// A finding that is not a crash: the library answered wrongly. Aborting makes libFuzzer keep
// the input.
[[noreturn]] inline void finding(const std::string& what)
{
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

inline void require(bool condition, const std::string& what)
{
    if (!condition)
        finding(what);
}

// A failed call must leave a message.
inline void requireMessage(const char* call)
{
    const char* text = Pelku_Vmq_Compression_GetCompressionErrorString();
    require(text && text[0], std::string(call) + " failed without a message");
}

// Writes bytes to a file (a seed input, a scratch archive).
inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

// Choices read from the front of the input; past its end every read gives 0.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u16() { return uint32_t(byte()) | uint32_t(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    float f32()
    {
        const uint32_t bits = u32();
        float value;
        std::memcpy(&value, &bits, 4);
        return value;
    }
    // A value below n (n > 0).
    uint32_t below(uint32_t n) { return n <= 256 ? byte() % n : u32() % n; }
    bool flag() { return byte() & 1; }
    template <typename T, size_t N>
    const T& pick(const T (&table)[N])
    {
        return table[below(uint32_t(N))];
    }
    size_t left() const { return size_ - std::min(at_, size_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// An owned copy of every array of a record and a view of them that the decoder takes.
struct OwnedRecord {
    CompressedMesh counts{};
    std::vector<uint32_t> streamWords, tableBlob, meshletBitOffsets, meshletValueOffsets, meshletTriangleOffsets, meshletHeaders;
    std::vector<QuantParams> quantParams;
    std::vector<int32_t> channelKinds;
    struct Channel {
        std::vector<uint32_t> streamWords, tableBlob, meshletBitOffsets;
    };
    std::vector<Channel> channels;

    explicit OwnedRecord(const CompressedMesh& mesh)
        : counts(mesh), streamWords(mesh.streamWordsBegin, mesh.streamWordsEnd), tableBlob(mesh.tableBlobBegin, mesh.tableBlobEnd),
          meshletBitOffsets(mesh.meshletBitOffsetsBegin, mesh.meshletBitOffsetsEnd),
          meshletValueOffsets(mesh.meshletValueOffsetsBegin, mesh.meshletValueOffsetsEnd),
          meshletTriangleOffsets(mesh.meshletTriangleOffsetsBegin, mesh.meshletTriangleOffsetsEnd),
          meshletHeaders(mesh.meshletHeadersBegin, mesh.meshletHeadersEnd), quantParams(mesh.quantParamsBegin, mesh.quantParamsEnd),
          channelKinds(mesh.channelKindsBegin, mesh.channelKindsEnd)
    {
        for (uint32_t c = 0; c < mesh.channelCount; ++c) {
            const ChannelStreams& s = mesh.channels[c];
            channels.push_back({{s.streamWordsBegin, s.streamWordsEnd}, {s.tableBlobBegin, s.tableBlobEnd},
                                {s.meshletBitOffsetsBegin, s.meshletBitOffsetsEnd}});
        }
        counts.partition = nullptr;
        counts.topology = nullptr;
    }

    // Every word array, for changes that do not care which one they hit.
    std::vector<std::vector<uint32_t>*> wordArrays()
    {
        std::vector<std::vector<uint32_t>*> arrays = {&streamWords,         &tableBlob,      &meshletBitOffsets,
                                                      &meshletValueOffsets, &meshletTriangleOffsets, &meshletHeaders};
        for (Channel& c : channels)
            arrays.insert(arrays.end(), {&c.streamWords, &c.tableBlob, &c.meshletBitOffsets});
        return arrays;
    }

    // The record as the decoder reads it; valid until the arrays change size.
    const CompressedMesh& view()
    {
        static const uint32_t none = 0;
        auto span = [](const auto& list, auto& begin, auto& end) {
            using T = std::remove_cv_t<std::remove_pointer_t<std::remove_reference_t<decltype(begin)>>>;
            begin = list.empty() ? reinterpret_cast<const T*>(&none) : reinterpret_cast<const T*>(list.data());
            end = begin + list.size();
        };
        view_ = counts;
        span(streamWords, view_.streamWordsBegin, view_.streamWordsEnd);
        span(tableBlob, view_.tableBlobBegin, view_.tableBlobEnd);
        span(meshletBitOffsets, view_.meshletBitOffsetsBegin, view_.meshletBitOffsetsEnd);
        span(meshletValueOffsets, view_.meshletValueOffsetsBegin, view_.meshletValueOffsetsEnd);
        span(meshletTriangleOffsets, view_.meshletTriangleOffsetsBegin, view_.meshletTriangleOffsetsEnd);
        span(meshletHeaders, view_.meshletHeadersBegin, view_.meshletHeadersEnd);
        span(quantParams, view_.quantParamsBegin, view_.quantParamsEnd);
        span(channelKinds, view_.channelKindsBegin, view_.channelKindsEnd);
        // The channel list holds channelCount entries, as a record promises (a decoder cannot
        // check it); channels lost or never there read as empty streams.
        channelViews_.assign(std::max(channels.size(), std::min<size_t>(counts.channelCount, 4096)), ChannelStreams{});
        for (ChannelStreams& v : channelViews_) {
            v.streamWordsBegin = v.streamWordsEnd = v.tableBlobBegin = v.tableBlobEnd = &none;
            v.meshletBitOffsetsBegin = v.meshletBitOffsetsEnd = &none;
        }
        for (size_t c = 0; c < channels.size(); ++c) {
            span(channels[c].streamWords, channelViews_[c].streamWordsBegin, channelViews_[c].streamWordsEnd);
            span(channels[c].tableBlob, channelViews_[c].tableBlobBegin, channelViews_[c].tableBlobEnd);
            span(channels[c].meshletBitOffsets, channelViews_[c].meshletBitOffsetsBegin, channelViews_[c].meshletBitOffsetsEnd);
        }
        view_.channels = channelViews_.empty() ? nullptr : channelViews_.data();
        return view_;
    }

private:
    CompressedMesh view_{};
    std::vector<ChannelStreams> channelViews_;
};

// One triangle as the decoder gives it back: its group and its corners' grid tuples, turned to
// the smallest of its three rotations (the encoder may start a triangle at any corner).
using GridTriangle = std::vector<uint32_t>;

inline GridTriangle gridTriangle(uint32_t group, const std::vector<uint32_t> (&corners)[3])
{
    GridTriangle best;
    for (int first = 0; first < 3; ++first) {
        GridTriangle t = {group};
        for (int k = 0; k < 3; ++k)
            t.insert(t.end(), corners[(first + k) % 3].begin(), corners[(first + k) % 3].end());
        if (best.empty() || t < best)
            best = std::move(t);
    }
    return best;
}

// The decoded triangles of a whole decode, sorted.
inline std::vector<GridTriangle> decodedTriangles(const DecodedMesh& decoded)
{
    std::vector<GridTriangle> result;
    const uint32_t c = decoded.channelCount;
    for (uint32_t m = 0; m < decoded.meshletCount; ++m) {
        const DecodedMeshletInfo& info = decoded.meshletsBegin[m];
        for (uint32_t t = info.triangleOffset; t < info.triangleOffset + info.triangleCount; ++t) {
            std::vector<uint32_t> corners[3];
            for (int k = 0; k < 3; ++k) {
                const uint32_t v = decoded.trianglesBegin[3 * size_t(t) + k];
                corners[k].assign(decoded.gridValuesBegin + size_t(v) * c, decoded.gridValuesBegin + size_t(v + 1) * c);
            }
            result.push_back(gridTriangle(info.groupId, corners));
        }
    }
    std::sort(result.begin(), result.end());
    return result;
}

// Decodes a record whole and meshlet by meshlet (the two must agree) and checks that it gives
// back `expected` exactly: the same triangles, each with the same group and grid values.
inline void requireRoundTrip(const CompressedMesh& record, int32_t mode, std::vector<GridTriangle> expected, const char* what)
{
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&record, mode);
    if (!decoded)
        finding(std::string(what) + ": its record does not decode: " + Pelku_Vmq_Compression_GetCompressionErrorString());
    std::sort(expected.begin(), expected.end());
    const std::vector<GridTriangle> got = decodedTriangles(*decoded);
    if (got != expected) {
        size_t k = 0;
        while (k < got.size() && k < expected.size() && got[k] == expected[k])
            ++k;
        auto show = [](const std::vector<GridTriangle>& list, size_t k) {
            std::string text;
            if (k < list.size())
                for (uint32_t v : list[k])
                    text += " " + std::to_string(v);
            return text;
        };
        finding(std::string(what) + ": the record decodes to other triangles than went in: " + std::to_string(got.size()) + " decoded, " +
                std::to_string(expected.size()) + " expected; first difference: decoded" + show(got, k) + ", expected" + show(expected, k));
    }

    MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(&record, mode);
    require(decoder != nullptr, std::string(what) + ": no meshlet decoder for a record that decodes whole");
    const uint32_t c = record.channelCount;
    std::vector<uint32_t> triangles(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS), grid(size_t(c) * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
    std::vector<float> values(grid.size());
    for (uint32_t m = 0; m < record.meshletCount; ++m) {
        DecodedMeshletInfo info{};
        require(Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, triangles.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, grid.data(),
                                                    values.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, &info) == 1,
                std::string(what) + ": a meshlet of a record that decodes whole does not decode alone");
        const DecodedMeshletInfo& whole = decoded->meshletsBegin[m];
        require(std::memcmp(&info, &whole, sizeof info) == 0 &&
                    std::equal(triangles.begin(), triangles.begin() + 3 * size_t(info.triangleCount),
                               decoded->trianglesBegin + 3 * size_t(info.triangleOffset)) &&
                    std::equal(grid.begin(), grid.begin() + size_t(c) * info.vertexCount,
                               decoded->gridValuesBegin + size_t(c) * info.vertexOffset) &&
                    std::memcmp(values.data(), decoded->valuesBegin + size_t(c) * info.vertexOffset,
                                sizeof(float) * c * info.vertexCount) == 0,
                std::string(what) + ": a meshlet decoded alone differs from the whole decode");
    }
    Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
}

// The triangles a compression of these attributes must give back: each listed triangle with
// the grid tuples of its corners, quantised as the library does, and its group.
inline std::vector<GridTriangle> expectedTriangles(const std::vector<MeshAttribute>& attributes, const CompressionSettings& settings,
                                                   const std::vector<std::array<uint32_t, 3>>& triangles, const std::vector<uint32_t>& groups)
{
    const vmq::QuantisedAttributes quantised = vmq::quantiseAttributes(attributes, settings);
    std::vector<GridTriangle> result;
    for (size_t t = 0; t < triangles.size(); ++t) {
        std::vector<uint32_t> corners[3];
        for (int k = 0; k < 3; ++k)
            for (const auto& channel : quantised.channels)
                corners[k].push_back(channel[triangles[t][k]]);
        result.push_back(gridTriangle(groups[t], corners));
    }
    return result;
}

// A failed decode call must say so.
inline void checkMessage(const char* call)
{
    const std::string text = Pelku_Vmq_Compression_GetCompressionErrorString();
    require(text.rfind("Cannot decode", 0) == 0, std::string(call) + " failed without a decode message: '" + text + "'");
}

// A decode that succeeded must hold together: the totals of its record, meshlets that tile them,
// corners inside their meshlet, meshlets that decode alone to the same values, and buffers one
// triangle too small refused.
inline void checkDecoded(const CompressedMesh& record, const DecodedMesh& decoded, int32_t mode)
{
    require(decoded.triangleCount == record.triangleCount && decoded.vertexCount == record.vertexCount &&
                decoded.meshletCount == record.meshletCount && decoded.channelCount == record.channelCount,
            "a decoded mesh's totals differ from its record's");
    uint32_t triangles = 0, vertices = 0;
    for (uint32_t m = 0; m < decoded.meshletCount; ++m) {
        const DecodedMeshletInfo& info = decoded.meshletsBegin[m];
        require(info.triangleOffset == triangles && info.vertexOffset == vertices, "decoded meshlets do not tile the mesh");
        for (uint32_t t = info.triangleOffset; t < info.triangleOffset + info.triangleCount; ++t)
            for (int k = 0; k < 3; ++k) {
                const uint32_t v = decoded.trianglesBegin[3 * size_t(t) + k];
                require(v >= info.vertexOffset && v < info.vertexOffset + info.vertexCount, "a decoded corner lies outside its meshlet");
            }
        triangles += info.triangleCount;
        vertices += info.vertexCount;
    }
    require(triangles == decoded.triangleCount && vertices == decoded.vertexCount, "decoded meshlets do not cover the totals");

    MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(&record, mode);
    require(decoder != nullptr, "a record that decodes whole gets no meshlet decoder");
    const uint32_t c = record.channelCount;
    std::vector<uint32_t> corners(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS), grid(size_t(c) * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
    for (uint32_t m = 0; m < decoded.meshletCount; ++m) {
        const DecodedMeshletInfo& whole = decoded.meshletsBegin[m];
        DecodedMeshletInfo info{};
        require(Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, corners.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, grid.data(), nullptr,
                                                    PELKU_VMQ_MAX_MESHLET_ELEMENTS, &info) == 1,
                "a meshlet of a record that decodes whole does not decode alone");
        require(std::equal(corners.begin(), corners.begin() + 3 * size_t(info.triangleCount),
                           decoded.trianglesBegin + 3 * size_t(whole.triangleOffset)) &&
                    std::equal(grid.begin(), grid.begin() + size_t(c) * info.vertexCount, decoded.gridValuesBegin + size_t(c) * whole.vertexOffset),
                "a meshlet decoded alone differs from the whole decode");
        // One triangle too few of room is refused, not overrun.
        require(Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, corners.data(), info.triangleCount - 1, nullptr, nullptr, 0, nullptr) == 0,
                "a meshlet was decoded into a triangle buffer too small for it");
    }
    require(Pelku_Vmq_Compression_DecodeMeshlet(decoder, decoded.meshletCount, nullptr, 0, nullptr, nullptr, 0, nullptr) == 0,
            "a meshlet past the last one was decoded");
    Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
}

} // namespace vmq_fuzz
