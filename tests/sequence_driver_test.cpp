// Whole archives: the settings transform, the frame procedure and the sequence driver over
// archives built in memory and the shared fixtures: frame order and trimming, thread-count
// determinism, the shared weld and partition, frames that lose triangles, progress and stop,
// and the error texts.
#include "alembic/frame_processing.h"
#include "alembic/sequence_driver.h"
#include "mesh/compress_mesh.h"
#include "importer_test_support.h"
#include "record_words.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

using namespace vmq::abc;
using importer_test::archiveOf;
using importer_test::grid;

using importer_test::corners;
using importer_test::setAttribute;
using importer_test::stream;
using importer_test::trianglesOf;
using importer_test::values;
using vmq_test::recordWords;
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string lastError() { return Pelku_Vmq_Compression_GetCompressionErrorString(); }

struct SequenceDeleter {
    void operator()(CompressedSequence* s) const { Pelku_Vmq_Compression_ReleaseCompressedSequence(s); }
};
using Sequence = std::unique_ptr<CompressedSequence, SequenceDeleter>;

struct Compressed {
    Sequence sequence;
    std::string error;
    std::string log;
};

Compressed compress(const std::vector<uint8_t>& bytes, const SequenceSettings& settings, uint32_t threads = 1,
                    ProgressCallback progress = nullptr, void* userData = nullptr)
{
    std::ostringstream log;
    Compressed c;
    c.sequence.reset(vmq::compressAlembicMemory(bytes, &settings, threads, progress, userData, c.error, &log));
    c.log = log.str();
    return c;
}

// A w x h grid over `frames` samples whose z waves with the frame; `nanVertex[f]` (when not
// ~0u) makes one vertex of frame f non-finite, so the triangles using it are dropped.
std::vector<uint8_t> wavingGrid(uint32_t w, uint32_t h, uint32_t frames, const std::vector<uint32_t>& nanVertex = {},
                                std::vector<WriteProperty> extras = {})
{
    MeshFrames mesh = grid(w, h, 0.0f, 0.0f, frames);
    for (uint32_t f = 0; f < frames; ++f) {
        std::vector<float>& p = mesh.positions[f];
        for (size_t v = 0; v < p.size() / 3; ++v)
            p[3 * v + 2] = 0.25f * std::sin(0.7f * float(f) + 0.3f * p[3 * v] + 0.2f * p[3 * v + 1]);
        if (f < nanVertex.size() && nanVertex[f] != ~0u)
            p[3 * nanVertex[f] + 1] = kNaN;
    }
    return writeArchive(archiveOf({polyMeshObject("wave", mesh, std::move(extras))}));
}

// ------------------------------------------------------------------------------------------------

vmq::Mesh oneTriangle()
{
    vmq::Mesh m;
    m.triangles = {{0, 1, 2}};
    m.triangleGroups = {0};
    setAttribute(m, POSITION, {1, 2, 3, 0, 1, 0, 1, 0, 0}, 3);
    setAttribute(m, NORMAL, {0, 0, 1, 0, 0, 0, 1, 0, 0}, 3);
    setAttribute(m, VELOCITY, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 3);
    setAttribute(m, TEXCOORD, {0.5f, 0.5f, 0, 0, 1, 1}, 2);
    return m;
}

