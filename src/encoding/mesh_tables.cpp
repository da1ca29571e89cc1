#include "encoding/mesh_tables.h"

#include "core/error.h"

#include <algorithm>

namespace vmq {

namespace {

// Renumbers tables.triangles in place by first use and moves each channel into that numbering,
// releasing every input channel once it is moved.
void renumberByFirstUse(MeshTables& tables, std::vector<std::vector<uint32_t>>& channels)
{
    uint32_t largest = 0;
    for (const TriangleIndices& t : tables.triangles)
        largest = std::max({largest, t[0], t[1], t[2]});

    constexpr uint32_t kUnused = UINT32_MAX;
    std::vector<uint32_t> remap(size_t(largest) + 1, kUnused);
    uint32_t next = 0;
    for (TriangleIndices& t : tables.triangles) {
        for (uint32_t& index : t) {
            uint32_t& number = remap[index];
            if (number == kUnused)
                number = next++;
            index = number;
        }
    }

    tables.channelValues.resize(channels.size());
    for (size_t c = 0; c < channels.size(); ++c) {
        std::vector<uint32_t>& out = tables.channelValues[c];
        out.assign(next, 0);
        const std::vector<uint32_t>& in = channels[c];
        for (size_t v = 0; v <= largest; ++v)
            if (remap[v] != kUnused)
                out[remap[v]] = in[v];
        channels[c] = {};
    }
}

} // namespace

void buildMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles,
                     const std::vector<std::vector<uint32_t>>& channels)
{
    tables.triangles = triangles;
    std::vector<std::vector<uint32_t>> copies = channels;
    renumberByFirstUse(tables, copies);
}

// A counting sort on the lower vertex, which keeps triangle order, then each run of one lower
// vertex ordered by the higher vertex, keeping triangle order among equal keys.
void sortEdges(std::span<const TriangleIndices> triangles, AdjacencyScratch& scratch)
{
    const size_t triangleCount = triangles.size();
    uint32_t largest = 0;
    for (size_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = triangles[t];
        largest = std::max({largest, p[0], p[1], p[2]});
    }
    std::vector<uint32_t>& next = scratch.lowerBegin;
    next.assign(size_t(largest) + 2, 0);
    for (size_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = triangles[t];
        ++next[size_t(std::min(p[0], p[1])) + 1];
        ++next[size_t(std::min(p[1], p[2])) + 1];
        ++next[size_t(std::min(p[2], p[0])) + 1];
    }
    for (size_t v = 1; v < next.size(); ++v)
        next[v] += next[v - 1];
    std::vector<AdjacencyScratch::Edge>& edges = scratch.edges;
    edges.resize(3 * triangleCount);
    for (uint32_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = triangles[t];
        for (int k = 0; k < 3; ++k) {
            const uint32_t a = p[k], b = p[(k + 1) % 3];
            edges[next[std::min(a, b)]++] = {std::max(a, b), t};
        }
    }

    // next[v] now ends the run of lower vertex v; shift it back to begin it.
    for (size_t v = next.size() - 1; v > 0; --v)
        next[v] = next[v - 1];
    next[0] = 0;
    auto before = [](const AdjacencyScratch::Edge& a, const AdjacencyScratch::Edge& b) {
        return a.higherVertex != b.higherVertex ? a.higherVertex < b.higherVertex : a.triangle < b.triangle;
    };
    for (size_t v = 0; v <= largest; ++v) {
        const size_t begin = next[v], end = next[v + 1];
        if (end - begin > 32) {
            std::sort(edges.begin() + begin, edges.begin() + end, before);
        } else {
            for (size_t x = begin + 1; x < end; ++x) {
                const AdjacencyScratch::Edge entry = edges[x];
                size_t y = x;
                for (; y > begin && edges[y - 1].higherVertex > entry.higherVertex; --y)
                    edges[y] = edges[y - 1];
                edges[y] = entry;
            }
        }
    }
}

