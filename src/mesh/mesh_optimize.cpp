#include "mesh/mesh_optimize.h"

#include "core/error.h"
#include "encoding/mesh_tables.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <string>
#include <unordered_set>

namespace vmq {

namespace {

static_assert(sizeof(TriangleIndices) == 3 * sizeof(uint32_t), "triangles are read as a flat index buffer");

// meshoptimizer's limits per call: at most 16 streams, at most 256 bytes per element.
constexpr size_t kMaxWeldStreams = 16;
constexpr size_t kMaxElementBytes = 256;

uint32_t* indexData(std::vector<TriangleIndices>& triangles)
{
    return triangles.empty() ? nullptr : triangles.front().data();
}

const uint32_t* indexData(const std::vector<TriangleIndices>& triangles)
{
    return triangles.empty() ? nullptr : triangles.front().data();
}

// Every later call indexes the attributes by vertex number: refuse what would read past one.
void checkMeshShape(const std::vector<TriangleIndices>& triangles, const std::vector<VertexAttribute>& attributes,
                    const std::vector<uint32_t>* triangleMaterials)
{
    size_t vertexLimit = SIZE_MAX;
    for (size_t a = 0; a < attributes.size(); ++a) {
        if (attributes[a].componentCount == 0)
            raiseError("attribute " + std::to_string(a) + " has no components");
        vertexLimit = std::min(vertexLimit, attributes[a].vertexCount());
    }
    for (size_t t = 0; t < triangles.size(); ++t)
        for (uint32_t v : triangles[t])
            if (v >= vertexLimit)
                raiseError("triangle " + std::to_string(t) + " uses vertex " + std::to_string(v) + ", but the attributes hold only " +
                           std::to_string(vertexLimit) + " vertices");
    if (triangleMaterials && triangleMaterials->size() != triangles.size())
        raiseError("the mesh has " + std::to_string(triangleMaterials->size()) + " triangle materials for " +
                   std::to_string(triangles.size()) + " triangles");
}

const VertexAttribute* findPosition(const std::vector<VertexAttribute>& attributes)
{
    for (const VertexAttribute& attribute : attributes)
        if (attribute.kind == 0)
            return &attribute;
    return nullptr;
}

// Triangles (with their materials) in ascending material order, ties in their current order.
void sortByMaterial(std::vector<TriangleIndices>& triangles, std::vector<uint32_t>& triangleMaterials)
{
    if (std::is_sorted(triangleMaterials.begin(), triangleMaterials.end()))
        return; // one material, or already grouped: the stable order is the current one
    std::vector<uint32_t> order(triangles.size());
    for (uint32_t t = 0; t < order.size(); ++t)
        order[t] = t;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return triangleMaterials[a] < triangleMaterials[b]; });
    std::vector<TriangleIndices> sortedTriangles(triangles.size());
    std::vector<uint32_t> sortedMaterials(triangles.size());
    for (size_t t = 0; t < order.size(); ++t) {
        sortedTriangles[t] = triangles[order[t]];
        sortedMaterials[t] = triangleMaterials[order[t]];
    }
    triangles.swap(sortedTriangles);
    triangleMaterials.swap(sortedMaterials);
}

// Vertex-cache, then overdraw order inside every run of one material.
void optimizeMaterialGroups(std::vector<TriangleIndices>& triangles, const std::vector<uint32_t>& triangleMaterials,
                            const std::vector<VertexAttribute>& attributes)
{
    const size_t vertexCount = meshVertexCount(attributes);
    const VertexAttribute* position = findPosition(attributes);
    if (position && position->componentCount < 3)
        position = nullptr;
    // The overdraw pass reads x, y, z only; hand it a packed copy when the stride is over its limit.
    std::vector<float> packedPositions;
    const float* positionData = position ? position->values.data() : nullptr;
    size_t positionStride = position ? 4 * size_t(position->componentCount) : 0;
    if (position && positionStride > kMaxElementBytes) {
        const size_t count = position->vertexCount();
        packedPositions.resize(3 * count);
        for (size_t v = 0; v < count; ++v)
            for (size_t c = 0; c < 3; ++c)
                packedPositions[3 * v + c] = position->values[v * position->componentCount + c];
        positionData = packedPositions.data();
        positionStride = 12;
    }

    uint32_t* indices = indexData(triangles);
    size_t first = 0;
    while (first < triangles.size()) {
        size_t end = first + 1;
        while (end < triangles.size() && triangleMaterials[end] == triangleMaterials[first])
            ++end;
        uint32_t* groupIndices = indices + 3 * first;
        const size_t indexCount = 3 * (end - first);
        meshopt_optimizeVertexCache(groupIndices, groupIndices, indexCount, vertexCount);
        if (positionData)
            meshopt_optimizeOverdraw(groupIndices, groupIndices, indexCount, positionData, vertexCount, positionStride, 1.05f);
        first = end;
    }
}

} // namespace

