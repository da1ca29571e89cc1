// Out of memory at every step: each exported call is run once to count its allocations, then
// once for every n up to that count with the n-th allocation failing. Each such call must
// return null (or 0) with an out-of-memory message, leave the caller's data as it was, free
// everything it took (counted here, and checked by LeakSanitizer in the sanitizer build), and
// the next call must succeed with the same result as before. Also: the meshes that once took
// memory quadratic in their size (a fan of repeated triangles, single triangles at one point)
// stay within a few times what an ordinary mesh of the same size takes.
//
// Its own executable: it replaces the global operator new.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "adversarial_meshes.h"
#include "importer_test_support.h"
#include "record_words.h"
#include "test_meshes.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {

// Allocation accounting. A header in front of every block keeps its size; counting and failing
// are armed only while the library runs (see `library`), so the test's own lists never fail.
std::atomic<bool> armed{false};
std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> failAt{0}; // 0: never fail
std::atomic<int64_t> liveBlocks{0};
std::atomic<int64_t> liveBytes{0};
std::atomic<int64_t> peakBytes{0};
constexpr size_t kHeader = 16;

void* allocate(size_t size, bool mayThrow)
{
    if (armed.load() && allocations.fetch_add(1) + 1 == failAt.load()) {
        if (mayThrow)
            throw std::bad_alloc();
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!block) {
        if (mayThrow)
            throw std::bad_alloc();
        return nullptr;
    }
    *reinterpret_cast<size_t*>(block) = size;
    liveBlocks.fetch_add(1);
    const int64_t live = liveBytes.fetch_add(int64_t(size)) + int64_t(size);
    for (int64_t peak = peakBytes.load(); live > peak && !peakBytes.compare_exchange_weak(peak, live);)
        ;
    return block + kHeader;
}

void release(void* pointer)
{
    if (!pointer)
        return;
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    liveBlocks.fetch_sub(1);
    liveBytes.fetch_sub(int64_t(*reinterpret_cast<size_t*>(block)));
    std::free(block);
}

} // namespace

void* operator new(size_t size) { return allocate(size, true); }
void* operator new[](size_t size) { return allocate(size, true); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size, false); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size, false); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

std::string errorText() { return Pelku_Vmq_Compression_GetCompressionErrorString(); }

// Runs library calls with allocation counting (and failing) armed.
template <typename Calls>
auto library(Calls&& calls)
{
    struct Arm {
        Arm() { armed = true; }
        ~Arm() { armed = false; }
    } arm;
    return calls();
}

// A bumpy grid with normals, in `groupCount` vertical bands.
vmq_support::LoadedMesh grid(uint32_t triangleCount, uint32_t groupCount = 2)
{
    vmq_support::LoadedMesh mesh = vmq_support::gridMesh(triangleCount);
    for (size_t v = 0; v < mesh.vertexCount(); ++v)
        mesh.normals.insert(mesh.normals.end(), {std::sin(mesh.positions[3 * v]), std::cos(mesh.positions[3 * v + 1]), 0.5f});
    for (size_t t = 0; t < mesh.triangleCount(); ++t)
        mesh.groups[t] = uint32_t(mesh.positions[3 * mesh.indices[3 * t]] * float(groupCount) * 0.999f);
    return mesh;
}

// Everything the caller owns, to see that a call left it alone.
std::vector<float> snapshot(const vmq_support::LoadedMesh& mesh)
{
    std::vector<float> all = mesh.positions;
    all.insert(all.end(), mesh.normals.begin(), mesh.normals.end());
    all.insert(all.end(), mesh.indices.begin(), mesh.indices.end());
    all.insert(all.end(), mesh.groups.begin(), mesh.groups.end());
    return all;
}

// The result of one call, for comparison with the next: empty for a failure.
using Outcome = std::vector<uint32_t>;

