#include "encoding/topology.h"

#include "core/error.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace vmq {

void bitIndexOutOfRange()
{
    raiseError("Bit index out of range");
}

namespace {

// How a strip triangle after the meshlet's first hangs on the triangle before it in the
// encoding. A decoder reads, for triangle i > 0 with previous triangle (p0, p1, p2):
//   restart 1            -> three references (c0, c1, c2);
//   restart 0, edge 1    -> (p2, p1, n), one reference n;
//   restart 0, edge 0    -> (p0, p2, n), one reference n.
// A strip's first triangle is a restart. A later strip triangle (c0, c1, c2) takes edge 1 when
// c0 = p2 and c1 = p1, else edge 0 when c0 = p0 and c1 = p2. Any other triangle (possible only
// next to edges shared by three or more triangles or with repeated corners) is written as a
// restart inside the strip: restart 1, edge 0, its three corners referenced in order, and the
// strip goes on from it. Wherever the shared-edge patterns apply this is exactly the classic
// choice (edge 1 tested first); the restart form only replaces triangles that the pattern
// bits could not describe.
struct TriangleLink {
    bool restart;
    bool edge;
};

TriangleLink linkTriangle(const TriangleIndices& c, const TriangleIndices& p)
{
    if (c[0] == p[2] && c[1] == p[1])
        return {false, true};
    if (c[0] == p[0] && c[1] == p[2])
        return {false, false};
    return {true, false};
}

bool repeatsCorner(const TriangleIndices& t)
{
    return t[0] == t[1] || t[1] == t[2] || t[0] == t[2];
}

float dequantise(uint32_t q, float scale, float min)
{
    return float(int32_t(q)) * scale + min;
}

void computeCone(EncodedMeshlet& meshlet, const std::vector<QuantParams>& quantParams, MeshletScratch& scratch)
{
    const uint32_t vertexCount = meshlet.topology.vertexCount;
    std::vector<float>& positions = scratch.positions;
    positions.resize(size_t(vertexCount) * 3);
    for (int axis = 0; axis < 3; ++axis) {
        const QuantParams& params = quantParams[axis];
        const float scale = (params.max - params.min) * exp2f(-params.bits);
        const uint32_t* values = meshlet.values.data() + size_t(axis) * vertexCount;
        for (uint32_t k = 0; k < vertexCount; ++k)
            positions[size_t(k) * 3 + axis] = dequantise(values[k], scale, params.min);
    }

    std::vector<float>& normals = scratch.normals;
    normals.resize(3 * meshlet.topology.encodedTriangles.size());
    size_t count = 0;
    for (const TriangleIndices& t : meshlet.topology.encodedTriangles) {
        const float* p0 = &positions[size_t(t[0]) * 3];
        const float* p1 = &positions[size_t(t[1]) * 3];
        const float* p2 = &positions[size_t(t[2]) * 3];
        const float a[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
        const float b[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
        const float n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
        const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(len > 0.0f))
            continue;
        const float d = std::max(len, 1e-6f);
        float* normal = &normals[3 * count++];
        normal[0] = n[0] / d;
        normal[1] = n[1] / d;
        normal[2] = n[2] / d;
    }

    meshlet.coneSpread = 0.0f;
    if (count == 0) {
        std::fill_n(meshlet.coneAxis, 3, 0.0f);
        return;
    }
    if (count == 1) {
        std::copy_n(normals.data(), 3, meshlet.coneAxis);
        return;
    }
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (size_t k = 0; k < count; ++k)
        for (int axis = 0; axis < 3; ++axis)
            sum[axis] += normals[k * 3 + axis];
    for (int axis = 0; axis < 3; ++axis)
        meshlet.coneAxis[axis] = sum[axis] / float(count);
    for (size_t k = 0; k < count; ++k) {
        const float dx = normals[k * 3] - meshlet.coneAxis[0];
        const float dy = normals[k * 3 + 1] - meshlet.coneAxis[1];
        const float dz = normals[k * 3 + 2] - meshlet.coneAxis[2];
        meshlet.coneSpread = std::max(meshlet.coneSpread, std::sqrt(dx * dx + dy * dy + dz * dz));
    }
}

// Every encoder vertex is a corner of some triangle, so the range of the vertices is the range
// of the corners.
void computeBox(EncodedMeshlet& meshlet)
{
    const uint32_t vertexCount = meshlet.topology.vertexCount;
    for (int axis = 0; axis < 3; ++axis) {
        const uint32_t* values = meshlet.values.data() + size_t(axis) * vertexCount;
        float lo = 3.4028235e38f, hi = -3.4028235e38f;
        for (uint32_t k = 0; k < vertexCount; ++k) {
            const float value = float(int32_t(values[k]));
            lo = std::min(lo, value);
            hi = std::max(hi, value);
        }
        meshlet.boxMin[axis] = lo;
        meshlet.boxMax[axis] = hi;
    }
}

// Steps shared by encoding and re-encoding once the topology is known: the channel values in
// encoder order, taken straight from the whole mesh through the vertex map, their residuals,
// the cone and the box.
void finishMeshlet(EncodedMeshlet& meshlet, const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                   MeshletScratch& scratch)
{
    const MeshletTopology& topology = meshlet.topology;
    const uint32_t vertexCount = topology.vertexCount;
    const uint32_t channelCount = uint32_t(mesh.channelValues.size());
    if (channelCount < 3 || quantParams.size() < 3)
        raiseError("the cone needs three position channels");

    std::vector<uint32_t>& encoderVertices = scratch.encoderVertices;
    encoderVertices.resize(vertexCount);
    const std::vector<uint32_t>& wholeVertices = scratch.vertexMap.wholeVertices;
    for (uint32_t l = 0; l < vertexCount; ++l) {
        const uint32_t k = uint32_t(topology.vertexRemap[l]);
        if (k >= vertexCount)
            raiseError("meshlet vertex " + std::to_string(l) + " has no place in the encoder order");
        encoderVertices[k] = wholeVertices[l];
    }
    meshlet.values.resize(size_t(channelCount) * vertexCount);
    for (uint32_t c = 0; c < channelCount; ++c) {
        const uint32_t* in = mesh.channelValues[c].data();
        uint32_t* out = meshlet.values.data() + size_t(c) * vertexCount;
        for (uint32_t k = 0; k < vertexCount; ++k)
            out[k] = in[encoderVertices[k]];
    }

    meshlet.residualChannels = int32_t(quantParams.size());
    meshlet.residualStride = vertexCount;
    meshlet.residualTable.resize(size_t(channelCount) * vertexCount);
    predictChannels(topology, meshlet.values.data(), channelCount, meshlet.residualTable.data(), scratch.predictors);
    computeCone(meshlet, quantParams, scratch);
    computeBox(meshlet);
}

} // namespace

// Symbols of one meshlet's strips. Reference rules (the decoder's reading):
// - Normally the first three references of a meshlet (its first triangle, three distinct
//   corners) are new vertices 0, 1, 2 and carry no IS_FIRST bit; every later reference carries
//   one (1 = new vertex, the next encoder number; 0 = reused, the next INDEX_DATA entry). Then
//   isFirstCount = R - 3, where R is the number of references: 3 per restart triangle (the
//   first triangle included) and 1 per other triangle.
// - When the meshlet's first triangle repeats a corner, its first three references cannot be
//   read as three new vertices, so every reference, the first three included, carries an
//   IS_FIRST bit; then isFirstCount = R. A decoder tells the two forms apart by comparing
//   isFirstCount with R, which it computes from the triangle count and the restart bits.
// isFirstCapacity is the number of bits written: T + 2S - 3 plus 2 per restart inside a strip,
// plus 3 in the second form (S strips of T triangles).
void encodeTopology(MeshletTopology& topology, const MeshTables& meshlet, const StripList& strips, bool deltaOnly)
{
    const uint32_t triangleCount = uint32_t(meshlet.triangleCount);
    const uint32_t stripCount = uint32_t(strips.strips.size());
    topology.deltaOnly = deltaOnly ? 1 : 0;
    topology.triangleCount = triangleCount;
    topology.vertexCount = uint32_t(meshlet.vertexCount);
    topology.numberedVertices = 0;
    topology.isFirstCount = 0;

    uint32_t innerRestarts = 0;
    for (const Strip& strip : strips.strips) {
        if (strip.triangleCount == 0)
            raiseError("an empty strip");
        for (uint32_t j = 1; j < strip.triangleCount; ++j)
            if (linkTriangle(strips.triangles[strip.firstTriangle + j], strips.triangles[strip.firstTriangle + j - 1]).restart)
                ++innerRestarts;
    }
    const bool everyReferenceHasBit = triangleCount > 0 && repeatsCorner(strips.triangles[0]);
    topology.isFirstCapacity = triangleCount + 2 * stripCount + 2 * innerRestarts - (everyReferenceHasBit ? 0 : 3);

    topology.vertexFirstTriangle.assign(topology.vertexCount, 0);
    topology.isFirstBits.assign((size_t(topology.isFirstCapacity) + 31) / 32, 0);
    topology.restartBits.assign((size_t(triangleCount) + 30) / 32, 0);
    topology.edgeBits.assign((size_t(triangleCount) + 30) / 32, 0);
    topology.encodedTriangles.resize(triangleCount);
    topology.vertexRemap.assign(topology.vertexCount, -1);
    topology.indexData.clear();
    topology.indexData.reserve(size_t(topology.isFirstCapacity) + 3);

    auto reference = [&](uint32_t v, uint32_t triangleNumber) {
        const int32_t r = topology.vertexRemap[v];
        if (everyReferenceHasBit || topology.numberedVertices >= 3)
            setBit(topology.isFirstBits, topology.isFirstCount++, r == -1);
        if (r == -1) {
            topology.vertexFirstTriangle[topology.numberedVertices] = triangleNumber;
            topology.vertexRemap[v] = int32_t(topology.numberedVertices++);
        } else {
            topology.indexData.push_back(uint32_t(r));
        }
    };

    uint32_t i = 0;
    for (const Strip& strip : strips.strips) {
        for (uint32_t j = 0; j < strip.triangleCount; ++j) {
            const TriangleIndices& c = strips.triangles[strip.firstTriangle + j];
            const TriangleLink link = j == 0 ? TriangleLink{true, false} : linkTriangle(c, strips.triangles[strip.firstTriangle + j - 1]);
            if (link.restart) {
                reference(c[0], i);
                reference(c[1], i);
            }
            reference(c[2], i);
            if (i > 0) {
                setBit(topology.edgeBits, i - 1, link.edge);
                setBit(topology.restartBits, i - 1, link.restart);
            }
            topology.encodedTriangles[i] = {uint32_t(topology.vertexRemap[c[0]]), uint32_t(topology.vertexRemap[c[1]]),
                                            uint32_t(topology.vertexRemap[c[2]])};
            ++i;
        }
    }
    if (i != triangleCount || topology.numberedVertices != topology.vertexCount)
        raiseError("the strips do not cover the meshlet");

    topology.groupId = meshlet.triangleGroups.empty() ? 0 : meshlet.triangleGroups[0];
    topology.indexCount = uint32_t(topology.indexData.size());
}

// Each vertex after the first is predicted as value[p0] + value[p1] - value[p2]: the
// parallelogram across the edge its first triangle shares with the triangle before, or the
// previous vertex (p0 = p1 = p2 = k - 1) after a restart, in a meshlet's first triangle and
// with delta prediction. The corners are found once for all channels.
void predictChannels(const MeshletTopology& topology, const uint32_t* values, uint32_t channelCount, uint32_t* residuals,
                     std::vector<TriangleIndices>& predictors)
{
    const uint32_t vertexCount = topology.vertexCount;
    predictors.resize(vertexCount);
    for (uint32_t k = 1; k < vertexCount; ++k) {
        TriangleIndices& p = predictors[k];
        p = {k - 1, k - 1, k - 1};
        const uint32_t a = topology.vertexFirstTriangle[k];
        if (!topology.deltaOnly && a > 0 && !readBit(topology.restartBits, a - 1)) {
            const TriangleIndices& t = topology.encodedTriangles[a - 1];
            p = readBit(topology.edgeBits, a - 1) ? TriangleIndices{t[1], t[2], t[0]} : TriangleIndices{t[0], t[2], t[1]};
        }
    }
    for (uint32_t c = 0; c < channelCount; ++c) {
        const uint32_t* value = values + size_t(c) * vertexCount;
        uint32_t* residual = residuals + size_t(c) * vertexCount;
        if (vertexCount > 0)
            residual[0] = zigzag(int32_t(value[0]));
        for (uint32_t k = 1; k < vertexCount; ++k) {
            const TriangleIndices& p = predictors[k];
            residual[k] = zigzag(int32_t(value[k] - (value[p[0]] + value[p[1]] - value[p[2]])));
        }
    }
}

void encodeMeshlet(EncodedMeshlet& out, const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                   const std::vector<uint32_t>& triangleList, bool deltaOnly, MeshletScratch& scratch)
{
    extractMeshlet(scratch.tables, mesh, triangleList, scratch.vertexMap);
    buildAdjacency(scratch.tables);
    formStrips(scratch.tables, 8, scratch.stripScratch, scratch.strips);
    encodeTopology(out.topology, scratch.tables, scratch.strips, deltaOnly);
    finishMeshlet(out, quantParams, mesh, scratch);
}

void reencodeMeshlet(EncodedMeshlet& out, const std::vector<QuantParams>& quantParams, const MeshTables& mesh,
                     const std::vector<uint32_t>& triangleList, bool deltaOnly, MeshletScratch& scratch)
{
    // Only the vertex numbering is needed: the stored topology says the rest.
    mapMeshletVertices(scratch.vertexMap, mesh, triangleList);
    MeshletTopology& stored = out.topology;
    const size_t vertexCount = scratch.vertexMap.size();
    if (stored.triangleCount != triangleList.size() || stored.vertexCount != vertexCount || stored.vertexRemap.size() != vertexCount ||
        stored.vertexFirstTriangle.size() != vertexCount || stored.encodedTriangles.size() != triangleList.size())
        raiseError("the stored topology has " + std::to_string(stored.triangleCount) + " triangles and " +
                   std::to_string(stored.vertexCount) + " vertices, but its meshlet has " + std::to_string(triangleList.size()) +
                   " triangles and " + std::to_string(vertexCount) + " vertices");
    stored.deltaOnly = deltaOnly ? 1 : 0; // the prediction follows this call's settings
    finishMeshlet(out, quantParams, mesh, scratch);
}

} // namespace vmq

