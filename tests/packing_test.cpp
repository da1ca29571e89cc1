// Meshlet packing: header words, the symbol runs of every stream and their limits, read back
// from the coders' bitstreams.
#include "pipeline/packing.h"

#include "meshlet_decoder.h"
#include "pipeline/context.h"
#include "core/error.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using vmq::CompressionContext;
using vmq::EncodedMeshlet;

// A meshlet record with T triangles, V vertices and the given residuals per channel.
EncodedMeshlet meshletOf(uint32_t triangles, uint32_t vertices, const std::vector<std::vector<uint32_t>>& residuals)
{
    EncodedMeshlet m;
    m.topology.triangleCount = triangles;
    m.topology.vertexCount = vertices;
    m.topology.restartBits.assign((triangles + 30) / 32, 0);
    m.topology.edgeBits.assign((triangles + 30) / 32, 0);
    m.residualChannels = int32_t(residuals.size());
    m.residualStride = vertices;
    for (const auto& channel : residuals)
        m.residualTable.insert(m.residualTable.end(), channel.begin(), channel.end());
    for (int k = 0; k < 3; ++k) {
        m.boxMin[k] = 0;
        m.boxMax[k] = 0;
    }
    return m;
}

CompressionContext contextOf(uint32_t channels)
{
    CompressionContext context;
    context.channelCount = channels;
    for (uint32_t c = 0; c < channels; ++c)
        context.channelCoders.push_back(vmq::makeChannelCoder());
    return context;
}

struct Packed {
    std::vector<uint32_t> header;
    std::vector<std::vector<uint32_t>> global;   // symbols per global stream, in order
    std::vector<std::vector<uint32_t>> channels; // ATTRIB_DATA symbols per channel
};

// Packs one meshlet and reads every stream's symbols back from the written bits.
Packed pack(const EncodedMeshlet& meshlet, uint32_t channels, uint32_t sums[3] = nullptr)
{
    CompressionContext context = contextOf(channels);
    uint32_t zero[3] = {0, 0, 0};
    uint32_t* s = sums ? sums : zero;
    vmq::packMeshlet(context, meshlet, s[0], s[1], s[2]);
    Packed out;
    out.header = context.meshletHeaders;
    out.global.resize(7);
    const auto& t = meshlet.topology;
    const uint32_t counts[7] = {4, 10, t.triangleCount > 1 ? (t.triangleCount + 6) / 8 : 0,
                                t.triangleCount > 1 ? (t.triangleCount + 6) / 8 : 0, (t.isFirstCount + 7) / 8,
                                uint32_t(t.indexData.size()), 0};
    context.globalCoder.encodeStreams();
    const auto& words = context.globalCoder.streamWords();
    const auto& blob = context.globalCoder.tableBlob();
    vmq_test::TestSymbolReader reader{words.data(), words.data() + words.size(), blob.data(), blob.data() + blob.size(),
                                      vmq::kGlobalStreamCount, 0};
    for (uint32_t stream = 0; stream < 6; ++stream)
        for (uint32_t k = 0; k < counts[stream]; ++k) {
            uint32_t symbol = 0;
            reader.symbol(stream, symbol);
            out.global[stream].push_back(symbol);
        }
    for (uint32_t c = 0; c < channels; ++c) {
        vmq::StreamCoder& coder = context.channelCoders[c];
        const size_t pushed = coder.pushedSymbolCount() - 1; // less the marker
        coder.encodeStreams();
        const auto& cw = coder.streamWords();
        const auto& cb = coder.tableBlob();
        vmq_test::TestSymbolReader channel{cw.data(), cw.data() + cw.size(), cb.data(), cb.data() + cb.size(),
                                           vmq::kAttributeStreamCount, 0};
        out.channels.emplace_back();
        for (size_t k = 0; k < pushed; ++k) {
            uint32_t symbol = 0;
            channel.symbol(vmq::ATTRIB_DATA, symbol);
            out.channels.back().push_back(symbol);
        }
    }
    return out;
}

