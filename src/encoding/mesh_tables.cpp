#include "encoding/mesh_tables.h"

#include "core/error.h"

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

// Fills tables.edgeList with three entries per triangle in ascending (edge key, triangle) order:
// a counting sort on the lower vertex, which keeps triangle order, then each run of one lower
// vertex ordered by the higher vertex, keeping triangle order among equal keys.
void sortEdgeList(MeshTables& tables)
{
    const size_t triangleCount = size_t(tables.triangleCount);
    uint32_t largest = 0;
    for (size_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = tables.triangles[t];
        largest = std::max({largest, p[0], p[1], p[2]});
    }
    std::vector<uint32_t>& next = tables.edgeBuckets;
    next.assign(size_t(largest) + 2, 0);
    for (size_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = tables.triangles[t];
        ++next[size_t(std::min(p[0], p[1])) + 1];
        ++next[size_t(std::min(p[1], p[2])) + 1];
        ++next[size_t(std::min(p[2], p[0])) + 1];
    }
    for (size_t v = 1; v < next.size(); ++v)
        next[v] += next[v - 1];
    std::vector<EdgeEntry>& edges = tables.edgeList;
    edges.resize(3 * triangleCount);
    for (uint32_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = tables.triangles[t];
        for (int k = 0; k < 3; ++k) {
            const uint64_t key = pairKey(p[k], p[(k + 1) % 3]);
            edges[next[size_t(key >> 32)]++] = {key, t};
        }
    }

    // next[v] now ends the run of lower vertex v.
    auto before = [](const EdgeEntry& a, const EdgeEntry& b) {
        return a.edgeKey != b.edgeKey ? a.edgeKey < b.edgeKey : a.triangle < b.triangle;
    };
    size_t begin = 0;
    for (size_t v = 0; v <= largest; ++v) {
        const size_t end = next[v];
        if (end - begin > 32) {
            std::sort(edges.begin() + begin, edges.begin() + end, before);
        } else {
            for (size_t x = begin + 1; x < end; ++x) {
                const EdgeEntry entry = edges[x];
                size_t y = x;
                for (; y > begin && edges[y - 1].edgeKey > entry.edgeKey; --y)
                    edges[y] = edges[y - 1];
                edges[y] = entry;
            }
        }
        begin = end;
    }
}

} // namespace

void buildAdjacency(MeshTables& tables)
{
    const size_t triangleCount = size_t(tables.triangleCount);
    // A closed manifold mesh has 3T / 2 dual edges; the map grows past that where needed.
    tables.dualEdges.clear();
    tables.dualEdges.reserve(3 * triangleCount / 2 + 1);
    sortEdgeList(tables);

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
                tables.dualEdges.tryEmplace(pairKey(lower, higher), DualEdge{lower, higher, lo, hi, 0});
            }
        }
        begin = end;
    }

    // Each new dual edge appends to both triangles' lists, in insertion order; counting first
    // sizes every list once.
    std::vector<uint32_t>& counts = tables.edgeBuckets;
    counts.assign(triangleCount, 0);
    for (uint32_t e = 0; e < tables.dualEdges.size(); ++e) {
        const DualEdge& edge = tables.dualEdges.entry(e);
        ++counts[edge.lowerTriangle];
        ++counts[edge.higherTriangle];
    }
    for (size_t t = 0; t < triangleCount; ++t)
        if (counts[t] != 0)
            tables.neighbours[t].reserve(tables.neighbours[t].size() + counts[t]);
    for (uint32_t e = 0; e < tables.dualEdges.size(); ++e) {
        const DualEdge& edge = tables.dualEdges.entry(e);
        tables.neighbours[edge.lowerTriangle].push_back(edge.higherTriangle);
        tables.neighbours[edge.higherTriangle].push_back(edge.lowerTriangle);
    }
}

void mapMeshletVertices(VertexMap& map, const MeshTables& mesh, const std::vector<uint32_t>& triangleList)
{
    if (map.stamp.size() < mesh.vertexCount)
        map.reserve(size_t(mesh.vertexCount), map.wholeVertices.capacity());
    map.clear();
    for (uint32_t g : triangleList)
        for (uint32_t w : mesh.triangles[g])
            map.insert(w);
}

void extractMeshlet(MeshTables& meshlet, const MeshTables& mesh, const std::vector<uint32_t>& triangleList, VertexMap& map)
{
    const size_t previousTriangleCount = std::min(size_t(meshlet.triangleCount), meshlet.neighbours.size());
    meshlet.triangles.clear();
    meshlet.triangleGroups.clear();
    meshlet.dualEdges.clear();
    meshlet.edgeList.clear();
    if (map.stamp.size() < mesh.vertexCount)
        map.reserve(size_t(mesh.vertexCount), map.wholeVertices.capacity());
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
    // Lists are emptied, never freed: a later meshlet reuses their storage.
    for (size_t t = 0; t < previousTriangleCount; ++t)
        meshlet.neighbours[t].clear();
    if (meshlet.neighbours.size() < triangleList.size())
        meshlet.neighbours.resize(triangleList.size());
}

