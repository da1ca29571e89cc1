// Decode speed on the shared meshes: the library's whole-mesh decoder beside Draco's mesh decoder
// and meshoptimizer's index and vertex decoders, measured in the same run and reported as
// million triangles per second and as ratios to the library's figure.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "mesh_io.h"
#include "partition/partition.h"

#include <draco/compression/decode.h>
#include <draco/compression/encode.h>
#include <draco/mesh/mesh.h>
#include <meshoptimizer.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// Best time of several runs of at least 0.2 s each, in seconds per call.
double secondsPerCall(const std::function<void()>& call)
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
        } while (elapsed < 0.2);
        best = std::min(best, elapsed / calls);
    }
    return best;
}

struct Interleaved {
    std::vector<float> vertices; // position, normal, texcoord as present
    size_t stride = 0;
};

Interleaved interleave(const vmq_support::LoadedMesh& mesh)
{
    Interleaved out;
    const size_t floats = 3 + (mesh.normals.empty() ? 0 : 3) + (mesh.texcoords.empty() ? 0 : 2);
    out.stride = floats * sizeof(float);
    for (size_t v = 0; v < mesh.vertexCount(); ++v) {
        out.vertices.insert(out.vertices.end(), mesh.positions.begin() + 3 * v, mesh.positions.begin() + 3 * v + 3);
        if (!mesh.normals.empty())
            out.vertices.insert(out.vertices.end(), mesh.normals.begin() + 3 * v, mesh.normals.begin() + 3 * v + 3);
        if (!mesh.texcoords.empty())
            out.vertices.insert(out.vertices.end(), mesh.texcoords.begin() + 2 * v, mesh.texcoords.begin() + 2 * v + 2);
    }
    return out;
}

std::unique_ptr<draco::Mesh> toDraco(const vmq_support::LoadedMesh& mesh)
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

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> names = {"spot.obj", "bob_tri.obj", "armadillo.obj", "bun_zipper.ply", "dragon.obj"};
    if (argc > 1)
        names.assign(argv + 1, argv + argc);
    std::printf("%-16s %9s | %10s %10s | %10s %7s | %10s %7s\n", "mesh", "triangles", "vmq Mtri/s", "bits/tri", "draco", "ratio",
                "meshopt", "ratio");
    for (const std::string& name : names) {
        vmq_support::LoadedMesh mesh;
        std::string error;
        if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + name), mesh, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const double triangles = double(mesh.triangleCount());

        // The library: default settings, library-built partition.
        std::vector<MeshAttribute> attributes = {{POSITION, mesh.positions.data(), mesh.positions.data() + mesh.positions.size(), 3}};
        if (!mesh.normals.empty())
            attributes.push_back({NORMAL, mesh.normals.data(), mesh.normals.data() + mesh.normals.size(), 3});
        if (!mesh.texcoords.empty())
            attributes.push_back({TEXCOORD, mesh.texcoords.data(), mesh.texcoords.data() + mesh.texcoords.size(), 2});
        MeshDescriptor descriptor{};
        descriptor.trianglesBegin = reinterpret_cast<const Triangle*>(mesh.indices.data());
        descriptor.trianglesEnd = descriptor.trianglesBegin + mesh.triangleCount();
        descriptor.attributesBegin = attributes.data();
        descriptor.attributesEnd = attributes.data() + attributes.size();
        descriptor.triangleGroupsBegin = mesh.groups.data();
        descriptor.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
        CompressionSettings settings{};
        CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&descriptor, &settings);
        if (!compressed) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
            return 1;
        }
        size_t words = size_t(compressed->streamWordsEnd - compressed->streamWordsBegin);
        for (uint32_t c = 0; c < compressed->channelCount; ++c)
            words += size_t(compressed->channels[c].streamWordsEnd - compressed->channels[c].streamWordsBegin);
        const double vmqSeconds = secondsPerCall([&] {
            DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        });
        const double vmqRate = triangles / vmqSeconds / 1e6;
        const double bitsPerTriangle = 32.0 * double(words) / triangles;
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);

        // Draco at matching position bits.
        auto dracoMesh = toDraco(mesh);
        draco::Encoder encoder;
        encoder.SetAttributeQuantization(draco::GeometryAttribute::POSITION, 12);
        encoder.SetAttributeQuantization(draco::GeometryAttribute::NORMAL, 6);
        encoder.SetAttributeQuantization(draco::GeometryAttribute::TEX_COORD, 13);
        draco::EncoderBuffer buffer;
        if (!encoder.EncodeMeshToBuffer(*dracoMesh, &buffer).ok()) {
            std::fprintf(stderr, "%s: draco encoding failed\n", name.c_str());
            return 1;
        }
        const double dracoSeconds = secondsPerCall([&] {
            draco::DecoderBuffer input;
            input.Init(buffer.data(), buffer.size());
            draco::Decoder decoder;
            auto result = decoder.DecodeMeshFromBuffer(&input);
            (void)result;
        });

        // meshoptimizer's index and vertex codecs on the interleaved float vertices.
        Interleaved vertices = interleave(mesh);
        const size_t vertexCount = mesh.vertexCount();
        std::vector<unsigned char> indexCode(meshopt_encodeIndexBufferBound(mesh.indices.size(), vertexCount));
        indexCode.resize(meshopt_encodeIndexBuffer(indexCode.data(), indexCode.size(), mesh.indices.data(), mesh.indices.size()));
        std::vector<unsigned char> vertexCode(meshopt_encodeVertexBufferBound(vertexCount, vertices.stride));
        vertexCode.resize(meshopt_encodeVertexBuffer(vertexCode.data(), vertexCode.size(), vertices.vertices.data(), vertexCount, vertices.stride));
        std::vector<uint32_t> indices(mesh.indices.size());
        std::vector<float> decodedVertices(vertices.vertices.size());
        const double meshoptSeconds = secondsPerCall([&] {
            meshopt_decodeIndexBuffer(indices.data(), indices.size(), indexCode.data(), indexCode.size());
            meshopt_decodeVertexBuffer(decodedVertices.data(), vertexCount, vertices.stride, vertexCode.data(), vertexCode.size());
        });

        const double dracoRate = triangles / dracoSeconds / 1e6, meshoptRate = triangles / meshoptSeconds / 1e6;
        std::printf("%-16s %9.0f | %10.2f %10.2f | %10.2f %7.2f | %10.2f %7.2f\n", name.c_str(), triangles, vmqRate, bitsPerTriangle,
                    dracoRate, dracoRate / vmqRate, meshoptRate, meshoptRate / vmqRate);
    }
    std::printf("ratios: peer Mtri/s divided by the library's, same run, same machine\n");
    return 0;
}
