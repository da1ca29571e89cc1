// Many calls at once: threads compressing and decoding different meshes and the same mesh,
// sharing one partition handle, one reused topology and one meshlet decoder, and two archive
// compressions running side by side, each with workers of its own. Every result must equal the
// one a single thread gets. Built on its own so that scripts/tsan.sh can run it under
// ThreadSanitizer without building every other test.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "adversarial_meshes.h"
#include "importer_test_support.h"
#include "record_words.h"
#include "test_meshes.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using vmq_test::recordWords;

namespace {

// A bumpy grid with normals and texture coordinates; `seed` moves the bumps and sets the groups.
vmq_support::LoadedMesh grid(uint32_t triangleCount, uint32_t seed)
{
    vmq_support::LoadedMesh mesh = vmq_support::gridMesh(triangleCount);
    for (size_t v = 0; v < mesh.vertexCount(); ++v) {
        float* p = &mesh.positions[3 * v];
        p[2] += 0.2f * std::sin(float(3 + seed) * p[0]) * std::cos(5.0f * p[1]);
        mesh.normals.insert(mesh.normals.end(), {std::sin(p[0]), std::cos(p[1]), 0.5f});
        mesh.texcoords.insert(mesh.texcoords.end(), {p[0], 1.0f - p[1]});
    }
    for (size_t t = 0; t < mesh.triangleCount(); ++t)
        mesh.groups[t] = uint32_t(mesh.positions[3 * mesh.indices[3 * t]] * float(1 + seed % 3) * 0.999f);
    return mesh;
}

struct RecordDeleter {
    void operator()(CompressedMesh* m) const { Pelku_Vmq_Compression_ReleaseCompressedMesh(m); }
};
using Record = std::unique_ptr<CompressedMesh, RecordDeleter>;

// Every value a whole decode gives, in one list.
std::vector<uint32_t> decodedWords(const CompressedMesh& record, int32_t mode)
{
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&record, mode);
    if (!decoded)
        return {};
    std::vector<uint32_t> out = {decoded->meshletCount, decoded->triangleCount, decoded->vertexCount};
    vmq_test::appendSpan(out, decoded->trianglesBegin, decoded->trianglesEnd);
    vmq_test::appendSpan(out, decoded->gridValuesBegin, decoded->gridValuesEnd);
    vmq_test::appendSpan(out, decoded->valuesBegin, decoded->valuesEnd);
    vmq_test::appendSpan(out, decoded->meshletsBegin, decoded->meshletsEnd);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    return out;
}

// Every meshlet of a record through one shared decoder, in one list.
std::vector<uint32_t> meshletWords(const MeshDecoder* decoder, const CompressedMesh& record)
{
    std::vector<uint32_t> out, triangles(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS), grid(size_t(record.channelCount) * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
    for (uint32_t m = 0; m < record.meshletCount; ++m) {
        DecodedMeshletInfo info{};
        if (!Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, triangles.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, grid.data(), nullptr,
                                                 PELKU_VMQ_MAX_MESHLET_ELEMENTS, &info))
            return {};
        vmq_test::appendSpan(out, triangles.data(), triangles.data() + 3 * size_t(info.triangleCount));
        vmq_test::appendSpan(out, grid.data(), grid.data() + size_t(record.channelCount) * info.vertexCount);
    }
    return out;
}

// What one thread got wrong, gathered for the test's thread to report.
class Mismatches {
public:
    void add(std::string what)
    {
        std::lock_guard<std::mutex> guard(lock_);
        list_.push_back(std::move(what));
    }
    const std::vector<std::string>& list() const { return list_; }

private:
    std::mutex lock_;
    std::vector<std::string> list_;
};

