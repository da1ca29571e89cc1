#include "partition/partition.h"

#include "format/format.h"

namespace vmq {

std::string checkMeshletOffsets(const uint32_t* triangles, size_t triangleCount, const uint32_t* meshletOffsets, size_t meshletCount)
{
    if (!meshletOffsets)
        return "meshletOffsets is null";
    if ((!triangles && triangleCount) || meshletCount > UINT32_MAX || triangleCount > UINT32_MAX)
        return !triangles ? "triangles is null" : "too many meshlets or triangles";
    if (meshletOffsets[0] != 0)
        return "meshletOffsets[0] is " + std::to_string(meshletOffsets[0]) + ", not 0";
    if (meshletOffsets[meshletCount] != triangleCount)
        return "the last meshlet offset is " + std::to_string(meshletOffsets[meshletCount]) + " for " + std::to_string(triangleCount) +
               " triangles";
    for (size_t m = 0; m < meshletCount; ++m) {
        const uint32_t begin = meshletOffsets[m], end = meshletOffsets[m + 1];
        if (end <= begin)
            return "meshlet " + std::to_string(m) + (end < begin ? " has a decreasing offset" : " is empty");
        if (end - begin > kMaxMeshletElements)
            return "meshlet " + std::to_string(m) + " has " + std::to_string(end - begin) + " triangles; a meshlet holds at most " +
                   std::to_string(kMaxMeshletElements);
    }
    return {};
}

} // namespace vmq