// Runs `call` (which releases what it made and returns its outcome, empty on failure) once to
// count its allocations, then with each allocation failing in turn.
void failEveryAllocation(const char* name, const std::function<Outcome()>& call, const std::function<std::vector<float>()>& inputs)
{
    const std::vector<float> before = inputs();
    // The error text and this thread's copy of it then hold one block each, which later texts
    // replace rather than add to.
    Pelku_Vmq_Compression_CompressMesh(nullptr, nullptr);
    errorText();
    allocations = 0;
    const Outcome good = call();
    ASSERT_FALSE(good.empty()) << name << ": " << errorText();
    // Counted on a second run: the first may set up what the library keeps for the process.
    const int64_t blocks = liveBlocks.load();
    allocations = 0;
    ASSERT_EQ(call(), good) << name;
    const uint64_t total = allocations.load();
    ASSERT_EQ(liveBlocks.load(), blocks) << name << " keeps memory after it returns";
    ASSERT_GT(total, 0u);

    for (uint64_t n = 1; n <= total; ++n) {
        allocations = 0;
        failAt = n;
        const Outcome failed = call();
        failAt = 0;
        // Counted before this test makes strings of its own.
        const int64_t blocksAfter = liveBlocks.load() - int64_t(failed.capacity() > 0);
        const std::string text = errorText();
        if (!failed.empty()) {
            // The allocation fell after every point where it could fail the call.
            EXPECT_EQ(failed, good) << name << ": allocation " << n << " of " << total << " failed, yet the call succeeded differently";
        } else {
            EXPECT_NE(text.find("out of memory"), std::string::npos) << name << ": allocation " << n << " of " << total << ": '" << text << "'";
        }
        EXPECT_EQ(blocksAfter, blocks) << name << ": allocation " << n << " of " << total << " failed and memory was lost";
        EXPECT_EQ(inputs(), before) << name << ": allocation " << n << " changed the caller's data";
        EXPECT_EQ(call(), good) << name << ": the call after allocation " << n << " failed";
        if (testing::Test::HasFailure())
            return;
    }
}

struct RecordDeleter {
    void operator()(CompressedMesh* m) const { Pelku_Vmq_Compression_ReleaseCompressedMesh(m); }
};
using Record = std::unique_ptr<CompressedMesh, RecordDeleter>;

TEST(OutOfMemory, CompressFailsCleanlyAtEveryAllocation)
{
    const vmq_support::LoadedMesh mesh = grid(72);
    const vmq_test::MeshInput input(mesh);
    for (uint8_t optimize : {0, 1}) {
        CompressionSettings settings{};
        settings.optimizeMesh = optimize;
        failEveryAllocation(optimize ? "CompressMesh with the optimization pass" : "CompressMesh", [&] {
            Record record(library([&] { return Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings); }));
            return vmq_test::recordWords(record.get());
        }, [&] { return snapshot(mesh); });
    }
}

TEST(OutOfMemory, CompressWithPartitionAndTopologyFailsCleanly)
{
    const vmq_support::LoadedMesh mesh = grid(72);
    vmq_test::MeshInput input(mesh);
    CompressionSettings settings{};
    settings.optimizeMesh = 0;
    Record first(Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings));
    ASSERT_TRUE(first);
    MeshletPartitionHandle* handle = Pelku_Vmq_Compression_GetMeshletPartition(first.get());
    ASSERT_NE(handle, nullptr);
    input.descriptor.reuseTopology = first->topology;
    failEveryAllocation("CompressMeshWithMeshlets with reuseTopology", [&] {
        Record record(library([&] { return Pelku_Vmq_Compression_CompressMeshWithMeshlets(&input.descriptor, &settings, handle); }));
        return vmq_test::recordWords(record.get());
    }, [&] { return snapshot(mesh); });
    failEveryAllocation("GetMeshletPartition", [&] {
        MeshletPartitionHandle* copy = library([&] { return Pelku_Vmq_Compression_GetMeshletPartition(first.get()); });
        Outcome outcome;
        for (uint32_t m = 0; m < Pelku_Vmq_Compression_GetPartitionMeshletCount(copy); ++m)
            outcome.push_back(Pelku_Vmq_Compression_GetPartitionMeshletTriangles(copy, m, nullptr, 0));
        Pelku_Vmq_Compression_ReleaseMeshletPartition(copy);
        return outcome;
    }, [] { return std::vector<float>(); });
    const std::vector<uint32_t> flat = {0, 1, 2, 3, 4, 5, 6, 7};
    const std::vector<uint32_t> offsets = {0, 3, 8};
    failEveryAllocation("CreateMeshletPartition", [&] {
        MeshletPartitionHandle* made =
            library([&] { return Pelku_Vmq_Compression_CreateMeshletPartition(flat.data(), flat.size(), offsets.data(), 2); });
        Outcome outcome;
        if (made)
            outcome = {Pelku_Vmq_Compression_GetPartitionMeshletCount(made), Pelku_Vmq_Compression_GetPartitionMeshletTriangles(made, 1, nullptr, 0)};
        Pelku_Vmq_Compression_ReleaseMeshletPartition(made);
        return outcome;
    }, [] { return std::vector<float>(); });
    Pelku_Vmq_Compression_ReleaseMeshletPartition(handle);
}