namespace {

// Calls found(b, c, lo, hi) for every neighbour pair, in ascending order of the shared edge's
// key, then of b, then of c (b < c). A pair of triangles shares at most one edge key that makes
// them neighbours (two would mean the same corners), so a pair is found at most once, except
// where a degenerate triangle lists one edge twice; its repeated entries sit side by side in the
// run and are skipped.
template <typename Found>
void findNeighbourPairs(const MeshTables& tables, const AdjacencyScratch& scratch, Found&& found)
{
    const std::vector<AdjacencyScratch::Edge>& edges = scratch.edges;
    const std::vector<uint32_t>& lowerBegin = scratch.lowerBegin;
    for (size_t lo = 0; lo + 1 < lowerBegin.size(); ++lo) {
        const size_t runsEnd = lowerBegin[lo + 1];
        for (size_t begin = lowerBegin[lo]; begin < runsEnd;) {
            const uint32_t hi = edges[begin].higherVertex;
            size_t end = begin + 1;
            while (end < runsEnd && edges[end].higherVertex == hi)
                ++end;
            for (size_t x = begin; x + 1 < end; ++x) {
                const uint32_t b = edges[x].triangle;
                if (x > begin && edges[x - 1].triangle == b)
                    continue;
                const TriangleIndices& tb = tables.triangles[b];
                const bool forwardB = traversesForward(tb, uint32_t(lo), hi);
                for (size_t y = x + 1; y < end; ++y) {
                    const uint32_t c = edges[y].triangle;
                    if (c == edges[y - 1].triangle || forwardB == traversesForward(tables.triangles[c], uint32_t(lo), hi))
                        continue;
                    if (!cornersAllShared(tb, tables.triangles[c]))
                        found(b, c, uint32_t(lo), hi);
                }
            }
            begin = end;
        }
    }
}

// Neighbour lists from the pairs in the order found: each pair appends c to b's list, then b to
// c's, so every list follows the pairs' order; counting first sizes the lists.
template <typename Pairs, typename Ends>
void fillNeighbourLists(MeshTables& tables, const Pairs& pairs, Ends&& ends, bool withEdges)
{
    const size_t triangleCount = size_t(tables.triangleCount);
    NeighbourLists& lists = tables.neighbours;
    lists.begin.assign(triangleCount + 1, 0);
    for (const auto& pair : pairs) {
        const auto [b, c] = ends(pair);
        ++lists.begin[b + 1];
        ++lists.begin[c + 1];
    }
    for (size_t t = 0; t < triangleCount; ++t)
        lists.begin[t + 1] += lists.begin[t];
    lists.triangles.resize(lists.begin[triangleCount]);
    lists.edges.resize(withEdges ? lists.begin[triangleCount] : 0);
    std::vector<uint32_t>& fill = tables.adjacencyScratch.fill;
    fill.assign(lists.begin.begin(), lists.begin.end() - 1);
    for (uint32_t e = 0; e < pairs.size(); ++e) {
        const auto [b, c] = ends(pairs[e]);
        const uint32_t atB = fill[b]++, atC = fill[c]++;
        lists.triangles[atB] = c;
        lists.triangles[atC] = b;
        if (withEdges) {
            lists.edges[atB] = e;
            lists.edges[atC] = e;
        }
    }
}

} // namespace

void buildAdjacency(MeshTables& tables, bool dualEdges)
{
    AdjacencyScratch& scratch = tables.adjacencyScratch;
    sortEdges({tables.triangles.data(), size_t(tables.triangleCount)}, scratch);
    if (dualEdges) {
        tables.dualEdges.clear();
        findNeighbourPairs(tables, scratch, [&](uint32_t b, uint32_t c, uint32_t lo, uint32_t hi) {
            tables.dualEdges.push_back({std::min(b, c), std::max(b, c), lo, hi, 0});
        });
        fillNeighbourLists(
            tables, tables.dualEdges, [](const DualEdge& e) { return std::array<uint32_t, 2>{e.lowerTriangle, e.higherTriangle}; }, true);
    } else {
        scratch.pairs.clear();
        findNeighbourPairs(tables, scratch, [&](uint32_t b, uint32_t c, uint32_t, uint32_t) { scratch.pairs.push_back({b, c}); });
        fillNeighbourLists(tables, scratch.pairs, [](const std::array<uint32_t, 2>& p) { return p; }, false);
    }
}