TEST(SequenceTransform, TransformsPositionsNormalsVelocitiesAndWinding)
{
    struct Case {
        const char* name;
        std::vector<float> transform;
        std::vector<float> position0, normal0, velocity0;
        std::vector<uint32_t> corners;
    };
    const float I[16] = PELKU_VMQ_IDENTITY_4X4;
    std::vector<float> identity(I, I + 16);
    std::vector<float> nearIdentity = identity, translate = identity, scale = identity, mirror = identity, shear = identity;
    nearIdentity[12] = 1e-6f;
    nearIdentity[5] = 1.0f - 5e-7f;
    translate[12] = 10;
    translate[13] = -1;
    scale[0] = scale[5] = scale[10] = 2;
    mirror[0] = -1;
    shear[4] = 1; // x += y
    const std::vector<Case> cases = {
        {"identity within 1e-6", nearIdentity, {1, 2, 3}, {0, 0, 1}, {1, 0, 0}, {0, 1, 2}},
        {"translation", translate, {11, 1, 3}, {0, 0, 1}, {1, 0, 0}, {0, 1, 2}},
        {"uniform scale", scale, {2, 4, 6}, {0, 0, 1}, {2, 0, 0}, {0, 1, 2}},
        {"mirror flips the winding", mirror, {-1, 2, 3}, {0, 0, 1}, {-1, 0, 0}, {0, 2, 1}},
        {"shear: row sums, unit normals", shear, {3, 2, 3}, {0, 0, 1}, {1, 0, 0}, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vmq::Mesh m = oneTriangle();
        vmq::applyFrameTransform(m, c.transform.data());
        const auto& p = values(m, POSITION);
        EXPECT_EQ(std::vector<float>(p.begin(), p.begin() + 3), c.position0);
        const auto& n = values(m, NORMAL);
        EXPECT_EQ(std::vector<float>(n.begin(), n.begin() + 3), c.normal0);
        const auto& v = values(m, VELOCITY);
        EXPECT_EQ(std::vector<float>(v.begin(), v.begin() + 3), c.velocity0);
        EXPECT_EQ(corners(m), c.corners);
        EXPECT_EQ(stream(m, TEXCOORD), stream(oneTriangle(), TEXCOORD));
        // The zero normal keeps its value; the other normals stay unit length.
        EXPECT_EQ(std::vector<float>(n.begin() + 3, n.begin() + 6), (std::vector<float>{0, 0, 0}));
        EXPECT_FLOAT_EQ(std::hypot(n[6], n[7], n[8]), 1.0f);
    }
    // The shear turns (1, 0, 0) into itself and (0, 1, 0) into (1, 1, 0) / sqrt(2).
    vmq::Mesh m = oneTriangle();
    values(m, NORMAL) = {0, 1, 0, 0, 1, 0, 0, 1, 0};
    vmq::applyFrameTransform(m, shear.data());
    EXPECT_FLOAT_EQ(values(m, NORMAL)[0], 1.0f / std::sqrt(2.0f));
    EXPECT_FLOAT_EQ(values(m, NORMAL)[1], 1.0f / std::sqrt(2.0f));
}

TEST(SequenceTransform, IdentityTestCoversAllSixteenElements)
{
    const float I[16] = PELKU_VMQ_IDENTITY_4X4;
    for (int k = 0; k < 16; ++k) {
        float t[16];
        std::memcpy(t, I, sizeof t);
        t[k] += 1e-3f;
        EXPECT_FALSE(vmq::isIdentityTransform(t)) << k;
        t[k] = I[k] + 5e-7f;
        EXPECT_TRUE(vmq::isIdentityTransform(t)) << k;
    }
}

TEST(FrameProcessing, SharedWeldAppliesOnlyToMatchingVertexCounts)
{
    // Two triangles sharing an edge as a 6-corner soup: welded to 4 vertices by the first frame.
    auto soup = [](uint32_t extra) {
        vmq::Mesh m;
        std::vector<float> p = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
        std::vector<uint32_t> source = {0, 1, 2, 1, 3, 2};
        for (uint32_t e = 0; e < extra; ++e) {
            p.insert(p.end(), {5, 5, 0, 6, 5, 0, 5, 6, 0});
            source.insert(source.end(), {4, 5, 6});
        }
        std::vector<uint32_t> soupCorners(p.size() / 3);
        for (uint32_t i = 0; i < soupCorners.size(); ++i)
            soupCorners[i] = i;
        m.triangles = trianglesOf(soupCorners);
        m.triangleGroups.assign(m.triangles.size(), 0);
        setAttribute(m, POSITION, p, 3);
        m.sourceVertex = source;
        return m;
    };
    SequenceSettings settings{};
    vmq::SharedRemap shared;
    vmq::Mesh first = soup(0);
    vmq::processFrameMesh(first, settings, true, &shared);
    EXPECT_TRUE(shared.computed);
    EXPECT_EQ(shared.vertexCount, 6u);
    EXPECT_EQ(shared.uniqueCount, 4u);
    EXPECT_EQ(corners(first), (std::vector<uint32_t>{0, 1, 2, 1, 3, 2}));
    EXPECT_TRUE(first.sourceVertex.empty());

    vmq::Mesh same = soup(0);
    vmq::processFrameMesh(same, settings, true, &shared);
    EXPECT_EQ(same.triangles, first.triangles);
    EXPECT_EQ(stream(same, POSITION), stream(first, POSITION));

    // Corners welded in the first frame may part in a later one: the vertex keeps the values of
    // its last corner, as the weld's scatter of every corner leaves them.
    vmq::Mesh parted = soup(0);
    vmq::findAttribute(parted, POSITION)->values[3 * 1 + 2] = 0.25f; // corner 1, welded vertex 1
    vmq::findAttribute(parted, POSITION)->values[3 * 3 + 2] = 0.5f;  // corner 3, the same vertex
    vmq::processFrameMesh(parted, settings, true, &shared);
    EXPECT_EQ(parted.triangles, first.triangles);
    EXPECT_EQ(stream(parted, POSITION), (std::vector<float>{0, 0, 0, 1, 0, 0.5f, 0, 1, 0, 1, 1, 0}));

    vmq::Mesh bigger = soup(1); // another vertex count: left unwelded
    vmq::processFrameMesh(bigger, settings, true, &shared);
    EXPECT_EQ(bigger.triangles.size(), 3u);
    EXPECT_EQ(stream(bigger, POSITION).size(), 27u);
}

// ------------------------------------------------------------------------------------------------

struct ProgressLog {
    std::mutex lock;
    std::vector<std::vector<float>> calls; // fraction, done, count
    uint32_t stopAfter = ~0u;
};

bool logProgress(float fraction, uint32_t done, uint32_t count, void* userData)
{
    ProgressLog& log = *static_cast<ProgressLog*>(userData);
    std::lock_guard<std::mutex> guard(log.lock);
    log.calls.push_back({fraction, float(done), float(count)});
    return log.calls.size() < log.stopAfter;
}

TEST(SequenceDriver, SameBytesForEveryThreadCountAndSharedPartition)
{
    const std::vector<uint8_t> bytes = wavingGrid(12, 10, 7);
    SequenceSettings settings{};
    const Compressed one = compress(bytes, settings, 1);
    ASSERT_TRUE(one.sequence) << one.error;
    EXPECT_EQ(one.error, "");
    const CompressedSequence& s = *one.sequence;
    EXPECT_EQ(s.frameCount, 7u);
    EXPECT_EQ(s.staticTopology, 1u);
    EXPECT_EQ(s.staticAttributeMask & 1u, 0u); // positions move
    EXPECT_FLOAT_EQ(s.frameDuration, 1.0f);
    EXPECT_EQ(s.materialNamesBegin, nullptr);
    EXPECT_EQ(s.materialNamesEnd, nullptr);
    for (uint32_t f = 0; f < s.frameCount; ++f) {
        ASSERT_NE(s.frames[f], nullptr);
        EXPECT_EQ(s.frames[f]->triangleCount, 240u);
        EXPECT_EQ(s.frames[f]->partition, nullptr);
        EXPECT_EQ(s.frames[f]->topology, nullptr);
        // Every frame reuses frame 0's meshlets: the same split into meshlets.
        EXPECT_EQ(std::vector<uint32_t>(s.frames[f]->meshletTriangleOffsetsBegin, s.frames[f]->meshletTriangleOffsetsEnd),
                  std::vector<uint32_t>(s.frames[0]->meshletTriangleOffsetsBegin, s.frames[0]->meshletTriangleOffsetsEnd));
    }
    for (uint32_t threads : {2u, 8u, 0u}) {
        const Compressed many = compress(bytes, settings, threads);
        ASSERT_TRUE(many.sequence) << threads;
        ASSERT_EQ(many.sequence->frameCount, s.frameCount);
        for (uint32_t f = 0; f < s.frameCount; ++f)
            EXPECT_EQ(recordWords(many.sequence->frames[f]), recordWords(s.frames[f])) << threads << " threads, frame " << f;
    }
}

TEST(SequenceDriver, FrameThatLosesTrianglesIsCompressedOnItsOwn)
{
    // Frame 2 has a NaN vertex: the two triangles of its quad are left out, so the frame no longer
    // matches frame 0's triangle list and must not use frame 0's partition and strips.
    const std::vector<uint8_t> bytes = wavingGrid(8, 8, 5, {~0u, ~0u, 40});
    SequenceSettings settings{};
    const Compressed one = compress(bytes, settings, 1);
    ASSERT_TRUE(one.sequence) << one.error;
    ASSERT_EQ(one.sequence->frameCount, 5u);
    for (uint32_t f = 0; f < 5; ++f) {
        ASSERT_NE(one.sequence->frames[f], nullptr);
        // Vertex 40 (the centre) is in six of the eight triangles of its four quads.
        EXPECT_EQ(one.sequence->frames[f]->triangleCount, f == 2 ? 128u - 6u : 128u) << f;
    }
    const Compressed eight = compress(bytes, settings, 8);
    ASSERT_TRUE(eight.sequence);
    for (uint32_t f = 0; f < 5; ++f)
        EXPECT_EQ(recordWords(eight.sequence->frames[f]), recordWords(one.sequence->frames[f])) << f;

    // The same frame as the frame procedure sees it: welded on its own to the grid's 81 - 1 vertices.
    std::ostringstream log;
    auto importer = vmq::openArchiveMemory(bytes, "memory.abc", settings, &log);
    vmq::FrameSharing sharing;
    vmq::beginFrameSharing(sharing, true, importer->frameCount);
    std::vector<vmq::PreparedFrame> kinds;
    for (uint32_t f = 0; f < 3; ++f) {
        vmq::Mesh m = vmq::readFrame(*importer, f);
        kinds.push_back(vmq::prepareFrame(m, f, settings, *importer, sharing));
        if (f == 2) {
            EXPECT_EQ(stream(m, POSITION).size(), 80u * 3u);
        }
    }
    EXPECT_EQ(kinds, (std::vector<vmq::PreparedFrame>{vmq::PreparedFrame::Shared, vmq::PreparedFrame::Shared,
                                                      vmq::PreparedFrame::Alone}));
}

TEST(SequenceDriver, FramesThatLoseOtherTrianglesAreNotWeldedAlike)
{
    // Frames 0 and 1 each lose six triangles, around vertex 30 and vertex 50: the same vertex
    // count, other triangles. Frame 1 must not take frame 0's weld (it would join vertices that
    // are not equal and then look like frame 0's triangle list).
    const std::vector<uint8_t> bytes = wavingGrid(8, 8, 3, {30, 50});
    SequenceSettings settings{};
    std::ostringstream log;
    auto importer = vmq::openArchiveMemory(bytes, "memory.abc", settings, &log);
    ASSERT_EQ(importer->staticTopology, 1u);
    vmq::FrameSharing sharing;
    vmq::beginFrameSharing(sharing, true, importer->frameCount);
    std::vector<vmq::Mesh> frames;
    std::vector<vmq::PreparedFrame> kinds;
    for (uint32_t f = 0; f < 3; ++f) {
        frames.push_back(vmq::readFrame(*importer, f));
        kinds.push_back(vmq::prepareFrame(frames.back(), f, settings, *importer, sharing));
    }
    EXPECT_EQ(kinds, (std::vector<vmq::PreparedFrame>{vmq::PreparedFrame::Shared, vmq::PreparedFrame::Alone,
                                                      vmq::PreparedFrame::Alone}));
    // Frame 1 still holds grid vertex 30 at (3, 3) and lacks vertex 50 at (5, 5).
    const std::vector<float>& p = values(frames[1], POSITION);
    bool has30 = false, has50 = false;
    for (size_t v = 0; v < p.size() / 3; ++v) {
        has30 = has30 || (p[3 * v] == 3 && p[3 * v + 1] == 3);
        has50 = has50 || (p[3 * v] == 5 && p[3 * v + 1] == 5);
    }
    EXPECT_TRUE(has30);
    EXPECT_FALSE(has50);

    const Compressed c = compress(bytes, settings, 2);
    ASSERT_TRUE(c.sequence) << c.error;
    for (uint32_t f = 0; f < 3; ++f)
        EXPECT_EQ(c.sequence->frames[f]->triangleCount, f < 2 ? 122u : 128u) << f;
}

TEST(SequenceDriver, EmptyFirstFrameLetsTheFirstFrameWithTrianglesWeld)
{
    // A single quad whose vertex 0 is NaN in frames 0, 1, 3 and 6: those frames are empty,
    // frame 3 between non-empty ones.
    MeshFrames mesh = grid(1, 1, 0.0f, 0.0f, 7);
    for (uint32_t f = 0; f < 7; ++f) {
        mesh.positions[f][2] = 0.1f * float(f);
        if (f == 0 || f == 1 || f == 3 || f == 6)
            mesh.positions[f][0] = kNaN;
    }
    const std::vector<uint8_t> archive = writeArchive(archiveOf({polyMeshObject("quad", mesh)}));
    SequenceSettings settings{};
    const Compressed one = compress(archive, settings, 1);
    ASSERT_TRUE(one.sequence) << one.error;
    const CompressedSequence& s = *one.sequence;
    ASSERT_EQ(s.frameCount, 7u);
    EXPECT_EQ(s.staticTopology, 1u);
    for (uint32_t f = 0; f < 7; ++f) {
        const bool empty = f == 0 || f == 1 || f == 3 || f == 6;
        EXPECT_EQ(s.frames[f] == nullptr, empty) << f;
        if (!empty) {
            EXPECT_EQ(s.frames[f]->triangleCount, 2u);
            EXPECT_EQ(s.frames[f]->vertexCount, 4u); // welded: the quad's 4 vertices
        }
    }
    for (uint32_t threads : {2u, 8u}) {
        const Compressed many = compress(archive, settings, threads);
        ASSERT_TRUE(many.sequence);
        for (uint32_t f = 0; f < 7; ++f)
            EXPECT_EQ(recordWords(many.sequence->frames[f]), recordWords(s.frames[f])) << threads << " threads, frame " << f;
    }

    // Trimmed: frames 2 .. 5, the empty frame 3 kept as a null entry.
    settings.trimEmptyFrames = 1;
    const Compressed trimmed = compress(archive, settings, 2);
    ASSERT_TRUE(trimmed.sequence);
    ASSERT_EQ(trimmed.sequence->frameCount, 4u);
    EXPECT_EQ(trimmed.sequence->frames[1], nullptr);
    for (uint32_t f : {0u, 2u, 3u})
        EXPECT_EQ(recordWords(trimmed.sequence->frames[f]), recordWords(s.frames[f + 2])) << f;

    // Many workers racing for the weld: it is made once, from frame 2, whoever gets there first.
    for (int round = 0; round < 4; ++round) {
        std::ostringstream log;
        auto importer = vmq::openArchiveMemory(archive, "memory.abc", settings, &log);
        vmq::FrameSharing sharing;
        vmq::beginFrameSharing(sharing, true, 7);
        std::vector<std::vector<uint32_t>> corners(7);
        std::vector<std::thread> threads;
        for (uint32_t f = 0; f < 7; ++f)
            threads.emplace_back([&, f] {
                vmq::Mesh m = vmq::readFrame(*importer, f);
                vmq::prepareFrame(m, f, settings, *importer, sharing);
                corners[f] = importer_test::corners(m);
            });
        for (std::thread& t : threads)
            t.join();
        EXPECT_TRUE(sharing.remap.computed);
        EXPECT_EQ(sharing.remap.vertexCount, 6u);
        EXPECT_EQ(sharing.remap.uniqueCount, 4u);
        EXPECT_EQ(corners[2], corners[5]);
    }
}

TEST(SequenceDriver, ProgressReportsAndStop)
{
    const std::vector<uint8_t> bytes = wavingGrid(4, 4, 6);
    SequenceSettings settings{};
    for (uint32_t threads : {1u, 3u}) {
        ProgressLog log;
        const Compressed c = compress(bytes, settings, threads, logProgress, &log);
        ASSERT_TRUE(c.sequence);
        ASSERT_EQ(log.calls.size(), 6u);
        EXPECT_EQ(log.calls[0], (std::vector<float>{1.0f / 6.0f, 1, 6}));
        std::vector<bool> seen(7, false);
        for (const auto& call : log.calls) {
            EXPECT_EQ(call[0], float(uint32_t(call[1])) / 6.0f);
            seen[uint32_t(call[1])] = true;
        }
        for (uint32_t d = 1; d <= 6; ++d)
            EXPECT_TRUE(seen[d]) << d;
    }
    // Stop on the first report: nothing returned, no text of the driver's own; and later on.
    for (uint32_t stopAfter : {1u, 3u}) {
        ProgressLog log;
        log.stopAfter = stopAfter;
        const Compressed c = compress(bytes, settings, 2, logProgress, &log);
        EXPECT_FALSE(c.sequence);
        EXPECT_EQ(c.error, "");
        EXPECT_EQ(log.calls.size(), stopAfter);
    }
}

TEST(SequenceDriver, MaterialNamesInOrderOfFirstAppearance)
{
    // Names all seen in frame 0, so their order does not depend on the workers.
    std::vector<std::string> names;
    for (int q = 0; q < 16; ++q)
        names.push_back(q % 3 == 0 ? "/mat/stone" : q % 3 == 1 ? "/mat/moss" : "/mat/water");
    const std::vector<uint8_t> bytes = wavingGrid(4, 4, 4, {},
                                                  {compoundProperty(".arbGeomParams", {stringGeomParam("shop_materialpath", GeomScope::Uniform, {names})})});
    SequenceSettings settings{};
    const Compressed c = compress(bytes, settings, 4);
    ASSERT_TRUE(c.sequence) << c.error;
    std::vector<std::string> table(c.sequence->materialNamesBegin, c.sequence->materialNamesEnd);
    EXPECT_EQ(table, (std::vector<std::string>{"/mat/stone", "/mat/moss", "/mat/water"}));
}

TEST(SequenceDriver, FailuresAndTheirTexts)
{
    SequenceSettings settings{};
    // Not an archive.
    const std::vector<uint8_t> junk(64, 7);
    Compressed c = compress(junk, settings);
    EXPECT_FALSE(c.sequence);
    EXPECT_EQ(c.error, "Failed to open the Alembic file or it contains no polygon meshes.");

    // Every frame loses its only triangle.
    MeshFrames tri;
    tri.positions = {{0, 0, 0, 0, 1, 0, kNaN, 0, 0}};
    tri.faceIndices = {{0, 1, 2}};
    tri.faceCounts = {{3}};
    c = compress(writeArchive(archiveOf({polyMeshObject("tri", tri)})), settings);
    EXPECT_FALSE(c.sequence);
    EXPECT_EQ(c.error, "All frames in the Alembic file are empty (no geometry).");

    // Every frame's compression fails: the text is that frame's own, set once.
    settings.compression.positionQuality = 5.0f;
    std::string expected;
    {
        const float p[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        const Triangle t = {{0, 1, 2}};
        const uint32_t g = 0;
        const MeshAttribute a = {POSITION, p, p + 9, 3};
        MeshDescriptor d{&t, &t + 1, &a, &a + 1, &g, &g + 1, nullptr, nullptr};
        ASSERT_EQ(vmq::compressMeshCore(d, settings.compression, nullptr, expected), nullptr);
    }
    for (uint32_t threads : {1u, 4u}) {
        c = compress(wavingGrid(3, 3, 5), settings, threads);
        EXPECT_FALSE(c.sequence);
        EXPECT_EQ(c.error, expected);
    }

    // Null arguments and null release.
    std::string error;
    EXPECT_EQ(vmq::compressAlembicMemory(junk, nullptr, 1, nullptr, nullptr, error), nullptr);
    EXPECT_EQ(error, "Invalid arguments.");
    EXPECT_EQ(Pelku_Vmq_Compression_CompressAlembicFile(nullptr, &settings, 1, nullptr, nullptr), nullptr);
    EXPECT_EQ(lastError(), "Invalid arguments.");
    Pelku_Vmq_Compression_ReleaseCompressedSequence(nullptr);
}

TEST(SequenceDriver, FixtureArchivesThroughTheExportedCall)
{
    REQUIRE_IMPORTER_FIXTURES();
    SequenceSettings settings{};
    ProgressLog log;
    CompressedSequence* s = Pelku_Vmq_Compression_CompressAlembicFile(importer_test::fixturePath("nan_position.abc").c_str(), &settings,
                                                                      0, logProgress, &log);
    ASSERT_NE(s, nullptr) << lastError();
    EXPECT_EQ(s->frameCount, 1u);
    ASSERT_NE(s->frames[0], nullptr);
    EXPECT_EQ(s->frames[0]->triangleCount, 1u);
    EXPECT_EQ(s->staticTopology, 0u);
    EXPECT_EQ(s->staticAttributeMask, 0u);
    EXPECT_EQ(log.calls, (std::vector<std::vector<float>>{{1.0f, 1, 1}}));
    Pelku_Vmq_Compression_ReleaseCompressedSequence(s);

    EXPECT_EQ(Pelku_Vmq_Compression_CompressAlembicFile(importer_test::fixturePath("nan_position_only.abc").c_str(), &settings, 1,
                                                        nullptr, nullptr),
              nullptr);
    EXPECT_EQ(lastError(), "All frames in the Alembic file are empty (no geometry).");
    EXPECT_EQ(Pelku_Vmq_Compression_CompressAlembicFile(importer_test::fixturePath("no_polymesh.abc").c_str(), &settings, 1, nullptr,
                                                        nullptr),
              nullptr);
    EXPECT_EQ(lastError(), "Failed to open the Alembic file or it contains no polygon meshes.");

    // index_oob.abc: frame 1 cannot be read and stays a null entry between two frames.
    s = Pelku_Vmq_Compression_CompressAlembicFile(importer_test::fixturePath("index_oob.abc").c_str(), &settings, 2, nullptr, nullptr);
    ASSERT_NE(s, nullptr) << lastError();
    ASSERT_EQ(s->frameCount, 3u);
    EXPECT_NE(s->frames[0], nullptr);
    EXPECT_EQ(s->frames[1], nullptr);
    ASSERT_NE(s->frames[2], nullptr);
    EXPECT_EQ(s->frames[2]->triangleCount, 4u);
    Pelku_Vmq_Compression_ReleaseCompressedSequence(s);
}

} // namespace
