#include "mesh/validate.h"

#include "encoding/quantise.h"
#include "encoding/topology.h"
#include "format/format.h"
#include "partition/partition.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vmq {

namespace {

std::string attributeName(size_t index, int32_t kind)
{
    return "attribute " + std::to_string(index) + " (" + (attributeKindName(kind) ? attributeKindName(kind) : "unnamed kind") + ", kind " + std::to_string(kind) + ")";
}

const char* qualityName(int32_t kind)
{
    switch (kind) {
    case POSITION: return "positionQuality";
    case NORMAL:
    case TANGENT: return "normalQuality";
    case COLOR: return "colorQuality";
    case VELOCITY: return "velocityQuality";
    default: return "texcoordQuality";
    }
}

uint32_t corner(const Triangle& triangle, int k) { return triangle.indices[k]; }
uint32_t corner(const TriangleIndices& triangle, int k) { return triangle[k]; }

// A triangle turned so that its smallest corner comes first: rotations compare equal, the
// winding still counts.
TriangleIndices canonicalRotation(TriangleIndices t)
{
    TriangleIndices best = t;
    for (int r = 0; r < 2; ++r) {
        t = {t[1], t[2], t[0]};
        best = std::min(best, t);
    }
    return best;
}

// Whether a stored topology was made for these triangles: numbered by first use as the encoder
// numbers a meshlet's vertices and taken through its vertex order, they must be its encoded
// triangles (in any order, each turned any way) and the first one's group its group.
template <typename TriangleType>
std::string reuseMismatch(size_t m, const std::vector<uint32_t>& meshlet, const TriangleType* triangles, const uint32_t* triangleGroups,
                          const MeshletTopology& stored, std::vector<uint32_t>& localNumber, std::vector<uint32_t>& stamp,
                          std::vector<TriangleIndices>& given, std::vector<TriangleIndices>& kept)
{
    const std::string which = "Meshlet " + std::to_string(m) + " of the given partition";
    if (stored.vertexRemap.size() != stored.vertexCount || stored.encodedTriangles.size() != stored.triangleCount ||
        stored.vertexFirstTriangle.size() != stored.vertexCount)
        return "The entry of meshlet " + std::to_string(m) + " in reuseTopology is incomplete.";
    if (stored.groupId != triangleGroups[meshlet.front()])
        return which + " has group id " + std::to_string(triangleGroups[meshlet.front()]) +
               ", but its entry in reuseTopology was made for group id " + std::to_string(stored.groupId) + ".";
    uint32_t numbered = 0;
    given.clear();
    for (uint32_t t : meshlet) {
        TriangleIndices encoded;
        for (int k = 0; k < 3; ++k) {
            const uint32_t v = corner(triangles[t], k);
            if (stamp[v] != m + 1) {
                stamp[v] = uint32_t(m + 1);
                localNumber[v] = numbered++;
            }
            const int32_t e = stored.vertexRemap[localNumber[v]];
            if (e < 0 || uint32_t(e) >= stored.vertexCount)
                return "The entry of meshlet " + std::to_string(m) + " in reuseTopology has no vertex order for its vertices.";
            encoded[k] = uint32_t(e);
        }
        given.push_back(canonicalRotation(encoded));
    }
    kept.clear();
    for (const TriangleIndices& t : stored.encodedTriangles)
        kept.push_back(canonicalRotation(t));
    std::sort(given.begin(), given.end());
    std::sort(kept.begin(), kept.end());
    if (given != kept)
        return which + " has other triangles than its entry in reuseTopology was made for.";
    return {};
}

// The checks of both mesh forms. Only a host's triangle span can be malformed (triangles null).
template <typename TriangleType>
std::string validateMesh(const TriangleType* triangles, size_t triangleCount, const MeshAttribute* attributes, size_t attributeCount,
                         const uint32_t* triangleGroups, size_t groupCount, const CompressionSettings& settings,
                         const MeshletPartition* partition, const MeshletTopologyList* reuseTopology)
{
    size_t positionIndex = attributeCount;
    for (size_t a = 0; a < attributeCount; ++a) {
        if (attributes[a].kind == POSITION) {
            positionIndex = a;
            break;
        }
    }
    if (positionIndex == attributeCount)
        return "Input geometry lacks position attribute.";
    if (attributes[positionIndex].componentCount != 3)
        return "Position attribute must have 3 components.";
    if (positionIndex != 0)
        return "The POSITION attribute must come first in the attribute list; it is attribute " + std::to_string(positionIndex) + ".";

    size_t minVertexCount = SIZE_MAX;
    size_t minVertexAttribute = 0;
    for (size_t a = 0; a < attributeCount; ++a) {
        const MeshAttribute& attribute = attributes[a];
        if (attribute.componentCount == 0)
            return "Attribute " + std::to_string(a) + " has a componentCount of 0; every attribute needs at least one component.";
        if (attribute.dataEnd < attribute.dataBegin || (!attribute.dataBegin && attribute.dataEnd))
            return "Attribute " + std::to_string(a) + " has a data span whose end lies before its begin.";
        const int64_t bits = channelBitsForKind(attribute.kind, settings);
        if (bits < 0 || bits > int64_t(kMaxChannelBits))
            return "The " + std::string(qualityName(attribute.kind)) + " setting gives " + attributeName(a, attribute.kind) + " " +
                   std::to_string(bits) + " grid bits; the supported range is 0 to " + std::to_string(kMaxChannelBits) + " bits.";
        const size_t vertexCount = size_t(attribute.dataEnd - attribute.dataBegin) / attribute.componentCount;
        if (vertexCount < minVertexCount) {
            minVertexCount = vertexCount;
            minVertexAttribute = a;
        }
    }

    if (!triangles && triangleCount)
        return "The triangle span's end lies before its begin.";
    if (triangleCount == 0)
        return "The mesh has no triangles; at least one is needed.";
    if (triangleCount > UINT32_MAX)
        return "The mesh has " + std::to_string(triangleCount) + " triangles; at most 4294967295 are supported.";
    for (size_t t = 0; t < triangleCount; ++t) {
        for (int corner = 0; corner < 3; ++corner) {
            const uint32_t v = vmq::corner(triangles[t], corner);
            if (v >= minVertexCount)
                return "Triangle " + std::to_string(t) + " uses vertex " + std::to_string(v) + ", but " +
                       attributeName(minVertexAttribute, attributes[minVertexAttribute].kind) + " has only " +
                       std::to_string(minVertexCount) + " vertices.";
        }
    }

    if (groupCount != triangleCount)
        return "triangleGroups holds " + std::to_string(groupCount) + " group ids for " + std::to_string(triangleCount) +
               " triangles; exactly one per triangle is needed.";
    for (size_t t = 0; t < triangleCount; ++t)
        if (triangleGroups[t] > kMaxGroupId)
            return "Triangle " + std::to_string(t) + " has group id " + std::to_string(triangleGroups[t]) +
                   "; group ids must be at most " + std::to_string(kMaxGroupId) + ".";

    const std::vector<MeshletTopologyList::Entry>* reuse = reuseTopology ? &reuseTopology->meshlets : nullptr;
    if (reuse && !partition)
        return "reuseTopology needs the partition it was made with; give that partition too.";
    if (partition) {
        if (reuse && reuse->size() < partition->meshlets.size())
            return "reuseTopology holds " + std::to_string(reuse->size()) + " meshlet topologies, but the given partition has " +
                   std::to_string(partition->meshlets.size()) + " meshlets.";
        // Distinct vertices per meshlet, counted with a stamp per input vertex.
        std::vector<uint32_t> stamp(minVertexCount, 0);
        std::vector<uint32_t> reuseStamp, localNumber;
        std::vector<TriangleIndices> given, kept;
        MeshletTopology stored;
        if (reuse) {
            reuseStamp.assign(minVertexCount, 0);
            localNumber.assign(minVertexCount, 0);
        }
        for (size_t m = 0; m < partition->meshlets.size(); ++m) {
            const std::vector<uint32_t>& meshlet = partition->meshlets[m];
            if (meshlet.empty())
                return "Meshlet " + std::to_string(m) + " of the given partition is empty.";
            if (meshlet.size() > kMaxMeshletElements)
                return "Meshlet " + std::to_string(m) + " of the given partition has " + std::to_string(meshlet.size()) +
                       " triangles; a meshlet holds at most " + std::to_string(kMaxMeshletElements) + ".";
            size_t vertexCount = 0;
            for (uint32_t t : meshlet) {
                if (t >= triangleCount)
                    return "Meshlet " + std::to_string(m) + " of the given partition names triangle " + std::to_string(t) +
                           ", but the mesh has " + std::to_string(triangleCount) + " triangles.";
                for (int k = 0; k < 3; ++k) {
                    const uint32_t v = vmq::corner(triangles[t], k);
                    if (stamp[v] != m + 1) {
                        stamp[v] = uint32_t(m + 1);
                        ++vertexCount;
                    }
                }
            }
            if (vertexCount > kMaxMeshletElements)
                return "Meshlet " + std::to_string(m) + " of the given partition uses " + std::to_string(vertexCount) +
                       " vertices; a meshlet holds at most " + std::to_string(kMaxMeshletElements) + ".";
            if (reuse && ((*reuse)[m].triangleCount != meshlet.size() || (*reuse)[m].vertexCount != vertexCount))
                return "Meshlet " + std::to_string(m) + " of the given partition has " + std::to_string(meshlet.size()) +
                       " triangles and " + std::to_string(vertexCount) + " vertices, but its entry in reuseTopology was made for " +
                       std::to_string((*reuse)[m].triangleCount) + " triangles and " + std::to_string((*reuse)[m].vertexCount) +
                       " vertices.";
            if (reuse) {
                reuseTopology->load(m, stored);
                std::string mismatch = reuseMismatch(m, meshlet, triangles, triangleGroups, stored, localNumber, reuseStamp, given, kept);
                if (!mismatch.empty())
                    return mismatch;
            }
        }
    } else {
        if (settings.maxMeshletVertices < 3)
            return "maxMeshletVertices is " + std::to_string(settings.maxMeshletVertices) + "; meshlets need at least 3 vertices.";
        if (settings.maxMeshletVertices > kMaxMeshletElements)
            return "maxMeshletVertices is " + std::to_string(settings.maxMeshletVertices) + "; a meshlet holds at most " +
                   std::to_string(kMaxMeshletElements) + " vertices.";
        if (settings.firstPassMeshletTriangles == 1)
            return "firstPassMeshletTriangles of 1 cannot be partitioned; use 0 or at least 2.";
    }
    return {};
}

} // namespace

