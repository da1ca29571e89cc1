#pragma once
// Pieces shared by the plain peer-comparison harnesses: best-of timing, record sizes, and a
// loaded mesh as a Draco mesh.
#include "mesh_io.h"
#include "pelku_vmq_compression.h"

#include <draco/compression/encode.h>
#include <draco/mesh/mesh.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <functional>
#include <memory>
#include <vector>

namespace peer_harness {

// Which clock a measurement reads: the wall clock, or the calling thread's processor time, which
// on a machine shared with other work leaves out the time the thread waits for a core.
enum class Clock { Wall, ThreadCpu };

inline double clockSeconds(Clock clock)
{
    if (clock == Clock::ThreadCpu) {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best time of three rounds, each of at least `minSeconds` and one call, in seconds per call.
inline double secondsPerCall(const std::function<void()>& call, double minSeconds = 0.2, Clock clock = Clock::Wall)
{
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        int calls = 0;
        const double start = clockSeconds(clock);
        double elapsed = 0;
        do {
            call();
            ++calls;
            elapsed = clockSeconds(clock) - start;
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

// The grids the peers quantise to, those of the library's default settings: 12-bit positions,
// 6-bit normals, 13-bit texture coordinates.
constexpr int kPositionBits = 12, kNormalBits = 6, kTexcoordBits = 13;

// Encodes a mesh with Draco at those grids and encoder speed `speed` (-1: Draco's default);
// false when Draco fails.
inline bool dracoEncode(const draco::Mesh& mesh, int speed, draco::EncoderBuffer& buffer)
{
    draco::Encoder encoder;
    encoder.SetAttributeQuantization(draco::GeometryAttribute::POSITION, kPositionBits);
    encoder.SetAttributeQuantization(draco::GeometryAttribute::NORMAL, kNormalBits);
    encoder.SetAttributeQuantization(draco::GeometryAttribute::TEX_COORD, kTexcoordBits);
    if (speed >= 0)
        encoder.SetSpeedOptions(speed, speed);
    return encoder.EncodeMeshToBuffer(mesh, &buffer).ok();
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

// A harness's command line: the last argument that starts with "--" is the mode, the others name
// meshes or archives.
inline void splitArguments(int argc, char** argv, std::string& mode, std::vector<std::string>& names)
{
    for (int k = 1; k < argc; ++k) {
        if (argv[k][0] == '-' && argv[k][1] == '-')
            mode = argv[k];
        else
            names.push_back(argv[k]);
    }
}

} // namespace peer_harness
