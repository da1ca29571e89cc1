#include "meshlet_cut.h"

#include <meshoptimizer.h>

#include <algorithm>

namespace vmq_tool {

namespace {

// The position (welded vertex) of each corner: triangle t's corner k at 3t + k.
std::vector<uint32_t> cornerPositions(const SourceMesh& mesh, std::vector<float>& welded)
{
    const std::vector<float>& positions = mesh.attributes.at(0).values;
    const size_t vertexCount = mesh.vertexCount();
    std::vector<unsigned int> remap(vertexCount);
    const size_t weldedCount = meshopt_generateVertexRemap(remap.data(), nullptr, vertexCount, positions.data(), vertexCount, 3 * sizeof(float));
    welded.resize(3 * weldedCount);
    meshopt_remapVertexBuffer(welded.data(), positions.data(), vertexCount, 3 * sizeof(float), remap.data());
    std::vector<uint32_t> corners(3 * mesh.triangles.size());
    for (size_t t = 0; t < mesh.triangles.size(); ++t)
        for (int k = 0; k < 3; ++k) {
            const uint32_t v = mesh.triangles[t].indices[k];
            corners[3 * t + k] = v < vertexCount ? remap[v] : v; // out-of-range numbers stay for the library to name
        }
    return corners;
}

// Orders one meshlet's triangles as walks: the next triangle has a corner at the position where
// the current one ends and is rotated to start there. Among several, the one whose own end leaves
// the fewest (but some) triangles to go on with is taken, so that walks rarely strand a triangle.
// The first walk starts at a triangle with the fewest others around it, every later one at the
// corner nearest to where the walk before it ended, which keeps the jump small.
void chainMeshlet(std::vector<uint32_t>& meshlet, const std::vector<uint32_t>& corners, const std::vector<float>& welded,
                  std::vector<Triangle>& triangles)
{
    const uint32_t count = uint32_t(meshlet.size());
    // (position, local triangle) of every corner, sorted by position.
    std::vector<std::pair<uint32_t, uint32_t>> around;
    around.reserve(3 * size_t(count));
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t k = 0; k < 3; ++k)
            around.push_back({corners[3 * size_t(meshlet[i]) + k], i});
    std::sort(around.begin(), around.end());
    std::vector<char> used(count, 0);
    auto trianglesAt = [&](uint32_t position) {
        const auto first = std::lower_bound(around.begin(), around.end(), std::make_pair(position, 0u));
        return std::make_pair(first, std::lower_bound(first, around.end(), std::make_pair(position + 1, 0u)));
    };
    auto unusedAt = [&](uint32_t position) {
        uint32_t n = 0;
        for (auto [first, last] = trianglesAt(position); first != last; ++first)
            n += !used[first->second];
        return n;
    };
    auto corner = [&](uint32_t i, uint32_t k) { return corners[3 * size_t(meshlet[i]) + k % 3]; };
    auto rotationAt = [&](uint32_t i, uint32_t position) { return corner(i, 0) == position ? 0u : corner(i, 1) == position ? 1u : 2u; };
    auto distance = [&](uint32_t a, uint32_t b) {
        float sum = 0;
        for (int c = 0; c < 3; ++c)
            sum += (welded[3 * size_t(a) + c] - welded[3 * size_t(b) + c]) * (welded[3 * size_t(a) + c] - welded[3 * size_t(b) + c]);
        return sum;
    };

