// The serialized form: every field and array of the shared meshes and the fixture archives after
// a round trip, repeated frames and arrays stored once, decode tables as shapes (and blobs the
// coder did not lay out), refusals of every cut and altered byte, and the checksums.
#include "alembic/sequence_driver.h"
#include "importer_test_support.h"
#include "pelku_vmq_serialize.h"
#include "record_equality.h"
#include "serialize/checksum.h"
#include "serialize/table_shape.h"
#include "shared_mesh.h"
#include "support/archive_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>

namespace {

using namespace vmq::abc;

struct MeshRelease {
    void operator()(CompressedMesh* m) const { Pelku_Vmq_Compression_ReleaseCompressedMesh(m); }
};
struct SequenceRelease {
    void operator()(CompressedSequence* s) const { Pelku_Vmq_Compression_ReleaseCompressedSequence(s); }
};
using Mesh = std::unique_ptr<CompressedMesh, MeshRelease>;
using Sequence = std::unique_ptr<CompressedSequence, SequenceRelease>;

std::string lastError() { return Pelku_Vmq_Compression_GetCompressionErrorString(); }

// The serialized bytes, copied out of the library's buffer.
std::vector<uint8_t> keep(SerializedBytes* bytes)
{
    EXPECT_NE(bytes, nullptr) << lastError();
    if (!bytes)
        return {};
    std::vector<uint8_t> out(bytes->bytesBegin, bytes->bytesEnd);
    Pelku_Vmq_Compression_ReleaseSerializedBytes(bytes);
    return out;
}

std::vector<uint8_t> serialize(const CompressedMesh& mesh, int32_t mode = PELKU_VMQ_PREDICTION_PARALLELOGRAM)
{
    return keep(Pelku_Vmq_Compression_SerializeMesh(&mesh, mode, nullptr, 0));
}

std::vector<uint8_t> serialize(const CompressedSequence& sequence)
{
    return keep(Pelku_Vmq_Compression_SerializeSequence(&sequence, PELKU_VMQ_PREDICTION_PARALLELOGRAM, nullptr, 0));
}

Mesh compress(const vmq_support::LoadedMesh& mesh, const CompressionSettings& settings)
{
    vmq_support::LibraryInput input;
    vmq_support::describe(mesh, input);
    const MeshDescriptor& descriptor = input.descriptor;
    return Mesh(Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings));
}

// A small mesh of every attribute kind the sequence path makes: a bumpy grid with normals and
// texture coordinates, two groups.
Mesh smallMesh(uint32_t w = 6, uint32_t h = 5)
{
    vmq_support::LoadedMesh mesh;
    for (uint32_t j = 0; j <= h; ++j)
        for (uint32_t i = 0; i <= w; ++i) {
            mesh.positions.insert(mesh.positions.end(), {float(i), float(j), 0.3f * std::sin(float(i * j))});
            mesh.normals.insert(mesh.normals.end(), {0.0f, 0.6f, 0.8f});
            mesh.texcoords.insert(mesh.texcoords.end(), {float(i) / float(w), float(j) / float(h)});
        }
    for (uint32_t j = 0; j < h; ++j)
        for (uint32_t i = 0; i < w; ++i) {
            const uint32_t v = j * (w + 1) + i;
            mesh.indices.insert(mesh.indices.end(), {v, v + 1, v + w + 2, v, v + w + 2, v + w + 1});
            mesh.groups.insert(mesh.groups.end(), 2, i < w / 2 ? 0u : 1u);
        }
    return compress(mesh, CompressionSettings{});
}

Sequence compressArchive(const std::vector<uint8_t>& archive, const SequenceSettings& settings = SequenceSettings{})
{
    std::string error;
    std::ostringstream log;
    Sequence sequence(vmq::compressAlembicMemory(archive, &settings, 1, nullptr, nullptr, error, &log));
    EXPECT_NE(sequence, nullptr) << error;
    return sequence;
}

