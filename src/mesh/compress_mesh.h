#pragma once
// One mesh from its inputs to its record: the checks, the library's own copy (optimized when
// the settings ask for it), the pipeline and the record. A host's mesh is copied; a mesh the
// library already owns (an archive frame) goes to the pipeline as it is.
#include "core/mesh.h"
#include "pelku_vmq_compression.h"

#include <string>
#include <vector>

namespace vmq {

// The views through which the pipeline reads a mesh's attributes.
std::vector<MeshAttribute> attributeViews(const Mesh& mesh);

// A host's mesh as the pipeline reads it: the triangles and groups copied into `mesh`, and
// `attributes` pointing at the caller's values, or at the values of `mesh` when the optimization
// pass ran on a copy of them.
struct HostMeshCopy {
    Mesh mesh;
    std::vector<MeshAttribute> attributes;
};

// Copies a host's mesh. With optimizeMesh set and no partition, the attribute values are copied
// too and the optimization pass (weld, clean-up, reordering) runs on the copy. The caller's
// arrays are only read.
HostMeshCopy copyHostMesh(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition);

// Compresses a host's mesh. Returns the record, or null with the reason in `error`. Never throws.
CompressedMesh* compressMeshCore(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                 std::string& error);

// How much a compression checks a given partition and reused topology against the mesh.
enum class ReuseCheck {
    Full,          // every meshlet against the mesh's triangles and groups
    SameTriangles, // none: the caller has found the mesh's triangles and groups equal to those
                   // the partition and topology were made from (a frame of a constant topology)
};

// Compresses a mesh the library owns, without the optimization pass and without copying it, with
// the same checks as a host's mesh (but for what `check` leaves out); the mesh is used up.
// Returns the record, or null with the reason in `error`. Never throws.
CompressedMesh* compressOwnedMesh(Mesh&& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                  const MeshletTopologyList* reuseTopology, std::string& error, ReuseCheck check = ReuseCheck::Full);

} // namespace vmq
