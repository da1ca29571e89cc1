#pragma once
// Pieces shared by the plain peer-comparison harnesses: best-of timing, the library's input
// records for a loaded mesh, and the same mesh as a Draco mesh.
#include "mesh_io.h"
#include "pelku_vmq_compression.h"

#include <draco/mesh/mesh.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace peer_harness {

// Best time of three rounds, each of at least `minSeconds` and one call, in seconds per call.
inline double secondsPerCall(const std::function<void()>& call, double minSeconds = 0.2)
{
    using Clock = std::chrono::steady_clock;
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        int calls = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            call();
            ++calls;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < minSeconds);
        best = std::min(best, elapsed / calls);
    }
    return best;
}

// CPU seconds the calling thread has run: unlike wall time, it leaves out the time the thread
// waited for a core that other work held.
inline double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Seconds per call of every contestant, measured side by side: `rounds` rounds, in each of which
// every contestant in turn runs for at least `minSeconds` (and one call) of thread CPU time; each
// keeps its best round. Interleaving lets a change of load on a shared machine hit every
// contestant alike.
inline std::vector<double> interleavedSecondsPerCall(const std::vector<std::function<void()>>& calls, int rounds = 5,
                                                     double minSeconds = 0.1)
{
    std::vector<double> best(calls.size(), 1e30);
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < calls.size(); ++k) {
            int count = 0;
            const double start = threadSeconds();
            double elapsed = 0;
            do {
                calls[k]();
                ++count;
                elapsed = threadSeconds() - start;
            } while (elapsed < minSeconds);
            best[k] = std::min(best[k], elapsed / count);
        }
    }
    return best;
}

// The library's view of a loaded mesh; points into `mesh`, which must outlive it.
struct LibraryInput {
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};
};

inline void describe(const vmq_support::LoadedMesh& mesh, LibraryInput& out)
{
    out.attributes = {{POSITION, mesh.positions.data(), mesh.positions.data() + mesh.positions.size(), 3}};
    if (!mesh.normals.empty())
        out.attributes.push_back({NORMAL, mesh.normals.data(), mesh.normals.data() + mesh.normals.size(), 3});
    if (!mesh.texcoords.empty())
        out.attributes.push_back({TEXCOORD, mesh.texcoords.data(), mesh.texcoords.data() + mesh.texcoords.size(), 2});
    out.descriptor = MeshDescriptor{};
    out.descriptor.trianglesBegin = reinterpret_cast<const Triangle*>(mesh.indices.data());
    out.descriptor.trianglesEnd = out.descriptor.trianglesBegin + mesh.triangleCount();
    out.descriptor.attributesBegin = out.attributes.data();
    out.descriptor.attributesEnd = out.attributes.data() + out.attributes.size();
    out.descriptor.triangleGroupsBegin = mesh.groups.data();
    out.descriptor.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
}

// Words of the entropy-coded streams alone (global and per channel).
inline size_t streamWords(const CompressedMesh& record)
{
    size_t words = size_t(record.streamWordsEnd - record.streamWordsBegin);
    for (uint32_t c = 0; c < record.channelCount; ++c)
        words += size_t(record.channels[c].streamWordsEnd - record.channels[c].streamWordsBegin);
    return words;
}

// Words a decoder reads: the streams, their decode tables and per-meshlet bit offsets, the
// meshlet headers and the dequantisation records. The value and triangle offsets are left out:
// the streams repeat them.
inline size_t decodableWords(const CompressedMesh& record)
{
    size_t words = streamWords(record) + size_t(record.tableBlobEnd - record.tableBlobBegin) +
                   size_t(record.meshletBitOffsetsEnd - record.meshletBitOffsetsBegin) +
                   size_t(record.meshletHeadersEnd - record.meshletHeadersBegin) + 3 * size_t(record.channelCount);
    for (uint32_t c = 0; c < record.channelCount; ++c) {
        const ChannelStreams& channel = record.channels[c];
        words += size_t(channel.tableBlobEnd - channel.tableBlobBegin) + size_t(channel.meshletBitOffsetsEnd - channel.meshletBitOffsetsBegin);
    }
    return words;
}

inline std::unique_ptr<draco::Mesh> toDraco(const vmq_support::LoadedMesh& mesh)
{
    auto out = std::make_unique<draco::Mesh>();
    const uint32_t n = uint32_t(mesh.vertexCount());
    out->set_num_points(n);
    auto add = [&](draco::GeometryAttribute::Type type, const std::vector<float>& values, int components) {
        if (values.empty())
            return;
        draco::GeometryAttribute attribute;
        attribute.Init(type, nullptr, components, draco::DT_FLOAT32, false, sizeof(float) * components, 0);
        const int id = out->AddAttribute(attribute, true, n);
        for (uint32_t v = 0; v < n; ++v)
            out->attribute(id)->SetAttributeValue(draco::AttributeValueIndex(v), &values[size_t(v) * components]);
    };
    add(draco::GeometryAttribute::POSITION, mesh.positions, 3);
    add(draco::GeometryAttribute::NORMAL, mesh.normals, 3);
    add(draco::GeometryAttribute::TEX_COORD, mesh.texcoords, 2);
    for (size_t t = 0; t < mesh.triangleCount(); ++t)
        out->AddFace({draco::PointIndex(mesh.indices[3 * t]), draco::PointIndex(mesh.indices[3 * t + 1]),
                      draco::PointIndex(mesh.indices[3 * t + 2])});
    return out;
}

} // namespace peer_harness