void MeshletTopologyList::store(size_t n, const vmq::MeshletTopology& topology)
{
    Entry& entry = meshlets[n];
    static_cast<vmq::MeshletTopologyCounts&>(entry) = topology;
    entry.isFirstWords = uint32_t(topology.isFirstBits.size());
    entry.restartWords = uint32_t(topology.restartBits.size());
    entry.edgeWords = uint32_t(topology.edgeBits.size());
    entry.indexEntries = uint32_t(topology.indexData.size());
    entry.firstTriangleEntries = uint32_t(topology.vertexFirstTriangle.size());
    entry.encodedTriangleCount = uint32_t(topology.encodedTriangles.size());
    entry.remapEntries = uint32_t(topology.vertexRemap.size());
    entry.firstWord = words.size();
    auto add = [&](const uint32_t* begin, size_t count) { words.insert(words.end(), begin, begin + count); };
    add(topology.isFirstBits.data(), topology.isFirstBits.size());
    add(topology.restartBits.data(), topology.restartBits.size());
    add(topology.edgeBits.data(), topology.edgeBits.size());
    add(topology.indexData.data(), topology.indexData.size());
    add(topology.vertexFirstTriangle.data(), topology.vertexFirstTriangle.size());
    add(topology.encodedTriangles.empty() ? nullptr : topology.encodedTriangles.front().data(), 3 * topology.encodedTriangles.size());
    add(reinterpret_cast<const uint32_t*>(topology.vertexRemap.data()), topology.vertexRemap.size());
}