TEST(Packing, NarrowResidualsPairUp)
{
    // Vertex 0 = 5000 in two 11-bit symbols; 3, 4 pair up (263), 40 stands alone (80), and the
    // last vertex is alone (2).
    Packed p = pack(meshletOf(3, 5, {{5000, 3, 4, 40, 1}}), 1);
    EXPECT_EQ(p.channels[0], (std::vector<uint32_t>{5000 & 0x7FF, 5000 >> 11, 263, 80, 2}));
    EXPECT_EQ(p.header[7], 0u);
    EXPECT_EQ(vmq::pairSymbol(3, 4, 2), 263u);
    EXPECT_EQ(vmq::pairSymbol(31, 31, 2), 2047u);
    EXPECT_EQ(vmq::pairSymbol(3, 4, 1), 6u);
}

TEST(Packing, WideChannels)
{
    {
        SCOPED_TRACE("1024 is wide");
        Packed p = pack(meshletOf(1, 3, {{1, 1024, 2}}), 1);
        EXPECT_EQ(p.header[7], 1u);
        EXPECT_EQ(p.channels[0], (std::vector<uint32_t>{1, 0, 1024, 0, 2, 0}));
    }
    {
        SCOPED_TRACE("1023 stays narrow");
        Packed p = pack(meshletOf(1, 3, {{1, 1023, 2}}), 1);
        EXPECT_EQ(p.header[7], 0u);
        EXPECT_EQ(p.channels[0], (std::vector<uint32_t>{1, 0, 2046, 4}));
    }
    {
        SCOPED_TRACE("vertex 0 does not count");
        Packed p = pack(meshletOf(1, 2, {{4000, 1}}), 1);
        EXPECT_EQ(p.header[7], 0u);
    }
    {
        SCOPED_TRACE("channel 32 shares bit 0");
        std::vector<std::vector<uint32_t>> residuals(33, std::vector<uint32_t>{0, 1});
        residuals[32][1] = 5000;
        Packed p = pack(meshletOf(1, 2, residuals), 33);
        EXPECT_EQ(p.header[7], 1u);
        EXPECT_EQ(p.channels[0], (std::vector<uint32_t>{0, 0, 1, 0}));
        EXPECT_EQ(p.channels[1], (std::vector<uint32_t>{0, 0, 2}));
        EXPECT_EQ(p.channels[32], (std::vector<uint32_t>{0, 0, 5000 & 0x7FF, 5000 >> 11}));
    }
}

TEST(Packing, SingleVertex)
{
    Packed p = pack(meshletOf(1, 1, {{77}, {3}}), 2);
    EXPECT_EQ(p.header[7], 0u);
    EXPECT_EQ(p.channels[0], (std::vector<uint32_t>{77, 0}));
    EXPECT_EQ(p.channels[1], (std::vector<uint32_t>{3, 0}));
}

TEST(Packing, HeaderWords)
{
    EncodedMeshlet m = meshletOf(1, 1, {{0}});
    m.coneAxis[0] = 0;
    m.coneAxis[1] = 0;
    m.coneAxis[2] = 1;
    m.coneSpread = 0;
    const float boxMin[3] = {3, 0, 7}, boxMax[3] = {10, 2, 7};
    std::copy_n(boxMin, 3, m.boxMin);
    std::copy_n(boxMax, 3, m.boxMax);
    Packed p = pack(m, 1);
    EXPECT_EQ(std::vector<uint32_t>(p.header.begin(), p.header.begin() + 6), (std::vector<uint32_t>{3, 0, 7, 7, 2, 0}));
    EXPECT_EQ(p.header[6], 128u | (128u << 8) | (255u << 16) | (128u << 24));

    // Truncation toward zero as signed integers.
    m.boxMin[0] = -2.75f;
    m.boxMax[0] = 3.5f;
    p = pack(m, 1);
    EXPECT_EQ(p.header[0], uint32_t(-2));
    EXPECT_EQ(p.header[3], 6u);
}