// A grid over `frames` samples with static texture coordinates; its z waves with the frame
// when `moving`, else every frame is the same.
std::vector<uint8_t> gridArchive(uint32_t w, uint32_t h, uint32_t frames, bool moving)
{
    MeshFrames mesh = importer_test::grid(w, h, 0.0f, 0.0f, frames);
    for (uint32_t f = 0; f < frames; ++f)
        for (size_t v = 0; v < mesh.positions[f].size() / 3; ++v) {
            float* p = &mesh.positions[f][3 * v];
            p[2] = 0.5f * std::sin(0.4f * p[0] + 0.3f * p[1] + (moving ? 0.5f * float(f) : 0.0f));
        }
    std::vector<float> uvs;
    for (size_t v = 0; v < mesh.positions[0].size() / 3; ++v)
        uvs.insert(uvs.end(), {mesh.positions[0][3 * v] / float(w), mesh.positions[0][3 * v + 1] / float(h)});
    return writeArchive(importer_test::archiveOf(
        {polyMeshObject("grid", mesh, {floatGeomParam("uv", TypedParam::Vector2f, GeomScope::Vertex, {uvs})})}));
}

Mesh roundTrip(const CompressedMesh& mesh, int32_t mode = PELKU_VMQ_PREDICTION_PARALLELOGRAM)
{
    const std::vector<uint8_t> bytes = serialize(mesh, mode);
    int32_t readMode = -1;
    Mesh back(Pelku_Vmq_Compression_DeserializeMesh(bytes.data(), bytes.size(), &readMode));
    EXPECT_NE(back, nullptr) << lastError();
    EXPECT_EQ(readMode, mode);
    return back;
}

// ---- Round trips ----------------------------------------------------------------------------

class SerializedSharedMesh : public testing::TestWithParam<const char*> {};

TEST_P(SerializedSharedMesh, EveryFieldAndArraySurvives)
{
    VMQ_SHARED_MESH(loaded, GetParam());
    // The settings of the record digests: defaults, caller numbering with small meshlets, delta
    // prediction with fine positions.
    CompressionSettings settings[3] = {};
    settings[1].optimizeMesh = 0;
    settings[1].maxMeshletVertices = 32;
    settings[2].disableParallelogramPrediction = 1;
    settings[2].positionQuality = 1.0f;
    settings[2].minMeshletTriangles = 8;
    for (const CompressionSettings& s : settings) {
        const Mesh mesh = compress(*loaded, s);
        ASSERT_NE(mesh, nullptr) << lastError();
        const int32_t mode = s.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
        const Mesh back = roundTrip(*mesh, mode);
        ASSERT_NE(back, nullptr);
        vmq_test::expectSameRecord(*mesh, *back);
        EXPECT_EQ(back->partition, nullptr);
        EXPECT_EQ(back->topology, nullptr);
        // The serialized tables are smaller than a quarter of the blobs.
        const std::vector<uint8_t> bytes = serialize(*mesh, mode);
        SerializedInfo info{};
        ASSERT_TRUE(Pelku_Vmq_Compression_GetSerializedInfo(bytes.data(), bytes.size(), &info)) << lastError();
        EXPECT_LT(info.compactBytes[PELKU_VMQ_PART_TABLES] * 4, info.recordBytes[PELKU_VMQ_PART_TABLES]);
    }
}

