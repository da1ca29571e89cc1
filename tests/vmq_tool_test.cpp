// The vmq tool: the container file, the bit accounting, the renderer, export and verify, and the
// command line's exit statuses. Records are built here symbol by symbol in the packing order, so
// that they decode without the meshlet encoder.
#include "commands.h"
#include "container.h"
#include "decoding.h"
#include "mesh_import.h"
#include "pipeline/context.h"
#include "render.h"
#include "stream_stats.h"
#include "verify.h"

#include "record_equality.h"
#include "test_paths.h"
#include "tool_runner.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using namespace vmq_tool;

// A record of one-triangle meshlets with three position channels of 4 grid bits over [0, 16],
// so that a decoded position equals its grid value; grid values up to 8 also quantise back to
// themselves.
struct HandMadeRecord {
    struct Meshlet {
        uint32_t groupId;
        uint32_t grid[3][3]; // vertex, channel
    };
    std::vector<uint32_t> streamWords, tableBlob, bitOffsets, valueOffsets, triangleOffsets, headers;
    std::vector<QuantParams> quantParams;
    std::vector<int32_t> kinds;
    std::vector<std::vector<uint32_t>> channelWords, channelTables, channelOffsets;
    std::vector<ChannelStreams> channels;
    CompressedMesh mesh{};

    explicit HandMadeRecord(const std::vector<Meshlet>& meshlets)
    {
        using namespace vmq;
        StreamCoder global = makeGlobalCoder();
        std::vector<StreamCoder> coders;
        for (int c = 0; c < 3; ++c)
            coders.push_back(makeChannelCoder());
        auto push32 = [&](uint32_t v) {
            global.pushSymbol(OTHER_DATA, v & 0x7FF);
            global.pushSymbol(OTHER_DATA, (v >> 11) & 0x7FF);
            global.pushSymbol(OTHER_DATA, v >> 22);
        };
        auto zigzag = [](int32_t x) { return x < 0 ? (uint32_t(~x) << 1) | 1u : uint32_t(x) << 1; };
        uint32_t m = 0;
        for (const Meshlet& meshlet : meshlets) {
            global.pushSymbol(BLOCK_OFFSET_SYMBOL, 0);
            for (uint32_t v : {0u, 0u, 1u, 3u}) // isFirstCount, index count, T, V
                global.pushSymbol(ELEM_COUNTS, v);
            push32(m);     // triangle offset
            push32(3 * m); // vertex offset
            push32(0);     // index-word offset
            global.pushSymbol(OTHER_DATA, meshlet.groupId);
            uint32_t lo[3], hi[3];
            for (int c = 0; c < 3; ++c) {
                // Delta prediction along the three vertices; residuals stay below 32, one pair symbol.
                const uint32_t r0 = zigzag(int32_t(meshlet.grid[0][c]));
                const uint32_t r1 = zigzag(int32_t(meshlet.grid[1][c]) - int32_t(meshlet.grid[0][c]));
                const uint32_t r2 = zigzag(int32_t(meshlet.grid[2][c]) - int32_t(meshlet.grid[1][c]));
                coders[c].pushSymbol(ATTRIB_BLOCK_OFFSET, 0);
                coders[c].pushSymbol(ATTRIB_DATA, r0 & 0x7FF);
                coders[c].pushSymbol(ATTRIB_DATA, r0 >> 11);
                coders[c].pushSymbol(ATTRIB_DATA, (r1 | (r2 << 5)) * 2 + 1);
                lo[c] = std::min({meshlet.grid[0][c], meshlet.grid[1][c], meshlet.grid[2][c]});
                hi[c] = std::max({meshlet.grid[0][c], meshlet.grid[1][c], meshlet.grid[2][c]});
            }
            headers.insert(headers.end(), {lo[0], lo[1], lo[2], hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 0x80FF8080u, 0});
            triangleOffsets.push_back(m);
            valueOffsets.push_back(9 * m);
            for (int c = 0; c < 3; ++c) {
                mesh.boundsMin[c] = m ? std::min(mesh.boundsMin[c], float(lo[c])) : float(lo[c]);
                mesh.boundsMax[c] = m ? std::max(mesh.boundsMax[c], float(hi[c])) : float(hi[c]);
            }
            ++m;
        }
        global.encodeStreams();
        streamWords = global.streamWords();
        tableBlob = global.tableBlob();
        bitOffsets = global.blockOffsets(BLOCK_OFFSET_SYMBOL);
        for (int c = 0; c < 3; ++c) {
            coders[c].encodeStreams();
            channelWords.push_back(coders[c].streamWords());
            channelTables.push_back(coders[c].tableBlob());
            channelOffsets.push_back(coders[c].blockOffsets(ATTRIB_BLOCK_OFFSET));
            quantParams.push_back({0.0f, 16.0f, 4.0f});
            kinds.push_back(POSITION);
        }
        // Spans must not be null, even empty ones.
        for (auto* list : {&streamWords, &bitOffsets, &valueOffsets, &triangleOffsets, &headers})
            list->reserve(1);
        for (int c = 0; c < 3; ++c) {
            channelWords[c].reserve(1);
            channelOffsets[c].reserve(1);
            channels.push_back({channelWords[c].data(), channelWords[c].data() + channelWords[c].size(), channelTables[c].data(),
                                channelTables[c].data() + channelTables[c].size(), channelOffsets[c].data(),
                                channelOffsets[c].data() + channelOffsets[c].size()});
        }
        mesh.meshletCount = m;
        mesh.triangleCount = m;
        mesh.vertexCount = 3 * m;
        mesh.indexWordCount = 0;
        mesh.channelCount = 3;
        mesh.valueCount = 9 * m;
        mesh.streamWordsBegin = streamWords.data(), mesh.streamWordsEnd = streamWords.data() + streamWords.size();
        mesh.tableBlobBegin = tableBlob.data(), mesh.tableBlobEnd = tableBlob.data() + tableBlob.size();
        mesh.meshletBitOffsetsBegin = bitOffsets.data(), mesh.meshletBitOffsetsEnd = bitOffsets.data() + bitOffsets.size();
        mesh.channels = channels.data();
        mesh.meshletValueOffsetsBegin = valueOffsets.data(), mesh.meshletValueOffsetsEnd = valueOffsets.data() + valueOffsets.size();
        mesh.meshletTriangleOffsetsBegin = triangleOffsets.data();
        mesh.meshletTriangleOffsetsEnd = triangleOffsets.data() + triangleOffsets.size();
        mesh.quantParamsBegin = quantParams.data(), mesh.quantParamsEnd = quantParams.data() + quantParams.size();
        mesh.channelKindsBegin = kinds.data(), mesh.channelKindsEnd = kinds.data() + kinds.size();
        mesh.meshletHeadersBegin = headers.data(), mesh.meshletHeadersEnd = headers.data() + headers.size();
    }
};