TEST(Packing, GlobalSymbolRuns)
{
    EncodedMeshlet m = meshletOf(10, 4, {{0, 0, 0, 0}});
    m.topology.isFirstCount = 9;
    m.topology.isFirstBits = {0x1A5};
    m.topology.edgeBits = {0x1FF};
    m.topology.restartBits = {0x100};
    m.topology.indexData = {5, 3, 3};
    m.topology.groupId = 12;
    uint32_t sums[3] = {4000, 5000000, 7}; // vertices, triangles, index words before
    Packed p = pack(m, 1, sums);
    EXPECT_EQ(p.global[vmq::ELEM_COUNTS], (std::vector<uint32_t>{9, 3, 10, 4}));
    EXPECT_EQ(p.global[vmq::OTHER_DATA],
              (std::vector<uint32_t>{5000000 & 0x7FF, (5000000 >> 11) & 0x7FF, 5000000 >> 22, 4000 & 0x7FF, 4000 >> 11, 0, 7, 0, 0, 12}));
    EXPECT_EQ(p.global[vmq::EDGE_FLAGS], (std::vector<uint32_t>{0xFF, 0x01}));
    EXPECT_EQ(p.global[vmq::RESTART_FLAGS], (std::vector<uint32_t>{0x00, 0x01}));
    EXPECT_EQ(p.global[vmq::IS_FIRST], (std::vector<uint32_t>{0xA5, 0x01}));
    EXPECT_EQ(p.global[vmq::INDEX_DATA], (std::vector<uint32_t>{10, 3, 0}));
    EXPECT_EQ(sums[0], 4004u);
    EXPECT_EQ(sums[1], 5000010u);
    EXPECT_EQ(sums[2], 8u);
}

TEST(Packing, FlagByteCounts)
{
    for (auto [triangles, bytes] : {std::pair{1u, 0u}, {9u, 1u}, {10u, 2u}}) {
        SCOPED_TRACE(triangles);
        Packed p = pack(meshletOf(triangles, 3, {{0, 0, 0}}), 1);
        EXPECT_EQ(p.global[vmq::EDGE_FLAGS].size(), bytes);
        CompressionContext context = contextOf(1);
        uint32_t s[3] = {0, 0, 0};
        vmq::packMeshlet(context, meshletOf(triangles, 3, {{0, 0, 0}}), s[0], s[1], s[2]);
        // Marker, 4 counts, 10 others and the flag bytes; no IS_FIRST or index symbols.
        EXPECT_EQ(context.globalCoder.pushedSymbolCount(), 1 + 4 + 10 + 2 * bytes);
    }
}

TEST(Packing, LimitsRaiseNamedErrors)
{
    struct Case {
        const char* name;
        EncodedMeshlet meshlet;
        const char* message;
    };
    std::vector<Case> cases;
    cases.push_back({"vertex count", meshletOf(1, 2048, {std::vector<uint32_t>(2048, 0)}), "vertex count is 2048"});
    cases.push_back({"triangle count", meshletOf(2048, 3, {{0, 0, 0}}), "triangle count is 2048"});
    EncodedMeshlet group = meshletOf(1, 3, {{0, 0, 0}});
    group.topology.groupId = 2048;
    cases.push_back({"group id", group, "group id is 2048"});
    EncodedMeshlet index = meshletOf(1, 3, {{0, 0, 0}});
    index.topology.indexData = {0, 1024};
    cases.push_back({"index delta", index, "index delta 2048"});
    cases.push_back({"residual of vertex 0", meshletOf(1, 2, {{1u << 22, 0}}), "residual 4194304 of channel 0 at vertex 0"});
    cases.push_back({"wide residual", meshletOf(1, 2, {{0, 1u << 22}}), "residual 4194304 of channel 0 at vertex 1"});
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        CompressionContext context = contextOf(1);
        uint32_t s[3] = {0, 0, 0};
        try {
            vmq::packMeshlet(context, k.meshlet, s[0], s[1], s[2]);
            ADD_FAILURE() << "no error";
        } catch (const vmq::CompressionError& error) {
            EXPECT_NE(std::string(error.what()).find(k.message), std::string::npos) << error.what();
        }
    }
}

} // namespace
