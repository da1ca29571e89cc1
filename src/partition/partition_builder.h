#pragma once
// Meshlet partition builder: grows meshlets of one group over shared edges within a vertex limit.
#include "encoding/mesh_tables.h"
#include "partition/partition.h"

#include <cstdint>

namespace vmq {

// Arguments as the driver passes them: firstPassMeshletTriangles - 1, minMeshletTriangles - 1,
// maxMeshletVertices - 1, maxMeshletVertices and meshletMergeBoxScale.
MeshletPartition buildMeshletPartition(const MeshTables& mesh, int32_t firstPassCap, int32_t minTriangles, uint32_t vertexCap,
                                       uint32_t maxVertices, float mergeBoxScale);

} // namespace vmq
