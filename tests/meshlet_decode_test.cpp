// The per-meshlet decode routine against the format's reference reader (meshlet_decoder.h), bit for
// bit, on every shared mesh and the frames of an animated archive, through every way the library
// runs it: the whole-mesh decoder on one thread and on several, random access per meshlet (with and
// without grid values), and a device's schedule, the lanes of a warp, run here one lane after the
// other. Then the lookup reader against the bitwise tree walk, malformed records on every path, and
// the CUDA functions, which decode on a device where there is one and say why not elsewhere.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_cuda.h"
#include "pelku_vmq_decode.h"

#include "decode/decoder.h"
#include "decode/meshlet_decode.h"
#include "format/decode_table.h"
#include "meshlet_decoder.h"
#include "test_meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

// A decoded mesh as flat arrays; values compared as bit patterns.
struct Decoded {
    std::vector<uint32_t> triangles, grid, values;

    bool operator==(const Decoded&) const = default;
};

std::vector<uint32_t> bitsOf(const float* begin, const float* end)
{
    std::vector<uint32_t> bits(size_t(end - begin));
    if (!bits.empty())
        std::memcpy(bits.data(), begin, bits.size() * sizeof(float));
    return bits;
}

Decoded fromRecord(const DecodedMesh& mesh)
{
    return {{mesh.trianglesBegin, mesh.trianglesEnd}, {mesh.gridValuesBegin, mesh.gridValuesEnd}, bitsOf(mesh.valuesBegin, mesh.valuesEnd)};
}

// Meshlet by meshlet through the format's reference reader, dequantised as the format says.
Decoded referenceDecode(const CompressedMesh& mesh, bool deltaOnly)
{
    const size_t c = mesh.channelCount;
    Decoded out;
    out.triangles.resize(size_t(mesh.triangleCount) * 3);
    out.grid.resize(size_t(mesh.vertexCount) * c);
    std::vector<float> values(out.grid.size());
    for (uint32_t m = 0; m < mesh.meshletCount; ++m) {
        const vmq_test::MeshletSymbols symbols = vmq_test::readMeshletSymbols(mesh, m);
        const vmq_test::DecodedMeshlet meshlet = vmq_test::decodeMeshlet(symbols, deltaOnly);
        for (size_t t = 0; t < meshlet.triangles.size(); ++t)
            for (int k = 0; k < 3; ++k)
                out.triangles[(symbols.triangleOffset + t) * 3 + k] = symbols.vertexOffset + meshlet.triangles[t][k];
        for (size_t k = 0; k < c; ++k) {
            const QuantParams& q = mesh.quantParamsBegin[k];
            for (uint32_t v = 0; v < symbols.vertexCount; ++v) {
                const uint32_t grid = meshlet.values[k][v];
                out.grid[(symbols.vertexOffset + v) * c + k] = grid;
                values[(symbols.vertexOffset + v) * c + k] = float(int32_t(grid)) * exp2f(-q.bits) * (q.max - q.min) + q.min;
            }
        }
    }
    out.values = bitsOf(values.data(), values.data() + values.size());
    return out;
}

// The lanes of one warp per meshlet, as the device runs them, one lane after the other, with the
// scratch sized as the device sizes it.
bool laneDecode(const MeshDecoder& decoder, Decoded& out)
{
    const vmq::MeshView& view = decoder.view;
    constexpr uint32_t kLanes = 32;
    std::vector<float> values(size_t(decoder.vertexCount) * view.channelCount);
    out.triangles.assign(size_t(decoder.triangleCount) * 3, 0);
    out.grid.assign(values.size(), 0);
    const vmq::TopologyScratchSize size(decoder.largest);
    std::vector<uint32_t> storage(size.words);
    const vmq::TopologyScratch scratch = size.lists(storage.data());
    for (uint32_t m = 0; m < view.meshletCount; ++m) {
        bool failed = false;
        for (uint32_t lane = 0; lane < kLanes; ++lane) {
            uint32_t channel = 0;
            failed |= vmq::readMeshletOnLane(view, m, lane, kLanes, scratch, out.triangles.data(), out.grid.data(), channel) != vmq::DECODED;
        }
        if (failed)
            return false;
        for (uint32_t lane = 0; lane < kLanes; ++lane)
            vmq::finishMeshletOnLane(view, m, lane, kLanes, scratch.predictors, out.grid.data(), values.data());
    }
    out.values = bitsOf(values.data(), values.data() + values.size());
    return true;
}

