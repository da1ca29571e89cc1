#pragma once
// Whole-mesh tables of a loaded mesh, built as the compressor builds them before partitioning:
// attributes quantised under the settings, vertices renumbered, adjacency built.
#include "encoding/mesh_tables.h"
#include "mesh_io.h"
#include "pelku_vmq_compression.h"

namespace vmq_support {

// The loaded mesh's attributes as compress input: POSITION, then NORMAL and TEXCOORD when present.
std::vector<MeshAttribute> meshAttributes(const LoadedMesh& mesh);

void buildWholeMeshTables(const LoadedMesh& mesh, const CompressionSettings& settings, vmq::MeshTables& tables);

} // namespace vmq_support