    std::vector<uint32_t> order;
    order.reserve(count);
    uint32_t end = ~0u; // where the last placed triangle ends
    for (uint32_t placed = 0; placed < count; ++placed) {
        uint32_t pick = ~0u, start = end;
        uint32_t fewest = ~0u;
        if (placed > 0)
            for (auto [first, last] = trianglesAt(end); first != last; ++first) {
                const uint32_t i = first->second;
                if (used[i])
                    continue;
                used[i] = 1;
                const uint32_t onward = unusedAt(corner(i, rotationAt(i, end) + 2));
                used[i] = 0;
                if ((onward ? onward : ~0u - 1) < fewest)
                    pick = i, fewest = onward ? onward : ~0u - 1;
            }
        if (placed == 0) {
            for (uint32_t i = 0; i < count; ++i)
                if (const uint32_t others = unusedAt(corner(i, 0)) + unusedAt(corner(i, 1)) + unusedAt(corner(i, 2)); others < fewest)
                    pick = i, fewest = others, start = corner(i, 0);
        } else if (pick == ~0u) {
            float nearest = 3.4e38f;
            for (uint32_t i = 0; i < count; ++i)
                for (uint32_t k = 0; k < 3 && !used[i]; ++k)
                    if (const float d = distance(corner(i, k), end); d < nearest)
                        pick = i, nearest = d, start = corner(i, k);
        }
        const uint32_t rotation = rotationAt(pick, start);
        used[pick] = 1;
        end = corner(pick, rotation + 2);
        Triangle& triangle = triangles[meshlet[pick]];
        std::rotate(triangle.indices, triangle.indices + rotation, triangle.indices + 3);
        order.push_back(meshlet[pick]);
    }
    meshlet = std::move(order);
}

} // namespace

bool isDegenerateCut(const CompressedMesh& record, const CompressionSettings& settings)
{
    const uint64_t triangleCap = settings.maxMeshletVertices > 1 ? settings.maxMeshletVertices - 1 : 1;
    return record.meshletCount > 1 && uint64_t(record.triangleCount) * 8 < uint64_t(record.meshletCount) * triangleCap;
}

bool cutOverPositions(const SourceMesh& mesh, const CompressionSettings& settings, PositionCut& cut, std::string& error)
{
    std::vector<float> welded;
    const std::vector<uint32_t> corners = cornerPositions(mesh, welded);
    std::vector<Triangle> weldedTriangles(mesh.triangles.size());
    std::copy(corners.begin(), corners.end(), &weldedTriangles.data()->indices[0]);

    const MeshAttribute position = {POSITION, welded.data(), welded.data() + welded.size(), 3};
    MeshDescriptor descriptor{};
    descriptor.trianglesBegin = weldedTriangles.data();
    descriptor.trianglesEnd = weldedTriangles.data() + weldedTriangles.size();
    descriptor.attributesBegin = &position;
    descriptor.attributesEnd = &position + 1;
    descriptor.triangleGroupsBegin = mesh.groups.data();
    descriptor.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
    CompressionSettings keepNumbering = settings;
    keepNumbering.optimizeMesh = 0; // the partition must number the mesh's own triangles
    std::unique_ptr<CompressedMesh, void (*)(CompressedMesh*)> record(Pelku_Vmq_Compression_CompressMesh(&descriptor, &keepNumbering),
                                                                      Pelku_Vmq_Compression_ReleaseCompressedMesh);
    std::unique_ptr<MeshletPartitionHandle, PartitionRelease> built(record ? Pelku_Vmq_Compression_GetMeshletPartition(record.get()) : nullptr);
    if (!built) {
        error = std::string("meshlets over shared positions failed: ") +
                (record ? "the library kept no partition" : Pelku_Vmq_Compression_GetCompressionErrorString());
        return false;
    }

    cut.triangles = mesh.triangles;
    std::vector<uint32_t> ordered, offsets = {0};
    std::vector<uint32_t> meshlet;
    for (uint32_t m = 0; m < Pelku_Vmq_Compression_GetPartitionMeshletCount(built.get()); ++m) {
        meshlet.resize(Pelku_Vmq_Compression_GetPartitionMeshletTriangles(built.get(), m, nullptr, 0));
        Pelku_Vmq_Compression_GetPartitionMeshletTriangles(built.get(), m, meshlet.data(), meshlet.size());
        chainMeshlet(meshlet, corners, welded, cut.triangles);
        ordered.insert(ordered.end(), meshlet.begin(), meshlet.end());
        offsets.push_back(uint32_t(ordered.size()));
    }
    cut.meshlets.reset(Pelku_Vmq_Compression_CreateMeshletPartition(ordered.data(), ordered.size(), offsets.data(), offsets.size() - 1));
    if (!cut.meshlets) {
        error = std::string("meshlets over shared positions failed: ") + Pelku_Vmq_Compression_GetCompressionErrorString();
        return false;
    }
    return true;
}

} // namespace vmq_tool