std::string validateCompressInput(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition)
{
    const size_t attributeCount = mesh.attributesBegin && mesh.attributesEnd > mesh.attributesBegin
                                      ? size_t(mesh.attributesEnd - mesh.attributesBegin)
                                      : 0;
    const bool triangleSpanValid = !(mesh.trianglesEnd < mesh.trianglesBegin || (!mesh.trianglesBegin && mesh.trianglesEnd));
    const size_t groupCount = mesh.triangleGroupsBegin && mesh.triangleGroupsEnd > mesh.triangleGroupsBegin
                                  ? size_t(mesh.triangleGroupsEnd - mesh.triangleGroupsBegin)
                                  : 0;
    // A malformed triangle span reaches the checks as a null span of one triangle.
    return validateMesh(triangleSpanValid ? mesh.trianglesBegin : nullptr,
                        triangleSpanValid ? size_t(mesh.trianglesEnd - mesh.trianglesBegin) : 1, mesh.attributesBegin, attributeCount,
                        mesh.triangleGroupsBegin, groupCount, settings, partition, mesh.reuseTopology);
}

std::string validateCompressInput(const Mesh& mesh, const std::vector<MeshAttribute>& attributes, const CompressionSettings& settings,
                                  const MeshletPartition* partition, const MeshletTopologyList* reuseTopology)
{
    return validateMesh(mesh.triangles.data(), mesh.triangles.size(), attributes.data(), attributes.size(),
                        mesh.triangleGroups.data(), mesh.triangleGroups.size(), settings, partition, reuseTopology);
}

} // namespace vmq