size_t meshVertexCount(const std::vector<VertexAttribute>& attributes)
{
    return attributes.empty() ? 0 : attributes.front().vertexCount();
}

size_t generateWeldRemap(std::vector<uint32_t>& remap, const std::vector<TriangleIndices>& triangles,
                         const std::vector<VertexAttribute>& attributes, const std::vector<uint32_t>* sourceVertex)
{
    checkMeshShape(triangles, attributes, nullptr);
    const size_t vertexCount = meshVertexCount(attributes);
    remap.assign(vertexCount, ~0u);
    if (triangles.empty() || attributes.empty())
        return 0;

    // One stream per attribute, cut into pieces of at most 256 bytes that keep the attribute's stride.
    std::vector<meshopt_Stream> streams;
    streams.reserve(attributes.size() + 1);
    for (const VertexAttribute& attribute : attributes) {
        const size_t elementBytes = 4 * size_t(attribute.componentCount);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(attribute.values.data());
        for (size_t offset = 0; offset < elementBytes; offset += kMaxElementBytes)
            streams.push_back({bytes + offset, std::min(kMaxElementBytes, elementBytes - offset), elementBytes});
    }
    if (sourceVertex && sourceVertex->size() == vertexCount)
        streams.push_back({sourceVertex->data(), 4, 4});

    // Over 16 streams: weld by the first 16, then stand the resulting class numbers in for them.
    // Classes and first-use numbering come out as one weld over all streams would give them.
    const uint32_t* indices = indexData(triangles);
    const size_t indexCount = 3 * triangles.size();
    std::vector<uint32_t> classes[2];
    size_t pass = 0;
    while (streams.size() > kMaxWeldStreams) {
        std::vector<uint32_t>& passClasses = classes[pass % 2];
        passClasses.assign(vertexCount, ~0u);
        meshopt_generateVertexRemapMulti(passClasses.data(), indices, indexCount, vertexCount, streams.data(), kMaxWeldStreams);
        streams.erase(streams.begin() + 1, streams.begin() + kMaxWeldStreams);
        streams.front() = {passClasses.data(), 4, 4};
        ++pass;
    }
    return meshopt_generateVertexRemapMulti(remap.data(), indices, indexCount, vertexCount, streams.data(), streams.size());
}

// The scatter of meshopt_remapVertexBuffer (every vertex to its new place, in ascending order, so
// the last of several sent to one place stays), with the element size known to the loop.
template <size_t Components>
void scatterVertices(const std::vector<uint32_t>& remap, size_t sourceCount, const float* in, float* out, size_t components)
{
    const size_t width = Components ? Components : components;
    for (size_t v = 0; v < sourceCount; ++v)
        if (remap[v] != ~0u)
            std::copy_n(in + v * width, width, out + size_t(remap[v]) * width);
}