void VertexMap::reserve(size_t vertexCount, size_t localCount)
{
    if (stamp.size() < vertexCount) {
        stamp.resize(vertexCount, 0);
        localNumber.resize(vertexCount, 0);
    }
    wholeVertices.reserve(localCount);
}

void VertexMap::clear()
{
    wholeVertices.clear();
    if (++currentStamp == 0) { // wrapped: forget every old stamp
        std::fill(stamp.begin(), stamp.end(), 0);
        currentStamp = 1;
    }
}

void DualEdgeMap::reserve(size_t count)
{
    entries_.reserve(count);
    size_t slotCount = 16;
    while (slotCount < 2 * count)
        slotCount <<= 1;
    if (slotCount > slots_.size())
        rehash(slotCount);
}

void DualEdgeMap::clear()
{
    entries_.clear();
    if (++generation_ == 0) { // wrapped: forget every old generation
        for (Slot& slot : slots_)
            slot.generation = 0;
        generation_ = 1;
    }
}

void DualEdgeMap::rehash(size_t slotCount)
{
    slots_.assign(slotCount, Slot{0, 0});
    generation_ = 1;
    const size_t mask = slotCount - 1;
    for (uint32_t e = 0; e < entries_.size(); ++e) {
        size_t s = size_t(pairHash(entries_[e].key)) & mask;
        while (slots_[s].generation == generation_)
            s = (s + 1) & mask;
        slots_[s] = {generation_, e};
    }
}

bool DualEdgeMap::tryEmplace(uint64_t key, const DualEdge& value)
{
    if (2 * (entries_.size() + 1) > slots_.size())
        reserve(std::max<size_t>(2 * entries_.size(), 8));
    const size_t mask = slots_.size() - 1;
    size_t s = size_t(pairHash(key)) & mask;
    while (slots_[s].generation == generation_) {
        if (entries_[slots_[s].entry].key == key)
            return false;
        s = (s + 1) & mask;
    }
    slots_[s] = {generation_, uint32_t(entries_.size())};
    entries_.push_back({key, value});
    return true;
}

uint32_t DualEdgeMap::findIndex(uint64_t key) const
{
    if (slots_.empty())
        return kNone;
    const size_t mask = slots_.size() - 1;
    for (size_t s = size_t(pairHash(key)) & mask; slots_[s].generation == generation_; s = (s + 1) & mask)
        if (entries_[slots_[s].entry].key == key)
            return slots_[s].entry;
    return kNone;
}

DualEdge* DualEdgeMap::find(uint64_t key)
{
    const uint32_t index = findIndex(key);
    return index == kNone ? nullptr : &entries_[index].edge;
}

const DualEdge* DualEdgeMap::find(uint64_t key) const
{
    const uint32_t index = findIndex(key);
    return index == kNone ? nullptr : &entries_[index].edge;
}

DualEdge& DualEdgeMap::at(uint64_t key)
{
    return const_cast<DualEdge&>(static_cast<const DualEdgeMap&>(*this).at(key));
}

const DualEdge& DualEdgeMap::at(uint64_t key) const
{
    const DualEdge* edge = find(key);
    if (!edge)
        raiseError(missingDualEdge(key));
    return *edge;
}

std::string missingDualEdge(uint64_t key)
{
    return "triangles " + std::to_string(key >> 32) + " and " + std::to_string(key & 0xFFFFFFFFu) + " have no shared edge in the adjacency tables";
}

void buildWholeMeshTables(MeshTables& tables, const std::vector<TriangleIndices>& triangles, std::vector<std::vector<uint32_t>> channels,
                          const std::vector<uint32_t>& triangleGroups, bool adjacency)
{
    if (adjacency) {
        buildMeshTables(tables, triangles, channels);
        channels.clear();
        channels.shrink_to_fit();
    } else {
        tables.triangles = triangles;
        tables.channelValues = std::move(channels);
    }
    tables.triangleGroups = triangleGroups;
    tables.triangleCount = tables.triangles.size();
    tables.vertexCount = tables.channelValues.empty() ? 0 : tables.channelValues[0].size();
    if (adjacency) {
        tables.neighbours.assign(size_t(tables.triangleCount), {});
        buildAdjacency(tables);
    }
}

void releaseAdjacency(MeshTables& tables)
{
    tables.dualEdges = DualEdgeMap();
    tables.edgeList = std::vector<EdgeEntry>();
    tables.neighbours = std::vector<std::vector<uint32_t>>();
    tables.edgeBuckets = std::vector<uint32_t>();
}

} // namespace vmq
