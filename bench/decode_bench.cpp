// Decode speed on the shared meshes: the library's whole-mesh decoder beside Draco's mesh decoder
// and meshoptimizer's index and vertex decoders, measured in the same run and reported as
// million triangles per second and as ratios to the library's figure.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include "mesh_io.h"
#include "peer_harness.h"

#include <draco/compression/decode.h>
#include <draco/compression/encode.h>
#include <meshoptimizer.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using peer_harness::secondsPerCall;

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
        vmq_support::LibraryInput input;
        vmq_support::describe(mesh, input);
        CompressionSettings settings{};
        CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings);
        if (!compressed) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
            return 1;
        }
        const size_t words = peer_harness::streamWords(*compressed);
        const double vmqSeconds = secondsPerCall([&] {
            DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM);
            Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
        });
        const double vmqRate = triangles / vmqSeconds / 1e6;
        const double bitsPerTriangle = 32.0 * double(words) / triangles;
        Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);

        // Draco at matching position bits.
        auto dracoMesh = peer_harness::toDraco(mesh);
        draco::EncoderBuffer buffer;
        if (!peer_harness::dracoEncode(*dracoMesh, -1, buffer)) {
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