void applyVertexRemap(const std::vector<uint32_t>& remap, size_t uniqueCount, std::vector<TriangleIndices>& triangles,
                      std::vector<VertexAttribute>& attributes)
{
    for (TriangleIndices& triangle : triangles)
        for (uint32_t& index : triangle)
            index = remap[index];
    for (VertexAttribute& attribute : attributes) {
        const size_t components = attribute.componentCount;
        const size_t sourceCount = std::min(remap.size(), attribute.vertexCount());
        std::vector<float> remapped(uniqueCount * components, 0.0f);
        const float* in = attribute.values.data();
        switch (components) {
        case 2: scatterVertices<2>(remap, sourceCount, in, remapped.data(), components); break;
        case 3: scatterVertices<3>(remap, sourceCount, in, remapped.data(), components); break;
        case 4: scatterVertices<4>(remap, sourceCount, in, remapped.data(), components); break;
        default: scatterVertices<0>(remap, sourceCount, in, remapped.data(), components); break;
        }
        attribute.values.swap(remapped);
    }
}

void removeDegenerateTriangles(std::vector<TriangleIndices>& triangles, std::vector<uint32_t>& triangleMaterials)
{
    size_t kept = 0;
    for (size_t t = 0; t < triangles.size(); ++t) {
        const TriangleIndices& triangle = triangles[t];
        if (triangle[0] == triangle[1] || triangle[0] == triangle[2] || triangle[1] == triangle[2])
            continue;
        triangles[kept] = triangle;
        triangleMaterials[kept] = triangleMaterials[t];
        ++kept;
    }
    triangles.resize(kept);
    triangleMaterials.resize(kept);
}

namespace {

struct RepeatedTriangleKey {
    uint32_t material;
    uint32_t largest;
    uint32_t middle;
    uint32_t smallest;

    bool operator==(const RepeatedTriangleKey&) const = default;
};

struct RepeatedTriangleKeyHash {
    size_t operator()(const RepeatedTriangleKey& key) const
    {
        const uint64_t high = (uint64_t(key.material) << 32) | key.largest;
        const uint64_t low = (uint64_t(key.middle) << 32) | key.smallest;
        return size_t(pairHash(high) ^ (pairHash(low) * 0x9e3779b97f4a7c15ull));
    }
};

} // namespace

void removeRepeatedTriangles(std::vector<TriangleIndices>& triangles, std::vector<uint32_t>& triangleMaterials)
{
    if (triangleMaterials.size() != triangles.size())
        raiseError("the mesh has " + std::to_string(triangleMaterials.size()) + " triangle materials for " +
                   std::to_string(triangles.size()) + " triangles");
    std::unordered_set<RepeatedTriangleKey, RepeatedTriangleKeyHash> seen;
    seen.reserve(triangles.size());
    size_t kept = 0;
    for (size_t t = 0; t < triangles.size(); ++t) {
        TriangleIndices sorted = triangles[t];
        std::sort(sorted.begin(), sorted.end());
        if (!seen.insert({triangleMaterials[t], sorted[2], sorted[1], sorted[0]}).second)
            continue;
        triangles[kept] = triangles[t];
        triangleMaterials[kept] = triangleMaterials[t];
        ++kept;
    }
    triangles.resize(kept);
    triangleMaterials.resize(kept);
}

void optimizeMeshBuffers(std::vector<TriangleIndices>& triangles, std::vector<VertexAttribute>& attributes,
                         std::vector<uint32_t>& triangleMaterials, bool optimize, const std::vector<uint32_t>* sourceVertex)
{
    if (triangles.empty() || attributes.empty())
        return;
    checkMeshShape(triangles, attributes, &triangleMaterials);

    std::vector<uint32_t> remap;
    size_t uniqueCount = generateWeldRemap(remap, triangles, attributes, sourceVertex);
    applyVertexRemap(remap, uniqueCount, triangles, attributes);
    removeDegenerateTriangles(triangles, triangleMaterials);
    if (!optimize)
        return;

    sortByMaterial(triangles, triangleMaterials);
    optimizeMaterialGroups(triangles, triangleMaterials, attributes);

    remap.assign(meshVertexCount(attributes), ~0u);
    uniqueCount = meshopt_optimizeVertexFetchRemap(remap.data(), indexData(triangles), 3 * triangles.size(), remap.size());
    applyVertexRemap(remap, uniqueCount, triangles, attributes);
}

} // namespace vmq