// Every meshlet through the random-access path into whole-mesh arrays, in a shuffled order, with
// grid values or with values alone.
bool meshletDecode(const CompressedMesh& mesh, int32_t mode, bool withGrid, Decoded& out)
{
    MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(&mesh, mode);
    if (!decoder)
        return false;
    const size_t c = mesh.channelCount;
    std::vector<float> values(size_t(mesh.vertexCount) * c);
    out.triangles.assign(size_t(mesh.triangleCount) * 3, 0);
    out.grid.assign(values.size(), 0);
    std::vector<uint32_t> order(mesh.meshletCount);
    for (uint32_t m = 0; m < order.size(); ++m)
        order[m] = m;
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    std::vector<uint32_t> triangles(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS), grid(c * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
    std::vector<float> meshletValues(grid.size());
    bool ok = true;
    for (uint32_t m : order) {
        DecodedMeshletInfo info{};
        ok = ok && Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, triangles.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS,
                                                       withGrid ? grid.data() : nullptr, meshletValues.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS,
                                                       &info) == 1;
        if (!ok)
            break;
        std::copy_n(triangles.begin(), 3 * size_t(info.triangleCount), out.triangles.begin() + 3 * size_t(info.triangleOffset));
        if (withGrid)
            std::copy_n(grid.begin(), c * info.vertexCount, out.grid.begin() + c * info.vertexOffset);
        std::copy_n(meshletValues.begin(), c * info.vertexCount, values.begin() + c * info.vertexOffset);
    }
    Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
    out.values = bitsOf(values.data(), values.data() + values.size());
    return ok;
}

