#include "encoding/mesh_tables.h"

#include <algorithm>

namespace vmq {

void buildMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles,
                     const std::vector<std::vector<uint32_t>>& channels)
{
    uint32_t largest = 0;
    for (const TriangleIndices& t : triangles)
        largest = std::max({largest, t[0], t[1], t[2]});

    std::vector<int64_t> remap(size_t(largest) + 1, -1);
    tables.triangles.resize(triangles.size());
    uint32_t next = 0;
    for (size_t j = 0; j < triangles.size(); ++j) {
        for (int corner = 0; corner < 3; ++corner) {
            const uint32_t index = triangles[j][corner];
            if (remap[index] < 0)
                remap[index] = next++;
            tables.triangles[j][corner] = uint32_t(remap[index]);
        }
    }

    tables.channelValues.resize(channels.size());
    for (size_t c = 0; c < channels.size(); ++c) {
        std::vector<uint32_t>& out = tables.channelValues[c];
        out.assign(next, 0);
        const std::vector<uint32_t>& in = channels[c];
        for (size_t v = 0; v <= largest; ++v)
            if (remap[v] >= 0)
                out[size_t(remap[v])] = in[v];
    }
}

namespace {

bool traversesForward(const TriangleIndices& t, uint32_t lo, uint32_t hi)
{
    return (t[0] == lo && t[1] == hi) || (t[1] == lo && t[2] == hi) || (t[2] == lo && t[0] == hi);
}

} // namespace

void buildAdjacency(MeshTables& tables)
{
    const size_t triangleCount = size_t(tables.triangleCount);
    tables.dualEdges.clear();
    tables.dualEdges.reserve(3 * triangleCount);
    tables.edgeList.clear();
    tables.edgeList.reserve(3 * triangleCount);

    for (uint32_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = tables.triangles[t];
        tables.edgeList.push_back({pairKey(p[0], p[1]), t});
        tables.edgeList.push_back({pairKey(p[1], p[2]), t});
        tables.edgeList.push_back({pairKey(p[2], p[0]), t});
    }
    std::sort(tables.edgeList.begin(), tables.edgeList.end(), [](const EdgeEntry& a, const EdgeEntry& b) {
        return a.edgeKey != b.edgeKey ? a.edgeKey < b.edgeKey : a.triangle < b.triangle;
    });

    const std::vector<EdgeEntry>& edges = tables.edgeList;
    for (size_t begin = 0; begin < edges.size();) {
        size_t end = begin + 1;
        while (end < edges.size() && edges[end].edgeKey == edges[begin].edgeKey)
            ++end;
        const uint32_t lo = uint32_t(edges[begin].edgeKey >> 32);
        const uint32_t hi = uint32_t(edges[begin].edgeKey);
        for (size_t x = begin; x + 1 < end; ++x) {
            const uint32_t b = edges[x].triangle;
            const TriangleIndices& tb = tables.triangles[b];
            const bool forwardB = traversesForward(tb, lo, hi);
            for (size_t y = x + 1; y < end; ++y) {
                const uint32_t c = edges[y].triangle;
                const TriangleIndices& tc = tables.triangles[c];
                if (forwardB == traversesForward(tc, lo, hi))
                    continue;
                // Per-corner count of B's corners found among C's; 3 means the same vertex set.
                int shared = 0;
                for (int k = 0; k < 3; ++k)
                    shared += (tb[k] == tc[0] || tb[k] == tc[1] || tb[k] == tc[2]) ? 1 : 0;
                if (shared == 3)
                    continue;
                const uint32_t lower = std::min(b, c);
                const uint32_t higher = std::max(b, c);
                auto inserted = tables.dualEdges.try_emplace(pairKey(lower, higher), DualEdge{lower, higher, lo, hi, 0});
                if (!inserted.second)
                    continue;
                tables.neighbours[b].push_back(c);
                tables.neighbours[c].push_back(b);
            }
        }
        begin = end;
    }
}

void extractMeshlet(MeshTables& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& triangleList, VertexMap& map)
{
    meshlet.triangles.clear();
    meshlet.triangleGroups.clear();
    meshlet.dualEdges.clear();
    meshlet.edgeList.clear();
    map.clear();

    for (uint32_t g : triangleList) {
        meshlet.triangleGroups.push_back(mesh.triangleGroups[g]);
        TriangleIndices local;
        for (int corner = 0; corner < 3; ++corner) {
            const uint32_t w = mesh.triangles[g][corner];
            auto found = map.try_emplace(w, uint32_t(map.size()));
            local[corner] = found.first->second;
        }
        meshlet.triangles.push_back(local);
    }

    const size_t vertexCount = map.size();
    meshlet.channelValues.resize(mesh.channelValues.size());
    for (size_t c = 0; c < mesh.channelValues.size(); ++c) {
        std::vector<uint32_t>& out = meshlet.channelValues[c];
        out.assign(vertexCount, 0);
        const std::vector<uint32_t>& in = mesh.channelValues[c];
        for (const auto& [whole, local] : map)
            out[local] = in[whole];
    }

    meshlet.vertexCount = vertexCount;
    meshlet.triangleCount = triangleList.size();
    // Keep each list's storage: shrink the outer list only when the meshlet has fewer triangles.
    if (meshlet.neighbours.size() < triangleList.size())
        meshlet.neighbours.resize(triangleList.size());
    for (auto& list : meshlet.neighbours)
        list.clear();
    meshlet.neighbours.resize(triangleList.size());
}

} // namespace vmq