// A 2x1 grid of quads, four triangles: group 0 on the left, group 1 on the right.
std::vector<HandMadeRecord::Meshlet> twoQuads()
{
    return {{0, {{0, 0, 0}, {4, 0, 0}, {4, 8, 0}}},
            {0, {{0, 0, 0}, {4, 8, 0}, {0, 8, 0}}},
            {1, {{4, 0, 0}, {8, 0, 2}, {8, 8, 2}}},
            {1, {{4, 0, 0}, {8, 8, 2}, {4, 8, 0}}}};
}

// The same four triangles as a source mesh (shared vertices).
SourceMesh twoQuadsSource()
{
    SourceMesh s;
    s.attributes = {{POSITION, 3, {0, 0, 0, 4, 0, 0, 4, 8, 0, 0, 8, 0, 8, 0, 2, 8, 8, 2}}};
    s.triangles = {{{0, 1, 2}}, {{0, 2, 3}}, {{1, 4, 5}}, {{1, 5, 2}}};
    s.groups = {0, 0, 1, 1};
    s.materialNames = {"left", "right"};
    return s;
}

ContainerHeader sampleHeader()
{
    ContainerHeader header;
    header.settings.positionQuality = 0.75f;
    header.settings.disableParallelogramPrediction = 1;
    header.settings.maxMeshletVertices = 128;
    header.materialNames = {"left", "right", ""};
    header.sourceName = "quads.obj";
    return header;
}