uint32_t findDualEdge(const MeshTables& tables, uint32_t a, uint32_t b)
{
    const NeighbourLists& lists = tables.neighbours;
    for (uint32_t k = lists.begin[a]; k < lists.begin[a + 1]; ++k)
        if (lists.triangles[k] == b)
            return lists.edges.empty() ? kNoDualEdge : lists.edges[k];
    return kNoDualEdge;
}

void mapMeshletVertices(VertexMap& map, const MeshTables& mesh, const std::vector<uint32_t>& triangleList)
{
    if (map.stamp.size() < mesh.vertexCount)
        map.reserve(size_t(mesh.vertexCount), 0);
    map.clear();
    for (uint32_t g : triangleList)
        for (uint32_t w : mesh.triangles[g])
            map.insert(w);
}

void extractMeshlet(MeshTables& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& triangleList, VertexMap& map)
{
    meshlet.triangles.clear();
    meshlet.triangleGroups.clear();
    meshlet.dualEdges.clear();
    if (map.stamp.size() < mesh.vertexCount)
        map.reserve(size_t(mesh.vertexCount), 0);
    map.clear();

    for (uint32_t g : triangleList) {
        meshlet.triangleGroups.push_back(mesh.triangleGroups[g]);
        const TriangleIndices& whole = mesh.triangles[g];
        meshlet.triangles.push_back({map.insert(whole[0]), map.insert(whole[1]), map.insert(whole[2])});
    }

    const size_t vertexCount = map.size();
    meshlet.channelValues.resize(mesh.channelValues.size());
    for (size_t c = 0; c < mesh.channelValues.size(); ++c) {
        std::vector<uint32_t>& out = meshlet.channelValues[c];
        out.resize(vertexCount);
        const uint32_t* in = mesh.channelValues[c].data();
        for (size_t l = 0; l < vertexCount; ++l)
            out[l] = in[map.wholeVertices[l]];
    }

    meshlet.vertexCount = vertexCount;
    meshlet.triangleCount = triangleList.size();
    meshlet.neighbours.reset(triangleList.size());
}

void VertexMap::reserve(size_t vertexCount, size_t localCount)
{
    if (stamp.size() < vertexCount) {
        stamp.resize(vertexCount, 0);
        localNumber.resize(vertexCount, 0);
    }
    if (wholeVertices.size() < localCount)
        wholeVertices.resize(localCount);
}

void VertexMap::grow()
{
    wholeVertices.resize(std::max<size_t>(64, 2 * wholeVertices.size()));
}

void VertexMap::clear()
{
    count = 0;
    if (++currentStamp == 0) { // wrapped: forget every old stamp
        std::fill(stamp.begin(), stamp.end(), 0);
        currentStamp = 1;
    }
}

void buildWholeMeshTables(MeshTables& tables, std::vector<TriangleIndices> triangles, std::vector<std::vector<uint32_t>> channels,
                          std::vector<uint32_t> triangleGroups, bool renumber)
{
    tables.triangles = std::move(triangles);
    if (renumber)
        renumberByFirstUse(tables, channels);
    else
        tables.channelValues = std::move(channels);
    tables.triangleGroups = std::move(triangleGroups);
    tables.triangleCount = tables.triangles.size();
    tables.vertexCount = tables.channelValues.empty() ? 0 : tables.channelValues[0].size();
}

} // namespace vmq
