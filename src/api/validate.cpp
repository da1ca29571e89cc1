#include "api/validate.h"

#include "encoding/quantise.h"
#include "encoding/topology.h"
#include "format/format.h"
#include "partition/partition.h"

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

} // namespace

std::string validateCompressInput(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition)
{
    const MeshAttribute* attributes = mesh.attributesBegin;
    const size_t attributeCount = mesh.attributesBegin && mesh.attributesEnd > mesh.attributesBegin
                                      ? size_t(mesh.attributesEnd - mesh.attributesBegin)
                                      : 0;
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

    if (mesh.trianglesEnd < mesh.trianglesBegin || (!mesh.trianglesBegin && mesh.trianglesEnd))
        return "The triangle span's end lies before its begin.";
    const size_t triangleCount = size_t(mesh.trianglesEnd - mesh.trianglesBegin);
    if (triangleCount == 0)
        return "The mesh has no triangles; at least one is needed.";
    if (triangleCount > UINT32_MAX)
        return "The mesh has " + std::to_string(triangleCount) + " triangles; at most 4294967295 are supported.";
    for (size_t t = 0; t < triangleCount; ++t) {
        for (int corner = 0; corner < 3; ++corner) {
            const uint32_t v = mesh.trianglesBegin[t].indices[corner];
            if (v >= minVertexCount)
                return "Triangle " + std::to_string(t) + " uses vertex " + std::to_string(v) + ", but " +
                       attributeName(minVertexAttribute, attributes[minVertexAttribute].kind) + " has only " +
                       std::to_string(minVertexCount) + " vertices.";
        }
    }

    const size_t groupCount = mesh.triangleGroupsBegin && mesh.triangleGroupsEnd > mesh.triangleGroupsBegin
                                  ? size_t(mesh.triangleGroupsEnd - mesh.triangleGroupsBegin)
                                  : 0;
    if (groupCount != triangleCount)
        return "triangleGroups holds " + std::to_string(groupCount) + " group ids for " + std::to_string(triangleCount) +
               " triangles; exactly one per triangle is needed.";
    for (size_t t = 0; t < triangleCount; ++t)
        if (mesh.triangleGroupsBegin[t] > kMaxGroupId)
            return "Triangle " + std::to_string(t) + " has group id " + std::to_string(mesh.triangleGroupsBegin[t]) +
                   "; group ids must be at most " + std::to_string(kMaxGroupId) + ".";

    const std::vector<vmq::MeshletTopology>* reuse = mesh.reuseTopology ? &mesh.reuseTopology->meshlets : nullptr;
    if (partition) {
        if (reuse && reuse->size() < partition->meshlets.size())
            return "reuseTopology holds " + std::to_string(reuse->size()) + " meshlet topologies, but the given partition has " +
                   std::to_string(partition->meshlets.size()) + " meshlets.";
        // Distinct vertices per meshlet, counted with a stamp per input vertex.
        std::vector<uint32_t> stamp(minVertexCount, 0);
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
                for (uint32_t v : mesh.trianglesBegin[t].indices) {
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

} // namespace vmq