std::string tempPath(const std::string& name)
{
    return vmq_test::tempPath(name);
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> meshContainer(const CompressedMesh& mesh, int32_t predictionMode = 0, const ContainerHeader& header = sampleHeader())
{
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(encodeMeshContainer(header, mesh, predictionMode, bytes, error)) << error;
    return bytes;
}

std::vector<uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(VmqContainer, MeshRoundTripIsExact)
{
    const HandMadeRecord record(twoQuads());
    const ContainerHeader header = sampleHeader();
    const std::vector<uint8_t> bytes = meshContainer(record.mesh, PELKU_VMQ_PREDICTION_DELTA);

    Container read;
    std::string error;
    ASSERT_TRUE(decodeContainer(bytes.data(), bytes.size(), read, error)) << error;
    ASSERT_EQ(read.meshes.size(), 1u);
    EXPECT_EQ(read.versionMajor, 2);
    EXPECT_EQ(read.header.kind, ContainerKind::Mesh);
    EXPECT_EQ(read.header.materialNames, header.materialNames);
    EXPECT_EQ(read.header.sourceName, "quads.obj");
    EXPECT_EQ(0, std::memcmp(&read.header.settings, &header.settings, sizeof header.settings));
    EXPECT_EQ(read.meshes[0].predictionMode, PELKU_VMQ_PREDICTION_DELTA);
    vmq_test::expectSameRecord(record.mesh, read.meshes[0].mesh());
    EXPECT_EQ(read.meshes[0].mesh().partition, nullptr);
    // Written again, the same bytes.
    EXPECT_EQ(meshContainer(read.meshes[0].mesh(), read.meshes[0].predictionMode, read.header), bytes);

    // The record read back decodes like the original.
    DecodedMesh* original = Pelku_Vmq_Compression_DecodeMesh(&record.mesh, PELKU_VMQ_PREDICTION_DELTA);
    DecodedMesh* fromFile = Pelku_Vmq_Compression_DecodeMesh(&read.meshes[0].mesh(), read.meshes[0].predictionMode);
    ASSERT_NE(original, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    ASSERT_NE(fromFile, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_EQ(std::vector<float>(original->valuesBegin, original->valuesEnd), std::vector<float>(fromFile->valuesBegin, fromFile->valuesEnd));
    EXPECT_EQ(std::vector<float>(fromFile->valuesBegin, fromFile->valuesBegin + 9),
              (std::vector<float>{0, 0, 0, 4, 0, 0, 4, 8, 0}));
    Pelku_Vmq_Compression_ReleaseDecodedMesh(original);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(fromFile);
}

TEST(VmqContainer, SequenceAndEmptyRecordsRoundTrip)
{
    // A record without meshlets, as an empty partition gives it.
    const std::vector<float> positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const std::vector<Triangle> triangles = {{{0, 1, 2}}};
    const std::vector<uint32_t> groups = {0};
    const MeshAttribute position = {POSITION, positions.data(), positions.data() + 9, 3};
    MeshDescriptor descriptor{};
    descriptor.trianglesBegin = triangles.data(), descriptor.trianglesEnd = triangles.data() + 1;
    descriptor.attributesBegin = &position, descriptor.attributesEnd = &position + 1;
    descriptor.triangleGroupsBegin = groups.data(), descriptor.triangleGroupsEnd = groups.data() + 1;
    MeshletPartition empty;
    descriptor.partition = &empty;
    CompressionSettings settings{};
    CompressedMesh* emptyRecord = Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings);
    ASSERT_NE(emptyRecord, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    const HandMadeRecord record(twoQuads());

    ContainerHeader header = sampleHeader();
    header.kind = ContainerKind::Sequence;
    header.sequence.transform[12] = 2.5f;
    header.sequence.trimEmptyFrames = 1;
    CompressedMesh* frames[5] = {nullptr, emptyRecord, nullptr, const_cast<CompressedMesh*>(&record.mesh), nullptr};
    const char* names[2] = {"skin", "cloth"};
    CompressedSequence sequence{};
    sequence.frameCount = 5;
    sequence.frameDuration = 1.0f / 24;
    sequence.staticTopology = 1;
    sequence.staticAttributeMask = 0x9;
    sequence.frames = frames;
    sequence.materialNamesBegin = names;
    sequence.materialNamesEnd = names + 2;
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(encodeSequenceContainer(header, sequence, 0, bytes, error)) << error;

    Container read;
    ASSERT_TRUE(decodeContainer(bytes.data(), bytes.size(), read, error)) << error;
    ASSERT_EQ(read.meshes.size(), 2u);
    EXPECT_EQ(read.frame(0), nullptr);
    ASSERT_NE(read.frame(1), nullptr);
    ASSERT_NE(read.frame(3), nullptr);
    vmq_test::expectSameRecord(*emptyRecord, read.frame(1)->mesh());
    vmq_test::expectSameRecord(record.mesh, read.frame(3)->mesh());
    EXPECT_EQ(read.header.sequence.frameCount, 5u);
    EXPECT_EQ(read.header.sequence.frameDuration, 1.0f / 24);
    EXPECT_EQ(read.header.sequence.staticAttributeMask, 0x9u);
    EXPECT_EQ(read.header.sequence.transform[12], 2.5f);
    EXPECT_EQ(read.header.sequence.trimEmptyFrames, 1);
    EXPECT_EQ(read.header.materialNames, (std::vector<std::string>{"skin", "cloth"}));
    // An empty record still decodes.
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&read.frame(1)->mesh(), 0);
    ASSERT_NE(decoded, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_EQ(decoded->triangleCount, 0u);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(emptyRecord);
}

TEST(VmqContainer, EveryTruncationAndByteFlipIsRefused)
{
    const HandMadeRecord record(twoQuads());
    // The version this tool writes, and a version 1 file, which it still reads.
    for (const std::vector<uint8_t>& bytes : {meshContainer(record.mesh), readBytes(std::string(PELKU_VMQ_TEST_DATA_DIR) + "/quads_v1.vmq")}) {
        ASSERT_GT(bytes.size(), 100u);
        Container read;
        std::string error;
        ASSERT_TRUE(decodeContainer(bytes.data(), bytes.size(), read, error)) << error;
        for (size_t length = 0; length < bytes.size(); ++length) {
            ASSERT_FALSE(decodeContainer(bytes.data(), length, read, error)) << "truncated to " << length;
            if (length >= 32) {
                EXPECT_NE(error.find("truncated"), std::string::npos) << error;
            }
        }
        for (size_t at = 0; at < bytes.size(); ++at) {
            std::vector<uint8_t> corrupted = bytes;
            corrupted[at] ^= 0x10;
            EXPECT_FALSE(decodeContainer(corrupted.data(), corrupted.size(), read, error)) << "byte " << at;
            EXPECT_FALSE(error.empty());
        }
        std::vector<uint8_t> longer = bytes;
        longer.push_back(0);
        EXPECT_FALSE(decodeContainer(longer.data(), longer.size(), read, error));

        // Clear messages for the common cases.
        const struct {
            size_t at;
            const char* messagePart;
        } cases[] = {{0, "not a .vmq container"}, {20, "header fails its checksum"}, {bytes.size() - 9, "fails its checksum"}};
        for (const auto& c : cases) {
            std::vector<uint8_t> corrupted = bytes;
            corrupted[c.at] ^= 0xFF;
            EXPECT_FALSE(decodeContainer(corrupted.data(), corrupted.size(), read, error));
            EXPECT_NE(error.find(c.messagePart), std::string::npos) << error;
        }
        // A later major version is refused by name.
        std::vector<uint8_t> future = bytes;
        future[8] = 3;
        EXPECT_FALSE(decodeContainer(future.data(), future.size(), read, error));
        EXPECT_NE(error.find("version 3.0 is not supported"), std::string::npos) << error;
    }
}

TEST(VmqContainer, FileErrorsNameTheFile)
{
    Container read;
    std::string error;
    const std::string missing = tempPath("missing.vmq");
    std::remove(missing.c_str());
    EXPECT_FALSE(readContainerFile(missing, read, error));
    EXPECT_EQ(error.rfind(missing + ": cannot open", 0), 0u) << error;

    const HandMadeRecord record(twoQuads());
    std::vector<uint8_t> bytes = meshContainer(record.mesh);
    bytes.resize(bytes.size() / 2);
    const std::string cut = tempPath("cut.vmq");
    writeBytes(cut, bytes);
    EXPECT_FALSE(readContainerFile(cut, read, error));
    EXPECT_EQ(error.rfind(cut + ": the serialized record is truncated", 0), 0u) << error;
}

// Version 1 files, written by the tool before the serialized form, still read: a mesh (the OBJ
// beside it) and a sequence (two_meshes_10_24.abc, --trim), whose frames are what the library
// makes of the archive today.
TEST(VmqContainer, Version1FilesStillRead)
{
    Container mesh;
    std::string error;
    ASSERT_TRUE(readContainerFile(std::string(PELKU_VMQ_TEST_DATA_DIR) + "/quads_v1.vmq", mesh, error)) << error;
    EXPECT_EQ(mesh.versionMajor, 1);
    EXPECT_FALSE(mesh.hasStorage);
    EXPECT_EQ(mesh.header.sourceName, "quads.obj");
    EXPECT_EQ(mesh.header.settings.positionQuality, 0.75f);
    EXPECT_EQ(mesh.header.materialNames, (std::vector<std::string>{"DefaultMaterial", "left", "right"}));
    ASSERT_EQ(mesh.meshes.size(), 1u);
    EXPECT_EQ(mesh.meshes[0].mesh().triangleCount, 8u);
    // Rewritten as version 2, the same record.
    const std::vector<uint8_t> rewritten = meshContainer(mesh.meshes[0].mesh(), 0, mesh.header);
    Container again;
    ASSERT_TRUE(decodeContainer(rewritten.data(), rewritten.size(), again, error)) << error;
    vmq_test::expectSameRecord(mesh.meshes[0].mesh(), again.meshes[0].mesh());
    EXPECT_EQ(again.header.materialNames, mesh.header.materialNames);

    const std::string archive = std::string(PELKU_VMQ_SHARED_DIR) + "/fixtures/abc/two_meshes_10_24.abc";
    if (!std::ifstream(archive)) {
        if (vmq_test::sharedDataRequired())
            FAIL() << archive << " is missing";
        GTEST_SKIP() << archive << " is missing";
    }
    Container sequence;
    ASSERT_TRUE(readContainerFile(std::string(PELKU_VMQ_TEST_DATA_DIR) + "/two_meshes_10_24_v1.vmq", sequence, error)) << error;
    ASSERT_EQ(sequence.header.kind, ContainerKind::Sequence);
    SequenceSettings settings{};
    settings.trimEmptyFrames = 1;
    std::unique_ptr<CompressedSequence, void (*)(CompressedSequence*)> today(
        Pelku_Vmq_Compression_CompressAlembicFile(archive.c_str(), &settings, 1, nullptr, nullptr), Pelku_Vmq_Compression_ReleaseCompressedSequence);
    ASSERT_NE(today, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    ASSERT_EQ(sequence.header.sequence.frameCount, today->frameCount);
    EXPECT_EQ(sequence.header.sequence.staticTopology, today->staticTopology);
    ASSERT_EQ(sequence.meshes.size(), today->frameCount);
    for (const StoredMesh& stored : sequence.meshes)
        vmq_test::expectSameRecord(*today->frames[stored.frameIndex], stored.mesh(), "frame " + std::to_string(stored.frameIndex));
}

TEST(VmqStreamStats, CountsEverySymbolOfEveryMeshlet)
{
    const HandMadeRecord record(twoQuads());
    RecordStats stats;
    std::string error;
    ASSERT_TRUE(computeRecordStats(record.mesh, stats, error)) << error;
    EXPECT_EQ(stats.globalStreamSymbols[0], 16u); // 4 counts per meshlet
    EXPECT_EQ(stats.globalStreamSymbols[1], 40u); // 9 offset pieces and the group id
    EXPECT_EQ(stats.globalStreamSymbols[2] + stats.globalStreamSymbols[3] + stats.globalStreamSymbols[4] + stats.globalStreamSymbols[5], 0u);
    EXPECT_EQ(stats.globalStreamBits[6], 0u);
    uint64_t meshletSum = 0;
    for (uint64_t bits : stats.meshletBits)
        meshletSum += bits;
    EXPECT_EQ(meshletSum, stats.symbolBits());
    // Symbols, and the padding of each stream's last word, fill the streams exactly.
    uint64_t streamBits = 32 * record.streamWords.size();
    for (const auto& words : record.channelWords)
        streamBits += 32 * words.size();
    EXPECT_EQ(stats.symbolBits() + stats.paddingBits, streamBits);
    EXPECT_EQ(stats.headerBits, 4u * 8 * 32);
    EXPECT_EQ(stats.meshletTriangles, (std::vector<uint32_t>{1, 1, 1, 1}));
}

TEST(VmqRender, PictureHasItsSizeAndOneColourPerMeshlet)
{
    const HandMadeRecord record(twoQuads());
    DecodedGeometry decoded;
    std::string error;
    ASSERT_TRUE(decodeRecord(record.mesh, 0, decoded, true, error)) << error;
    RenderInput input;
    for (size_t v = 0; v < decoded.vertexCount(); ++v)
        input.positions.insert(input.positions.end(), decoded.values.begin() + v * 3, decoded.values.begin() + v * 3 + 3);
    input.triangles = decoded.triangles;
    for (uint32_t m = 0; m < 4; ++m) {
        input.triangleMeshlet.push_back(m);
        input.meshletColours.push_back(meshletColour(m));
    }
    RenderOptions options;
    options.width = 64;
    options.height = 48;
    options.azimuthDegrees = 0;
    options.elevationDegrees = 0;
    const Image image = renderMesh(input, options);
    ASSERT_EQ(image.width, 64u);
    ASSERT_EQ(image.height, 48u);
    ASSERT_EQ(image.rgb.size(), 64u * 48 * 3);

    // Every meshlet is seen, and no colour belongs to two meshlets.
    std::vector<std::set<uint32_t>> colours(4);
    size_t background = 0;
    for (size_t p = 0; p < image.meshletIds.size(); ++p) {
        const uint32_t rgb = uint32_t(image.rgb[p * 3]) << 16 | uint32_t(image.rgb[p * 3 + 1]) << 8 | image.rgb[p * 3 + 2];
        if (image.meshletIds[p] < 0) {
            ++background;
            continue;
        }
        colours[size_t(image.meshletIds[p])].insert(rgb);
    }
    EXPECT_GT(background, 0u);
    for (uint32_t a = 0; a < 4; ++a) {
        EXPECT_FALSE(colours[a].empty()) << "meshlet " << a;
        for (uint32_t b = a + 1; b < 4; ++b)
            for (uint32_t rgb : colours[a])
                EXPECT_EQ(colours[b].count(rgb), 0u) << "meshlets " << a << " and " << b;
    }

    const std::string path = tempPath("render.png");
    ASSERT_TRUE(writePng(path, image, error)) << error;
    int width = 0, height = 0, components = 0;
    ASSERT_TRUE(stbi_info(path.c_str(), &width, &height, &components));
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);
}

TEST(VmqExport, DecodedMeshComesBackWithOneObjectPerGroup)
{
    const HandMadeRecord record(twoQuads());
    DecodedGeometry decoded;
    std::string error;
    ASSERT_TRUE(decodeRecord(record.mesh, 0, decoded, true, error)) << error;
    const std::vector<GroupMesh> groups = splitByGroup(decoded);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].triangles.size(), 6u);
    EXPECT_EQ(groups[0].sourceVertex.size(), 4u); // welded: the quad's four corners

    for (const char* extension : {".obj", ".ply", ".glb"}) {
        const std::string path = tempPath(std::string("export") + extension);
        ASSERT_TRUE(exportDecoded(path, decoded, {"left", "right"}, error)) << error;
        SourceMesh back;
        ASSERT_TRUE(importMesh(path, back, error)) << error;
        EXPECT_EQ(back.triangles.size(), 4u) << extension;
        // Read back, it has the decoded mesh's topology; PLY keeps no materials.
        const VerifyReport report = verifyDecoded(back, record.mesh, decoded, {"left", "right"});
        EXPECT_EQ(report.matched, 4u) << extension << ": " << report.problem;
        if (std::string(extension) != ".ply") {
            EXPECT_EQ(std::set<uint32_t>(back.groups.begin(), back.groups.end()).size(), 2u) << extension;
        }
    }
    EXPECT_FALSE(exportDecoded(tempPath("export.xyz"), decoded, {}, error));
}

TEST(VmqVerify, FindsChangedTopologyGroupsAndValues)
{
    const HandMadeRecord record(twoQuads());
    DecodedGeometry decoded;
    std::string error;
    ASSERT_TRUE(decodeRecord(record.mesh, 0, decoded, true, error)) << error;

    const VerifyReport good = verifyDecoded(twoQuadsSource(), record.mesh, decoded, {"left", "right"});
    EXPECT_TRUE(good.passed()) << good.problem;
    EXPECT_EQ(good.matched, 4u);
    ASSERT_EQ(good.errors.size(), 1u);
    EXPECT_EQ(good.errors[0].maxError, 0.0);

    SourceMesh flipped = twoQuadsSource();
    std::swap(flipped.triangles[2].indices[1], flipped.triangles[2].indices[2]);
    const VerifyReport winding = verifyDecoded(flipped, record.mesh, decoded, {"left", "right"});
    EXPECT_FALSE(winding.passed());
    EXPECT_EQ(winding.missing, 1u);
    EXPECT_EQ(winding.extra, 1u);

    SourceMesh regrouped = twoQuadsSource();
    regrouped.groups[0] = 1;
    EXPECT_EQ(verifyDecoded(regrouped, record.mesh, decoded, {"left", "right"}).groupMismatches, 1u);
    // Groups are matched by name: the same names under other numbers agree.
    SourceMesh renumbered = twoQuadsSource();
    renumbered.materialNames = {"DefaultMaterial", "left", "right"};
    renumbered.groups = {1, 1, 2, 2};
    EXPECT_TRUE(verifyDecoded(renumbered, record.mesh, decoded, {"left", "right"}).passed());
    EXPECT_EQ(verifyDecoded(renumbered, record.mesh, decoded, {}).groupMismatches, 4u);

    SourceMesh moved = twoQuadsSource();
    moved.attributes[0].values[1] += 0.4f; // within the grid cell: same topology, larger error
    const VerifyReport nudged = verifyDecoded(moved, record.mesh, decoded, {"left", "right"});
    EXPECT_TRUE(nudged.passed()) << nudged.problem;
    EXPECT_NEAR(nudged.errors[0].maxError, 0.4, 1e-6);

    SourceMesh degenerate = twoQuadsSource();
    degenerate.triangles.push_back({{0, 0, 1}});
    degenerate.groups.push_back(0);
    const VerifyReport dropped = verifyDecoded(degenerate, record.mesh, decoded, {"left", "right"});
    EXPECT_TRUE(dropped.passed()) << dropped.problem;
    EXPECT_EQ(dropped.droppedDegenerate, 1u);
}

TEST(VmqVerify, KeptTriangleWithTwoCoincidentCornersMatchesInAnyRotation)
{
    // The source triangle (p, p', q): p and p' fall on one grid point P, so its key is (P, P, Q).
    // The decoder gives it back rotated, as (P, Q, P), winding kept.
    std::vector<HandMadeRecord::Meshlet> meshlets = twoQuads();
    meshlets.push_back({0, {{4, 0, 0}, {8, 8, 2}, {4, 0, 0}}});
    const HandMadeRecord record(meshlets);
    DecodedGeometry decoded;
    std::string error;
    ASSERT_TRUE(decodeRecord(record.mesh, 0, decoded, true, error)) << error;

    SourceMesh source = twoQuadsSource();
    source.attributes[0].values.insert(source.attributes[0].values.end(), {4.3f, 0, 0}); // vertex 6, p'
    source.triangles.push_back({{1, 6, 5}});
    source.groups.push_back(0);
    const VerifyReport report = verifyDecoded(source, record.mesh, decoded, {"left", "right"});
    EXPECT_TRUE(report.passed()) << report.problem;
    EXPECT_EQ(report.matched, 5u);
    EXPECT_EQ(report.extra, 0u);
    EXPECT_EQ(report.droppedDegenerate, 0u);
    ASSERT_EQ(report.errors.size(), 1u);
    EXPECT_NEAR(report.errors[0].maxError, 0.3, 1e-6); // p' against P: the corners pair up in order
}

// Compresses a source mesh with the library and decodes it.
struct Compressed {
    std::unique_ptr<CompressedMesh, void (*)(CompressedMesh*)> record{nullptr, Pelku_Vmq_Compression_ReleaseCompressedMesh};
    DecodedGeometry decoded;

    explicit Compressed(const SourceMesh& source)
    {
        std::vector<MeshAttribute> attributes;
        const MeshDescriptor descriptor = makeDescriptor(source, attributes);
        const CompressionSettings settings{};
        record.reset(Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings));
        EXPECT_NE(record, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
        std::string error;
        if (record) {
            EXPECT_TRUE(decodeRecord(*record, predictionModeFor(settings), decoded, true, error)) << error;
        }
    }
};

TEST(VmqVerify, CoincidentTrianglesPairByTheirValues)
{
    // Two triangles over the same three positions with the same winding, one facing +z and one
    // -z (a double-sided face, or two coincident shells), and a third elsewhere so that the grid
    // has some extent. In either file order each pairs with its own decoded triangle.
    auto mesh = [](bool upFirst) {
        SourceMesh s;
        s.attributes = {{POSITION, 3, {}}, {NORMAL, 3, {}}};
        const float corners[3][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
        for (int side = 0; side < 2; ++side) {
            const float z = (side == 0) == upFirst ? 1.0f : -1.0f;
            for (const auto& p : corners) {
                s.attributes[0].values.insert(s.attributes[0].values.end(), {p[0], p[1], p[2]});
                s.attributes[1].values.insert(s.attributes[1].values.end(), {0, 0, z});
            }
        }
        s.attributes[0].values.insert(s.attributes[0].values.end(), {2, 0, 1, 3, 0, 1, 2, 1, 1});
        s.attributes[1].values.insert(s.attributes[1].values.end(), {0, 0.6f, 0.8f, 0, 0.6f, 0.8f, 0, 0.6f, 0.8f});
        s.triangles = {{{0, 1, 2}}, {{3, 4, 5}}, {{6, 7, 8}}};
        s.groups = {0, 0, 0};
        return s;
    };
    const Compressed compressed(mesh(true));
    ASSERT_NE(compressed.record, nullptr);
    for (bool upFirst : {true, false}) {
        const VerifyReport report = verifyDecoded(mesh(upFirst), *compressed.record, compressed.decoded, {});
        EXPECT_TRUE(report.passed()) << "up first " << upFirst << ": " << report.problem;
        EXPECT_EQ(report.matched, 3u);
        for (const KindError& e : report.errors)
            EXPECT_LE(e.maxError, e.bound) << kindName(e.kind) << ", up first " << upFirst;
    }
    // A source whose normals really differ from the container's still fails.
    SourceMesh turned = mesh(true);
    for (size_t v = 0; v < 6; ++v)
        turned.attributes[1].values[v * 3 + 2] = 0, turned.attributes[1].values[v * 3] = 1;
    EXPECT_FALSE(verifyDecoded(turned, *compressed.record, compressed.decoded, {}).passed());
}

TEST(VmqVerify, ProblemsCountInTheSingular)
{
    const HandMadeRecord record(twoQuads());
    DecodedGeometry decoded;
    std::string error;
    ASSERT_TRUE(decodeRecord(record.mesh, 0, decoded, true, error)) << error;
    SourceMesh fewer = twoQuadsSource();
    fewer.triangles.pop_back();
    fewer.groups.pop_back();
    EXPECT_EQ(verifyDecoded(fewer, record.mesh, decoded, {"left", "right"}).problem, "1 decoded triangle has no source triangle");
    SourceMesh regrouped = twoQuadsSource();
    regrouped.groups[0] = 1;
    EXPECT_EQ(verifyDecoded(regrouped, record.mesh, decoded, {"left", "right"}).problem, "1 triangle comes back in another group");
}

// Runs the tool; returns its exit status and fills its standard error.
int runTool(const std::string& arguments, std::string* errorText = nullptr, std::string* outputText = nullptr)
{
    const std::string errorPath = tempPath("stderr.txt"), outputPath = tempPath("stdout.txt");
    const std::string command = std::string("\"") + PELKU_VMQ_VMQ_TOOL + "\" " + arguments + " >" + outputPath + " 2>" + errorPath;
    const int status = std::system(command.c_str());
    auto slurp = [](const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (errorText)
        *errorText = slurp(errorPath);
    if (outputText)
        *outputText = slurp(outputPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Containers whose checksums hold but whose streams do not: `vmq info` and `vmq decode` stop at
// the first table that is not a code, the first symbol they cannot read or the first count that
// does not fit, and say which.
TEST(VmqCli, CorruptedStreamsFailWithTheirReason)
{
    struct Case {
        const char* what;
        std::function<void(HandMadeRecord&)> corrupt;
        const char* reason;
    };
    const Case cases[] = {
        {"every bit of the global stream set",
         [](HandMadeRecord& r) { std::fill(r.streamWords.begin(), r.streamWords.end(), 0xFFFFFFFFu); }, "starts at triangle"},
        {"a count symbol beyond the alphabet",
         [](HandMadeRecord& r) {
             for (uint32_t k = r.tableBlob[vmq::ELEM_COUNTS]; k < r.tableBlob[vmq::ELEM_COUNTS + 1]; ++k)
                 if (vmq::isLeafEntry(r.tableBlob[k]))
                     r.tableBlob[k] = vmq::leafEntry(4000);
         },
         "stream ELEM_COUNTS is not a tree"},
        {"every count 2047 at no bits",
         [](HandMadeRecord& r) { r.tableBlob[r.tableBlob[vmq::ELEM_COUNTS]] = vmq::leafEntry(2047); }, "stream ELEM_COUNTS is not a tree"},
        {"a meshlet that starts where the one before it starts",
         [](HandMadeRecord& r) { r.bitOffsets[1] = r.bitOffsets[0]; }, "meshlet 1"},
    };
    for (const Case& c : cases) {
        HandMadeRecord record(twoQuads());
        c.corrupt(record);
        const std::string path = tempPath("corrupted.vmq");
        writeBytes(path, meshContainer(record.mesh));
        std::string error;
        EXPECT_EQ(runTool("info " + path, &error), 1) << c.what;
        EXPECT_NE(error.find(path + ": frame 0: "), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(runTool("decode " + path + " -o " + tempPath("corrupted.obj"), &error), 1) << c.what;
        EXPECT_NE(error.find("Cannot decode"), std::string::npos) << c.what << ": " << error;
    }
}

TEST(VmqCli, ExitStatusesAndMessages)
{
    const HandMadeRecord record(twoQuads());
    const std::string good = tempPath("cli.vmq");
    std::string error, output;
    std::vector<uint8_t> bytes = meshContainer(record.mesh);
    ASSERT_TRUE(writeContainerFile(good, bytes, error)) << error;
    bytes[bytes.size() - 9] ^= 1;
    const std::string bad = tempPath("cli_bad.vmq");
    writeBytes(bad, bytes);

    const struct {
        std::string arguments;
        int status;
    } usage[] = {
        {"", 2},
        {"frobnicate", 2},
        {"--help", 0},
        {"compress --help", 0},
        {"info", 2},
        {"info " + good + " --bogus", 2},
        {"compress in.obj", 2},                                   // no -o
        {"compress in.obj -o x.vmq --position-quality 2", 2},     // out of range
        {"compress in.obj -o x.vmq --first-pass-meshlet-triangles 1", 2},
        {"render " + good + " -o x.png --stat colour", 2},
        {"decode " + good + " -o " + tempPath("x.xyz"), 2},
    };
    for (const auto& u : usage)
        EXPECT_EQ(runTool(u.arguments), u.status) << "vmq " << u.arguments;

    EXPECT_EQ(runTool("info " + bad, &error), 1);
    EXPECT_NE(error.find(bad + ": the serialized record is corrupted"), std::string::npos) << error;
    EXPECT_EQ(runTool("info " + tempPath("nowhere.vmq"), &error), 1);
    EXPECT_NE(error.find("nowhere.vmq: cannot open"), std::string::npos) << error;
    EXPECT_EQ(runTool("compress " + tempPath("nowhere.obj") + " -o " + tempPath("x.vmq"), &error), 1);
    EXPECT_NE(error.find("nowhere.obj"), std::string::npos) << error;

    EXPECT_EQ(runTool("info " + good, &error, &output), 0) << error;
    EXPECT_NE(output.find("meshlets     4"), std::string::npos) << output;
    EXPECT_NE(output.find("ELEM_COUNTS"), std::string::npos) << output;
    EXPECT_NE(output.find("container 2.0"), std::string::npos) << output;
    EXPECT_NE(output.find("storage                  record bytes  compact bytes  stored bytes"), std::string::npos) << output;
    EXPECT_NE(output.find("  tables "), std::string::npos) << output;
    EXPECT_EQ(runTool("info --json " + good, &error, &output), 0) << error;
    EXPECT_EQ(output.front(), '{');
    EXPECT_NE(output.find("\"meshlets\": 4"), std::string::npos) << output;
    EXPECT_NE(output.find("\"storage\": {\"fields\": {\"recordBytes\": "), std::string::npos) << output;

    const std::string picture = tempPath("cli.png");
    EXPECT_EQ(runTool("render " + good + " -o " + picture + " --width 40 --height 30 --stat bits -q", &error, &output), 0) << error;
    EXPECT_EQ(output, "");
    int width = 0, height = 0, components = 0;
    ASSERT_TRUE(stbi_info(picture.c_str(), &width, &height, &components));
    EXPECT_EQ(width, 40);
    EXPECT_EQ(height, 30);
    EXPECT_EQ(runTool("decode " + good + " -o " + tempPath("cli.obj"), &error), 0) << error;

    // verify against a source file: the decoded mesh written out is its own source.
    EXPECT_EQ(runTool("verify " + tempPath("cli.obj") + " " + good, &error, &output), 0) << error << output;
    EXPECT_NE(output.find("topology     exact"), std::string::npos) << output;
}

} // namespace