// Every way of decoding the record gives the reference reader's output.
void expectEveryPathDecodesAsTheReference(const CompressedMesh& mesh, int32_t mode)
{
    const Decoded expected = referenceDecode(mesh, mode == PELKU_VMQ_PREDICTION_DELTA);

    DecodedMesh* whole = Pelku_Vmq_Compression_DecodeMesh(&mesh, mode);
    ASSERT_NE(whole, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_TRUE(fromRecord(*whole) == expected) << "whole mesh, one thread";
    Pelku_Vmq_Compression_ReleaseDecodedMesh(whole);

    DecodedMesh* threaded = Pelku_Vmq_Compression_DecodeMeshWithThreads(&mesh, mode, 3);
    ASSERT_NE(threaded, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_TRUE(fromRecord(*threaded) == expected) << "whole mesh, three threads";
    Pelku_Vmq_Compression_ReleaseDecodedMesh(threaded);

    Decoded meshlets;
    ASSERT_TRUE(meshletDecode(mesh, mode, true, meshlets)) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_TRUE(meshlets == expected) << "meshlet by meshlet";
    Decoded valuesOnly;
    ASSERT_TRUE(meshletDecode(mesh, mode, false, valuesOnly)) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_EQ(valuesOnly.triangles, expected.triangles) << "meshlet by meshlet, values alone";
    EXPECT_EQ(valuesOnly.values, expected.values) << "meshlet by meshlet, values alone";

    MeshDecoder decoder;
    std::string error;
    ASSERT_TRUE(vmq::prepareDecoder(mesh, mode, decoder, error)) << error;
    Decoded lanes;
    ASSERT_TRUE(laneDecode(decoder, lanes));
    EXPECT_TRUE(lanes == expected) << "the lanes of a warp";
}

TEST(MeshletDecode, SharedMeshesDecodeAsTheReferenceReader)
{
    for (const char* name : {"pirate.obj", "spot.obj", "bob_tri.obj", "human_neutral.obj", "armadillo.obj", "bun_zipper.ply", "horse.ply",
                             "dragon.obj", "happy_buddha.obj", "igea.ply"}) {
        SCOPED_TRACE(name);
        VMQ_SHARED_MESH(mesh, name);
        const vmq_test::MeshInput input(*mesh);
        CompressionSettings settings{};
        CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
        ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
        expectEveryPathDecodesAsTheReference(*compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
    }
}

TEST(MeshletDecode, OtherSettingsDecodeAsTheReferenceReader)
{
    // Delta prediction; the finest grids, where residuals are wide; meshlets of up to 255 vertices.
    struct Case {
        const char* mesh;
        void (*change)(CompressionSettings&);
    };
    const Case cases[] = {
        {"spot.obj", [](CompressionSettings& s) { s.disableParallelogramPrediction = 1; }},
        {"bob_tri.obj", [](CompressionSettings& s) { s.positionQuality = s.normalQuality = s.texcoordQuality = 1.0f; }},
        {"armadillo.obj", [](CompressionSettings& s) { s.maxMeshletVertices = 255; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mesh);
        VMQ_SHARED_MESH(mesh, c.mesh);
        const vmq_test::MeshInput input(*mesh);
        CompressionSettings settings{};
        c.change(settings);
        CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
        ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
        expectEveryPathDecodesAsTheReference(*compressed, settings.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA
                                                                                                 : PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
    }
}

TEST(MeshletDecode, SequenceFramesDecodeAsTheReferenceReader)
{
    const std::string path = vmq_support::sharedPath("fixtures/abc/deform_24.abc");
    if (!std::filesystem::exists(path)) {
        if (vmq_test::sharedDataRequired())
            FAIL() << path << " is missing";
        GTEST_SKIP() << path << " is missing";
    }
    SequenceSettings settings{};
    CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, 2, nullptr, nullptr);
    ASSERT_NE(sequence, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    ASSERT_GT(sequence->frameCount, 1u);
    for (uint32_t f = 0; f < sequence->frameCount; ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        ASSERT_NE(sequence->frames[f], nullptr);
        expectEveryPathDecodesAsTheReference(*sequence->frames[f], PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    }
    Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
}

// A tree laid out as the writer lays it out, from the code lengths of its leaves (a complete
// prefix code, leaves in the order given): each inner node's children take the next two entries.
std::vector<uint32_t> treeOfLengths(const std::vector<uint32_t>& lengths)
{
    // Canonical codes, then a table built by inserting each code from the root.
    std::vector<uint32_t> table(1, 0);
    std::vector<bool> inner(1, false);
    uint64_t code = 0;
    uint32_t previous = lengths.empty() ? 0 : lengths[0];
    for (size_t s = 0; s < lengths.size(); ++s) {
        if (s > 0)
            code = (code + 1) << (lengths[s] - previous);
        previous = lengths[s];
        uint32_t node = 0;
        for (uint32_t bit = lengths[s]; bit-- > 0;) {
            if (!inner[node]) {
                table[node] = vmq::innerEntry(uint32_t(table.size()));
                inner[node] = true;
                table.resize(table.size() + 2, 0);
                inner.resize(table.size(), false);
            }
            node = vmq::firstChild(table[node]) + uint32_t((code >> bit) & 1);
        }
        table[node] = vmq::leafEntry(uint32_t(s * 7 % vmq::kSymbolCount));
    }
    return table;
}

TEST(MeshletDecode, LookupReaderReadsAsTheTreeWalk)
{
    // Code lengths of complete prefix codes, ascending: one leaf, the format's worked examples,
    // a wide flat code, and codes far longer than any lookup (up to 40 bits) with short ones.
    std::vector<std::vector<uint32_t>> codes = {{0}, {1, 1}, {1, 2, 2}, {2, 2, 2, 2}, std::vector<uint32_t>(2048, 11)};
    std::vector<uint32_t> deep;
    for (uint32_t d = 1; d < 40; ++d)
        deep.push_back(d);
    deep.push_back(39);
    codes.push_back(deep);
    std::vector<uint32_t> skewed = {2, 2, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 17};
    codes.push_back(skewed);
    std::mt19937 random(5);
    for (const std::vector<uint32_t>& lengths : codes) {
        const std::vector<uint32_t> table = treeOfLengths(lengths);
        const vmq::StreamTable tree{table.data(), uint32_t(table.size())};
        ASSERT_TRUE(vmq::isSoundDecodeTable(tree)) << lengths.size() << " codes";
        std::vector<uint32_t> words(64);
        for (uint32_t& w : words)
            w = random();
        for (uint64_t symbols : {uint64_t(1), uint64_t(5000), uint64_t(1) << 30}) {
            std::vector<uint32_t> lookup(1u << vmq::kMaxLookupBits);
            vmq::StreamLookup stream;
            stream.tree = tree.entries;
            stream.treeSize = tree.entryCount;
            stream.lookup = lookup.data();
            stream.bits = vmq::buildSymbolLookup(tree, symbols, lookup.data());
            for (uint32_t start : {0u, 13u, 31u, 32u}) {
                vmq::SymbolReader reader;
                reader.bits.start(words.data(), words.size(), start);
                uint64_t position = start;
                for (int k = 0; k < 200; ++k) {
                    uint32_t expected = 0;
                    if (!vmq::readSymbolBitwise(tree, words.data(), words.size() * 32, position, expected))
                        break;
                    ASSERT_EQ(reader.read(stream), expected) << lengths.size() << " codes, " << stream.bits << " lookup bits, symbol " << k;
                    ASSERT_EQ(reader.bits.position(words.data()), position);
                }
            }
        }
    }
}

TEST(MeshletDecode, TablesThatAreNotTreesAreRefused)
{
    const std::vector<std::vector<uint32_t>> tables = {
        {vmq::innerEntry(1), vmq::innerEntry(1), vmq::leafEntry(3)}, // a child not after its parent
        {vmq::innerEntry(1), vmq::leafEntry(1), vmq::innerEntry(3), vmq::leafEntry(2), vmq::leafEntry(3), vmq::leafEntry(4)}, // 5 unreached
        {vmq::innerEntry(1), vmq::innerEntry(3), vmq::innerEntry(3), vmq::leafEntry(1), vmq::leafEntry(2)}, // shared children
        {vmq::innerEntry(1), vmq::leafEntry(2048), vmq::leafEntry(1)},                                        // beyond the alphabet
    };
    for (const std::vector<uint32_t>& table : tables)
        EXPECT_FALSE(vmq::isSoundDecodeTable({table.data(), uint32_t(table.size())}));
    const std::vector<uint32_t> tree = treeOfLengths({1, 2, 2});
    EXPECT_TRUE(vmq::isSoundDecodeTable({tree.data(), uint32_t(tree.size())}));
}

TEST(MeshletDecode, CorruptedRecordsFailOrDecodeOnEveryPath)
{
    // Bits flipped in the global and channel streams: every path refuses the record or decodes
    // it, and never reads or writes outside the buffers (the sanitizer build watches).
    VMQ_SHARED_MESH(mesh, "spot.obj");
    const vmq_test::MeshInput input(*mesh);
    CompressionSettings settings{};
    CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
    ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    std::vector<uint32_t> global(compressed->streamWordsBegin, compressed->streamWordsEnd);
    std::vector<uint32_t> channel(compressed->channels[3].streamWordsBegin, compressed->channels[3].streamWordsEnd);
    std::vector<ChannelStreams> channels(compressed->channels, compressed->channels + compressed->channelCount);
    CompressedMesh copy = *compressed;
    copy.streamWordsBegin = global.data();
    copy.streamWordsEnd = global.data() + global.size();
    channels[3].streamWordsBegin = channel.data();
    channels[3].streamWordsEnd = channel.data() + channel.size();
    copy.channels = channels.data();
    std::mt19937 random(17);
    int refused = 0;
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<uint32_t>& words = trial % 2 ? channel : global;
        const std::vector<uint32_t> kept = words;
        for (int flips = 0; flips < 4; ++flips)
            words[random() % words.size()] ^= 1u << (random() % 32);
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&copy, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
        refused += decoded == nullptr;
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        Pelku_Vmq_Compression_ReleaseDecodedMesh(Pelku_Vmq_Compression_DecodeMeshWithThreads(&copy, PELKU_VMQ_PREDICTION_PARALLELOGRAM, 2));
        Decoded meshlets;
        meshletDecode(copy, PELKU_VMQ_PREDICTION_PARALLELOGRAM, trial % 4 < 2, meshlets);
        MeshDecoder decoder;
        std::string error;
        if (vmq::prepareDecoder(copy, PELKU_VMQ_PREDICTION_PARALLELOGRAM, decoder, error)) {
            Decoded lanes;
            laneDecode(decoder, lanes);
        }
        words = kept;
    }
    EXPECT_GT(refused, 0);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
}

TEST(CudaDecode, DecodesAsTheHostOrSaysWhyNot)
{
    VMQ_SHARED_MESH(mesh, "bob_tri.obj");
    const vmq_test::MeshInput input(*mesh);
    CompressionSettings settings{};
    CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
    ASSERT_NE(compressed, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    CudaMeshDecoder* decoder = Pelku_Vmq_Compression_CudaCreateMeshDecoder(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    if (!decoder) {
        const std::string message = Pelku_Vmq_Compression_GetCompressionErrorString();
#if defined(PELKU_VMQ_HAS_CUDA)
        EXPECT_NE(message.find("no CUDA device"), std::string::npos) << message;
#else
        EXPECT_EQ(message, "Cannot decode on the GPU: the library was built without CUDA.");
#endif
        EXPECT_EQ(Pelku_Vmq_Compression_CudaDecodeMesh(nullptr, nullptr), 0);
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
        return;
    }
    EXPECT_EQ(Pelku_Vmq_Compression_CudaDownloadDecodedMesh(decoder), nullptr) << "nothing decoded yet";
    CudaDecodedBuffers buffers{};
    ASSERT_EQ(Pelku_Vmq_Compression_CudaDecodeMesh(decoder, &buffers), 1) << Pelku_Vmq_Compression_GetCompressionErrorString();
    EXPECT_EQ(buffers.triangleCount, compressed->triangleCount);
    EXPECT_EQ(buffers.vertexCount, compressed->vertexCount);
    DecodedMesh* onDevice = Pelku_Vmq_Compression_CudaDownloadDecodedMesh(decoder);
    DecodedMesh* onHost = Pelku_Vmq_Compression_DecodeMesh(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    ASSERT_NE(onDevice, nullptr) << Pelku_Vmq_Compression_GetCompressionErrorString();
    ASSERT_NE(onHost, nullptr);
    EXPECT_TRUE(fromRecord(*onDevice) == fromRecord(*onHost));
    Pelku_Vmq_Compression_ReleaseDecodedMesh(onDevice);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(onHost);
    Pelku_Vmq_Compression_CudaReleaseMeshDecoder(decoder);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
}

} // namespace