TEST(Load, ManyThreadsCompressAndDecodeAsOneThreadDoes)
{
    struct Job {
        vmq_support::LoadedMesh mesh;
        std::unique_ptr<vmq_test::MeshInput> input;
        CompressionSettings settings;
        std::vector<uint32_t> record, decoded;
    };
    std::vector<Job> jobs;
    for (uint32_t k = 0; k < 4; ++k) {
        Job job{grid(300 + 400 * k, k), nullptr, CompressionSettings{}, {}, {}};
        job.input = std::make_unique<vmq_test::MeshInput>(job.mesh);
        job.settings.optimizeMesh = k % 2;
        job.settings.disableParallelogramPrediction = k == 3;
        job.settings.maxMeshletVertices = k == 2 ? 32 : 64;
        jobs.push_back(std::move(job));
    }
    auto modeOf = [](const CompressionSettings& s) {
        return s.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
    };
    for (Job& job : jobs) {
        Record record(Pelku_Vmq_Compression_CompressMesh(&job.input->descriptor, &job.settings));
        ASSERT_TRUE(record) << Pelku_Vmq_Compression_GetCompressionErrorString();
        job.record = recordWords(record.get());
        job.decoded = decodedWords(*record, modeOf(job.settings));
        ASSERT_FALSE(job.decoded.empty());
    }

    // One record whose partition, topology and decoder every thread uses at once: a later frame
    // (other positions) compressed with them must come out the same on every thread.
    const Job& first = jobs[0];
    Record shared(Pelku_Vmq_Compression_CompressMesh(&first.input->descriptor, &first.settings));
    ASSERT_TRUE(shared);
    MeshletPartitionHandle* handle = Pelku_Vmq_Compression_GetMeshletPartition(shared.get());
    ASSERT_NE(handle, nullptr);
    MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(shared.get(), PELKU_VMQ_PREDICTION_PARALLELOGRAM);
    ASSERT_NE(decoder, nullptr);
    vmq_support::LoadedMesh laterMesh = first.mesh;
    for (float& x : laterMesh.positions)
        x = x * 0.75f + 0.125f;
    vmq_test::MeshInput later(laterMesh);
    later.descriptor.reuseTopology = shared->topology;
    CompressionSettings reuseSettings = first.settings;
    Record reused(Pelku_Vmq_Compression_CompressMeshWithMeshlets(&later.descriptor, &reuseSettings, handle));
    ASSERT_TRUE(reused) << Pelku_Vmq_Compression_GetCompressionErrorString();
    const std::vector<uint32_t> reusedWords = recordWords(reused.get());
    const std::vector<uint32_t> sharedMeshlets = meshletWords(decoder, *shared);
    ASSERT_FALSE(sharedMeshlets.empty());

    Mismatches mismatches;
    const unsigned threadCount = 8, rounds = 3;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            for (unsigned r = 0; r < rounds; ++r) {
                const std::string where = "thread " + std::to_string(t) + " round " + std::to_string(r);
                // A mesh of its own, and the mesh every thread compresses.
                for (const Job* job : {&jobs[(t + r) % jobs.size()], &jobs[0]}) {
                    Record record(Pelku_Vmq_Compression_CompressMesh(&job->input->descriptor, &job->settings));
                    if (!record || recordWords(record.get()) != job->record)
                        mismatches.add(where + ": a compression differs");
                    else if (decodedWords(*record, modeOf(job->settings)) != job->decoded)
                        mismatches.add(where + ": a decode differs");
                }
                Record again(Pelku_Vmq_Compression_CompressMeshWithMeshlets(&later.descriptor, &reuseSettings, handle));
                if (!again || recordWords(again.get()) != reusedWords)
                    mismatches.add(where + ": a compression with the shared partition and topology differs");
                if (meshletWords(decoder, *shared) != sharedMeshlets)
                    mismatches.add(where + ": meshlets through the shared decoder differ");
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(mismatches.list().empty()) << mismatches.list().size() << " mismatches, the first: " << mismatches.list().front();
    Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(handle);
}

struct SequenceDeleter {
    void operator()(CompressedSequence* s) const { Pelku_Vmq_Compression_ReleaseCompressedSequence(s); }
};
using Sequence = std::unique_ptr<CompressedSequence, SequenceDeleter>;

std::vector<std::vector<uint32_t>> frameWords(const CompressedSequence* sequence)
{
    std::vector<std::vector<uint32_t>> frames;
    for (uint32_t f = 0; sequence && f < sequence->frameCount; ++f)
        frames.push_back(recordWords(sequence->frames[f]));
    return frames;
}

TEST(Load, TwoArchiveCompressionsAtOnceGiveTheOneThreadResult)
{
    // A waving grid of two meshes over 9 frames, written to a scratch archive.
    std::vector<vmq::abc::WriteObject> objects;
    for (uint32_t k = 0; k < 2; ++k) {
        vmq::abc::MeshFrames mesh = importer_test::grid(10 + 4 * k, 8, float(k) * 20.0f, 0.0f, 9);
        for (uint32_t f = 0; f < 9; ++f)
            for (size_t v = 0; v < mesh.positions[f].size() / 3; ++v)
                mesh.positions[f][3 * v + 2] = 0.3f * std::sin(0.6f * float(f) + 0.4f * mesh.positions[f][3 * v]);
        objects.push_back(vmq::abc::polyMeshObject("wave" + std::to_string(k), mesh));
    }
    const std::string path = vmq_test::tempPath("wave.abc");
    vmq::abc::writeArchiveFile(path, importer_test::archiveOf(std::move(objects)));

    SequenceSettings plain{};
    SequenceSettings tangents{};
    tangents.generateTangents = 1;
    tangents.compression.optimizeMesh = 0;
    const SequenceSettings* settings[] = {&plain, &tangents};
    std::vector<std::vector<uint32_t>> alone[2];
    for (int k = 0; k < 2; ++k) {
        Sequence one(Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), settings[k], 1, nullptr, nullptr));
        ASSERT_TRUE(one) << Pelku_Vmq_Compression_GetCompressionErrorString();
        alone[k] = frameWords(one.get());
        ASSERT_EQ(alone[k].size(), 9u);
    }
    for (int round = 0; round < 2; ++round) {
        std::vector<std::vector<uint32_t>> together[2];
        std::thread threads[2];
        for (int k = 0; k < 2; ++k)
            threads[k] = std::thread([&, k] {
                Sequence s(Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), settings[k], 3, nullptr, nullptr));
                together[k] = frameWords(s.get());
            });
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(together[0], alone[0]) << "round " << round;
        EXPECT_EQ(together[1], alone[1]) << "round " << round;
    }
    std::remove(path.c_str());
}

} // namespace
