#pragma once
// The body shared by the compress functions, callable from inside the library (the sequence
// driver) with a message of its own instead of the process-wide text.
#include "pelku_vmq_compression.h"

#include "alembic/vertex_attribute.h"
#include "encoding/mesh_tables.h"

#include <string>
#include <vector>

namespace vmq {

// The library's own copies of a compress call's inputs, which the pipeline runs on.
struct MeshCopies {
    std::vector<TriangleIndices> triangles;
    std::vector<MeshAttribute> attributes; // pointing at the caller's values, or into `values`
    std::vector<uint32_t> triangleGroups;
    std::vector<VertexAttribute> values;   // the attribute values, when the optimisation pass ran
};

// Copies the mesh. With optimizeMesh set and no partition, the attribute values are copied too
// and the optimisation pass (weld, clean-up, reordering) runs on the copies. The caller's
// arrays are only read.
MeshCopies copyMeshForCompression(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition);

// Compresses one mesh. Returns the record, or null with the reason in `error`. Never throws.
CompressedMesh* compressMeshCore(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                 std::string& error);

} // namespace vmq