INSTANTIATE_TEST_SUITE_P(SharedMeshes, SerializedSharedMesh,
                         testing::Values("pirate.obj", "spot.obj", "bob_tri.obj", "human_neutral.obj", "armadillo.obj", "bun_zipper.ply",
                                         "horse.ply", "dragon.obj", "happy_buddha.obj", "igea.ply"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

void expectArchiveRoundTrip(const std::string& path, const SequenceSettings& settings)
{
    Sequence sequence(Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, 2, nullptr, nullptr));
    if (!sequence)
        return; // some fixtures are meant to fail
    const std::vector<uint8_t> bytes = serialize(*sequence);
    Sequence back(Pelku_Vmq_Compression_DeserializeSequence(bytes.data(), bytes.size(), nullptr));
    ASSERT_NE(back, nullptr) << path << ": " << lastError();
    vmq_test::expectSameSequence(*sequence, *back, path);
    for (uint32_t f = 0; f < back->frameCount; ++f)
        if (back->frames[f]) {
            EXPECT_EQ(back->frames[f]->partition, nullptr);
            EXPECT_EQ(back->frames[f]->topology, nullptr);
        }
}

// Every small fixture archive at the two settings of the archive digests.
TEST(SerializedSequence, FixtureArchivesSurvive)
{
    std::vector<std::string> files = archive_test::fixtureFiles("fixtures/abc");
    REQUIRE_FIXTURES(files, "fixtures/abc");
    for (const std::string& file : archive_test::fixtureFiles("fixtures/abc-format"))
        files.push_back(file);
    SequenceSettings settings[2] = {};
    settings[1].compression.recomputeNormals = 1;
    settings[1].compression.smoothAllNormals = 1;
    settings[1].generateTangents = 1;
    settings[1].removeDuplicateTriangles = 1;
    settings[1].compression.maxMeshletVertices = 32;
    for (const std::string& file : files)
        for (const SequenceSettings& s : settings)
            expectArchiveRoundTrip(file, s);
}

class SerializedBenchArchive : public testing::TestWithParam<const char*> {};

TEST_P(SerializedBenchArchive, EveryFrameSurvives)
{
    const std::string path = archive_test::sharedDir() + "/fixtures/bench/" + GetParam();
    std::vector<std::string> files = archive_test::fixtureFiles("fixtures/bench");
    REQUIRE_FIXTURES(files, "fixtures/bench");
    expectArchiveRoundTrip(path, SequenceSettings{});
}

INSTANTIATE_TEST_SUITE_P(BenchArchives, SerializedBenchArchive, testing::Values("wave_anim.abc", "wave_topo.abc"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// ---- What is stored once ------------------------------------------------------------------

TEST(SerializedSequence, StillFramesAreStoredOnce)
{
    // A still animation of 59 frames costs little more than one of its frames alone.
    const Sequence still = compressArchive(gridArchive(36, 28, 59, false));
    const Sequence single = compressArchive(gridArchive(36, 28, 1, false));
    ASSERT_TRUE(still && single);
    ASSERT_EQ(still->frameCount, 59u);
    const std::vector<uint8_t> stillBytes = serialize(*still), singleBytes = serialize(*single);
    EXPECT_LE(stillBytes.size(), singleBytes.size() * 3 / 2) << stillBytes.size() << " against one frame's " << singleBytes.size();
    Sequence back(Pelku_Vmq_Compression_DeserializeSequence(stillBytes.data(), stillBytes.size(), nullptr));
    ASSERT_NE(back, nullptr) << lastError();
    vmq_test::expectSameSequence(*still, *back);
    // Every frame its own record, freed on its own.
    EXPECT_NE(back->frames[0]->streamWordsBegin, back->frames[1]->streamWordsBegin);
}

TEST(SerializedSequence, UnchangedArraysOfMovingFramesAreStoredOnce)
{
    // Constant topology, z moving, x, y and texture coordinates still: the global stream and the
    // still channels repeat, and only the first of equal bitstreams is stored.
    const Sequence moving = compressArchive(gridArchive(20, 16, 8, true));
    ASSERT_TRUE(moving);
    ASSERT_EQ(moving->staticTopology, 1);
    auto streams = [](const CompressedMesh& m) {
        std::vector<std::vector<uint32_t>> list = {vmq_test::spanWords(m.streamWordsBegin, m.streamWordsEnd)};
        for (uint32_t c = 0; c < m.channelCount; ++c)
            list.push_back(vmq_test::spanWords(m.channels[c].streamWordsBegin, m.channels[c].streamWordsEnd));
        return list;
    };
    uint64_t firstSeenBytes = 0;
    for (uint32_t f = 0; f < moving->frameCount; ++f) {
        const auto mine = streams(*moving->frames[f]);
        for (size_t k = 0; k < mine.size(); ++k) {
            bool seen = false;
            for (uint32_t e = 0; e < f && !seen; ++e)
                seen = streams(*moving->frames[e])[k] == mine[k];
            firstSeenBytes += seen ? 0 : 4 * mine[k].size();
        }
    }
    const std::vector<uint8_t> bytes = serialize(*moving);
    SerializedInfo info{};
    ASSERT_TRUE(Pelku_Vmq_Compression_GetSerializedInfo(bytes.data(), bytes.size(), &info)) << lastError();
    EXPECT_EQ(info.compactBytes[PELKU_VMQ_PART_STREAMS], firstSeenBytes);
    EXPECT_LT(firstSeenBytes, info.recordBytes[PELKU_VMQ_PART_STREAMS]);
    Sequence back(Pelku_Vmq_Compression_DeserializeSequence(bytes.data(), bytes.size(), nullptr));
    ASSERT_NE(back, nullptr) << lastError();
    vmq_test::expectSameSequence(*moving, *back);
}

// ---- Decode tables ------------------------------------------------------------------------

TEST(TableShapes, CoderBlobsComeBackWordForWord)
{
    const std::vector<std::vector<uint32_t>> blobs = {
        {2, 7, 2, 5, 6, 1, 3, 15},           // the coder's example: a tree of three leaves and a single leaf
        {7, 7, 7, 7, 7, 7, 7},               // seven streams without symbols
        {2, 2, 2, 1, 3},                     // one empty table, then symbols 0 and 1
        {1, 2, 0xFFFFFFFFu, 3},              // a symbol of 31 bits
    };
    std::vector<uint32_t> stack;
    for (const std::vector<uint32_t>& blob : blobs) {
        std::vector<uint8_t> shapes;
        ASSERT_TRUE(vmq::writeTableShapes(blob.data(), blob.size(), shapes, stack)) << blob.size();
        vmq::ByteReader in{shapes.data(), shapes.data() + shapes.size()};
        const uint32_t *begin = nullptr, *end = nullptr;
        std::string error;
        ASSERT_TRUE(vmq::readTableShapes(in, begin, end, stack, error)) << error;
        EXPECT_EQ(std::vector<uint32_t>(begin, end), blob);
        EXPECT_EQ(in.left(), 0u);
        delete[] begin;
    }
}

// A copy of a record's arrays that a test may change.
struct EditableRecord {
    std::vector<std::vector<uint32_t>> words;
    std::vector<QuantParams> quant;
    std::vector<int32_t> kinds;
    std::vector<ChannelStreams> channels;
    CompressedMesh mesh{};

    explicit EditableRecord(const CompressedMesh& from) : quant(from.quantParamsBegin, from.quantParamsEnd), kinds(from.channelKindsBegin, from.channelKindsEnd)
    {
        mesh = from;
        mesh.partition = nullptr;
        mesh.topology = nullptr;
        channels.assign(from.channels, from.channels + from.channelCount);
        auto own = [&](const uint32_t*& begin, const uint32_t*& end) {
            words.emplace_back(begin, end);
            words.back().reserve(words.back().size() + 1);
        };
        words.reserve(6 + 3 * from.channelCount);
        own(mesh.streamWordsBegin, mesh.streamWordsEnd);
        own(mesh.tableBlobBegin, mesh.tableBlobEnd);
        for (ChannelStreams& c : channels) {
            own(c.streamWordsBegin, c.streamWordsEnd);
            own(c.tableBlobBegin, c.tableBlobEnd);
        }
        point();
    }
    // Points the record at the copies again after they changed.
    void point()
    {
        auto span = [](std::vector<uint32_t>& list, const uint32_t*& begin, const uint32_t*& end) {
            begin = list.data();
            end = list.data() + list.size();
        };
        span(words[0], mesh.streamWordsBegin, mesh.streamWordsEnd);
        span(words[1], mesh.tableBlobBegin, mesh.tableBlobEnd);
        for (size_t c = 0; c < channels.size(); ++c) {
            span(words[2 + 2 * c], channels[c].streamWordsBegin, channels[c].streamWordsEnd);
            span(words[3 + 2 * c], channels[c].tableBlobBegin, channels[c].tableBlobEnd);
        }
        mesh.channels = channels.data();
        mesh.quantParamsBegin = quant.data(), mesh.quantParamsEnd = quant.data() + quant.size();
        mesh.channelKindsBegin = kinds.data(), mesh.channelKindsEnd = kinds.data() + kinds.size();
    }
};

TEST(TableShapes, BlobsTheCoderDidNotLayOutAreStoredAsWords)
{
    const Mesh mesh = smallMesh();
    ASSERT_NE(mesh, nullptr) << lastError();
    EditableRecord edited(*mesh);
    std::vector<uint32_t>& global = edited.words[1];
    global.push_back(12345);         // a word no table reaches
    std::swap(edited.words[3][2], edited.words[3][3]); // channel 0: a table's children out of the coder's order
    edited.words[5].assign({5, 9});  // channel 1: a header word past the blob's end
    edited.point();
    std::vector<uint8_t> shapes;
    std::vector<uint32_t> stack;
    EXPECT_FALSE(vmq::writeTableShapes(global.data(), global.size(), shapes, stack));
    EXPECT_TRUE(shapes.empty());
    const Mesh back = roundTrip(edited.mesh);
    ASSERT_NE(back, nullptr);
    vmq_test::expectSameRecord(edited.mesh, *back);
}

// ---- Refusals -------------------------------------------------------------------------------

// Every shorter buffer and every buffer with one byte changed is refused with a message, whether
// only the checksums see the change or, with the checksums made to match, the reader's checks.
template <typename Read>
void expectEveryChangeRefused(const std::vector<uint8_t>& bytes, Read&& read)
{
    ASSERT_TRUE(read(bytes)) << lastError();
    for (size_t length = 0; length < bytes.size(); ++length) {
        ASSERT_FALSE(read(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length))) << "cut to " << length;
        ASSERT_FALSE(lastError().empty());
    }
    for (size_t at = 0; at < bytes.size(); ++at)
        for (uint8_t change : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> altered = bytes;
            altered[at] ^= change;
            ASSERT_FALSE(read(altered)) << "byte " << at << " ^ " << int(change);
            ASSERT_FALSE(lastError().empty());
            // Checksums that match the change: refused or read, never out of bounds or leaking.
            const uint32_t header = vmq::crc32c(altered.data(), 152);
            std::memcpy(altered.data() + 152, &header, 4);
            const uint32_t whole = vmq::crc32c(altered.data(), altered.size() - 4);
            std::memcpy(altered.data() + altered.size() - 4, &whole, 4);
            if (!read(altered)) {
                ASSERT_FALSE(lastError().empty()) << "byte " << at;
            }
        }
}

TEST(SerializedForm, EveryCutAndChangedByteIsRefused)
{
    const Mesh mesh = smallMesh(3, 2);
    ASSERT_NE(mesh, nullptr) << lastError();
    const uint8_t metadata[] = {'v', 'm', 'q'};
    const std::vector<uint8_t> meshBytes = keep(Pelku_Vmq_Compression_SerializeMesh(mesh.get(), 1, metadata, sizeof metadata));
    expectEveryChangeRefused(meshBytes, [](const std::vector<uint8_t>& b) {
        Mesh back(Pelku_Vmq_Compression_DeserializeMesh(b.data(), b.size(), nullptr));
        return back != nullptr;
    });

    // A sequence with an empty frame, a repeated frame and repeated arrays.
    const Sequence sequence = compressArchive(gridArchive(3, 2, 3, true));
    ASSERT_TRUE(sequence);
    CompressedMesh* frames[4] = {sequence->frames[0], nullptr, sequence->frames[1], sequence->frames[0]};
    CompressedSequence mixed = *sequence;
    mixed.frames = frames;
    mixed.frameCount = 4;
    const char* names[2] = {"a", "bc"};
    mixed.materialNamesBegin = names, mixed.materialNamesEnd = names + 2;
    const std::vector<uint8_t> sequenceBytes = serialize(mixed);
    expectEveryChangeRefused(sequenceBytes, [](const std::vector<uint8_t>& b) {
        Sequence back(Pelku_Vmq_Compression_DeserializeSequence(b.data(), b.size(), nullptr));
        return back != nullptr;
    });
    Sequence back(Pelku_Vmq_Compression_DeserializeSequence(sequenceBytes.data(), sequenceBytes.size(), nullptr));
    ASSERT_NE(back, nullptr) << lastError();
    vmq_test::expectSameSequence(mixed, *back);
}

TEST(SerializedForm, ArgumentsAndRecordsItRefuses)
{
    const Mesh mesh = smallMesh();
    ASSERT_NE(mesh, nullptr) << lastError();
    EXPECT_EQ(Pelku_Vmq_Compression_SerializeMesh(nullptr, 0, nullptr, 0), nullptr);
    EXPECT_EQ(lastError(), "Cannot serialize: the compressed mesh is null.");
    EXPECT_EQ(Pelku_Vmq_Compression_SerializeMesh(mesh.get(), 2, nullptr, 0), nullptr);
    EXPECT_EQ(lastError(), "Cannot serialize: unknown prediction mode 2.");
    EXPECT_EQ(Pelku_Vmq_Compression_SerializeMesh(mesh.get(), 0, nullptr, 4), nullptr);
    EXPECT_NE(lastError().find("the metadata is null"), std::string::npos) << lastError();
    EditableRecord shortOffsets(*mesh);
    --shortOffsets.mesh.meshletValueOffsetsEnd;
    EXPECT_EQ(Pelku_Vmq_Compression_SerializeMesh(&shortOffsets.mesh, 0, nullptr, 0), nullptr);
    EXPECT_NE(lastError().find("meshletValueOffsets holds"), std::string::npos) << lastError();

    const std::vector<uint8_t> bytes = serialize(*mesh);
    EXPECT_EQ(Pelku_Vmq_Compression_DeserializeSequence(bytes.data(), bytes.size(), nullptr), nullptr);
    EXPECT_EQ(lastError(), "The serialized record holds a mesh, not a sequence.");
    EXPECT_FALSE(Pelku_Vmq_Compression_GetSerializedInfo(bytes.data(), bytes.size(), nullptr));
    EXPECT_EQ(Pelku_Vmq_Compression_DeserializeMesh(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(lastError(), "Not a serialized record (its first bytes are not the signature).");
}

TEST(SerializedForm, InfoMetadataAndSameBytesEveryTime)
{
    const Mesh mesh = smallMesh();
    ASSERT_NE(mesh, nullptr) << lastError();
    const std::string metadata = "settings of the host";
    const std::vector<uint8_t> bytes = keep(Pelku_Vmq_Compression_SerializeMesh(mesh.get(), 1, metadata.data(), metadata.size()));
    EXPECT_EQ(keep(Pelku_Vmq_Compression_SerializeMesh(mesh.get(), 1, metadata.data(), metadata.size())), bytes);
    SerializedInfo info{};
    ASSERT_TRUE(Pelku_Vmq_Compression_GetSerializedInfo(bytes.data(), bytes.size(), &info)) << lastError();
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(info.versionMajor, 2u);
    EXPECT_EQ(info.kind, PELKU_VMQ_SERIALIZED_MESH);
    EXPECT_EQ(info.predictionMode, PELKU_VMQ_PREDICTION_DELTA);
    EXPECT_EQ(std::string(info.metadataBegin, info.metadataEnd), metadata);
    EXPECT_EQ(info.recordBytes[PELKU_VMQ_PART_STREAMS], 4 * uint64_t(mesh->streamWordsEnd - mesh->streamWordsBegin) +
                                                            [&] {
                                                                uint64_t words = 0;
                                                                for (uint32_t c = 0; c < mesh->channelCount; ++c)
                                                                    words += 4 * uint64_t(mesh->channels[c].streamWordsEnd - mesh->channels[c].streamWordsBegin);
                                                                return words;
                                                            }());
    EXPECT_EQ(info.recordBytes[PELKU_VMQ_PART_HEADERS], 32u * mesh->meshletCount);
    uint64_t stored = 0;
    for (uint32_t p = 0; p < PELKU_VMQ_SERIALIZED_PART_COUNT; ++p) {
        EXPECT_LE(info.storedBytes[p], info.compactBytes[p]);
        stored += info.storedBytes[p];
    }
    EXPECT_EQ(bytes.size(), 156 + metadata.size() + stored + 4);
}

// ---- Checksums --------------------------------------------------------------------------------

uint32_t bitwiseCrc(const uint8_t* bytes, size_t size, uint32_t polynomial)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? (crc >> 1) ^ polynomial : crc >> 1;
    }
    return ~crc;
}

TEST(Checksums, CheckValuesAndEveryLengthAndAlignment)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(vmq::crc32(check, sizeof check), 0xCBF43926u);
    EXPECT_EQ(vmq::crc32c(check, sizeof check), 0xE3069283u);
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(300);
    for (uint8_t& b : bytes)
        b = uint8_t(random());
    for (size_t offset = 0; offset < 8; ++offset)
        for (size_t length = 0; offset + length <= bytes.size(); length += 1 + length / 16) {
            EXPECT_EQ(vmq::crc32(bytes.data() + offset, length), bitwiseCrc(bytes.data() + offset, length, 0xEDB88320u));
            EXPECT_EQ(vmq::crc32c(bytes.data() + offset, length), bitwiseCrc(bytes.data() + offset, length, 0x82F63B78u));
            // Continued over two pieces, the same value.
            EXPECT_EQ(vmq::crc32c(bytes.data() + offset + length / 2, length - length / 2, vmq::crc32c(bytes.data() + offset, length / 2)),
                      vmq::crc32c(bytes.data() + offset, length));
        }
}

} // namespace