TEST(OutOfMemory, DecodeFailsCleanlyAtEveryAllocation)
{
    const vmq_support::LoadedMesh mesh = grid(72);
    const vmq_test::MeshInput input(mesh);
    CompressionSettings settings{};
    Record record(Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings));
    ASSERT_TRUE(record);
    auto untouched = [&] {
        const std::vector<uint32_t> now = vmq_test::recordWords(record.get());
        return std::vector<float>(now.begin(), now.end());
    };
    failEveryAllocation("DecodeMesh", [&] {
        DecodedMesh* decoded = library([&] { return Pelku_Vmq_Compression_DecodeMesh(record.get(), PELKU_VMQ_PREDICTION_PARALLELOGRAM); });
        Outcome outcome;
        if (decoded) {
            vmq_test::appendSpan(outcome, decoded->trianglesBegin, decoded->trianglesEnd);
            vmq_test::appendSpan(outcome, decoded->gridValuesBegin, decoded->gridValuesEnd);
        }
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        return outcome;
    }, untouched);
    failEveryAllocation("CreateMeshDecoder and DecodeMeshlet", [&] {
        MeshDecoder* decoder = library([&] { return Pelku_Vmq_Compression_CreateMeshDecoder(record.get(), PELKU_VMQ_PREDICTION_PARALLELOGRAM); });
        Outcome outcome;
        std::vector<uint32_t> triangles(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
        if (decoder)
            for (uint32_t m = 0; m < record->meshletCount; ++m) {
                DecodedMeshletInfo info{};
                if (!library([&] {
                        return Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, triangles.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, nullptr, nullptr, 0,
                                                                   &info);
                    }))
                    return Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder), Outcome();
                outcome.insert(outcome.end(), triangles.begin(), triangles.begin() + 3 * info.triangleCount);
            }
        Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
        return outcome;
    }, untouched);
}

TEST(OutOfMemory, ArchiveCompressionFailsCleanlyAtEveryAllocation)
{
    vmq::abc::MeshFrames frames = importer_test::grid(3, 3, 0.0f, 0.0f, 3);
    for (uint32_t f = 0; f < 3; ++f)
        for (size_t v = 0; v < frames.positions[f].size() / 3; ++v)
            frames.positions[f][3 * v + 2] = 0.1f * float(f) * frames.positions[f][3 * v];
    const std::string path = vmq_test::tempPath("oom.abc");
    vmq::abc::writeArchiveFile(path, importer_test::archiveOf({vmq::abc::polyMeshObject("wave", frames)}));
    SequenceSettings settings{};
    failEveryAllocation("CompressAlembicFile", [&] {
        CompressedSequence* sequence =
            library([&] { return Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, 1, nullptr, nullptr); });
        Outcome outcome;
        for (uint32_t f = 0; sequence && f < sequence->frameCount; ++f) {
            const std::vector<uint32_t> words = vmq_test::recordWords(sequence->frames[f]);
            outcome.insert(outcome.end(), words.begin(), words.end());
        }
        Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
        return outcome;
    }, [] { return std::vector<float>(); });
    std::remove(path.c_str());
}

// ------------------------------------------------------------------------------------------------
// Memory on meshes that once needed memory quadratic in their size

// The most heap bytes live at once during one compression, beyond what was live before it.
int64_t peakOfCompression(const vmq_support::LoadedMesh& mesh)
{
    const vmq_test::MeshInput input(mesh);
    const CompressionSettings settings{};
    const int64_t base = liveBytes.load();
    peakBytes = base;
    CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
    EXPECT_NE(record, nullptr) << errorText();
    Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
    return peakBytes.load() - base;
}

TEST(MemoryBound, RepeatedAndCoincidentTrianglesTakeNoMoreThanAGrid)
{
    const uint32_t triangles = 8192;
    const int64_t grid = peakOfCompression(vmq_support::gridMesh(triangles));
    const int64_t fan = peakOfCompression(vmq_support::repeatedFan(triangles));
    const int64_t point = peakOfCompression(vmq_support::coincidentTriangles(triangles));
    EXPECT_LT(fan, 4 * grid) << "a fan of repeated triangles: " << fan << " bytes, a grid: " << grid;
    EXPECT_LT(point, 4 * grid) << "triangles at one point: " << point << " bytes, a grid: " << grid;
}

} // namespace