void MeshletTopologyList::append(const vmq::MeshletTopology& topology)
{
    meshlets.emplace_back();
    store(meshlets.size() - 1, topology);
}

void MeshletTopologyList::load(size_t n, vmq::MeshletTopology& out) const
{
    const Entry& entry = meshlets[n];
    static_cast<vmq::MeshletTopologyCounts&>(out) = entry;
    const uint32_t* at = words.data() + entry.firstWord;
    auto take = [&](auto& list, size_t count, size_t wordsPerEntry) {
        list.resize(count);
        if (count)
            std::memcpy(list.data(), at, count * wordsPerEntry * sizeof(uint32_t));
        at += count * wordsPerEntry;
    };
    take(out.isFirstBits, entry.isFirstWords, 1);
    take(out.restartBits, entry.restartWords, 1);
    take(out.edgeBits, entry.edgeWords, 1);
    take(out.indexData, entry.indexEntries, 1);
    take(out.vertexFirstTriangle, entry.firstTriangleEntries, 1);
    take(out.encodedTriangles, entry.encodedTriangleCount, 3);
    take(out.vertexRemap, entry.remapEntries, 1);
}

vmq::MeshletTopology MeshletTopologyList::load(size_t n) const
{
    vmq::MeshletTopology topology;
    load(n, topology);
    return topology;
}
