#pragma once
// Meshlets for meshes whose triangles share no vertices (flat shading, triangle soups, many CAD
// and scan exports). The library grows meshlets over shared vertices, so such a mesh gets one
// meshlet per triangle; the tool can instead grow them over shared positions and hand them to
// the library as a caller-given partition.
#include "mesh_import.h"
#include "pelku_vmq_compression.h"

#include <memory>
#include <string>
#include <vector>

namespace vmq_tool {

enum class MeshletCut {
    Auto,      // the library's cut, or the position cut when the library's is degenerate and larger
    Library,   // the library's own cut, over shared vertices
    Positions, // meshlets grown over shared positions
};

// True when a record's meshlets hold far fewer triangles than the settings allow: on average
// less than an eighth of the triangle cap (maxMeshletVertices - 1).
bool isDegenerateCut(const CompressedMesh& record, const CompressionSettings& settings);

struct PartitionRelease {
    void operator()(MeshletPartitionHandle* handle) const { Pelku_Vmq_Compression_ReleaseMeshletPartition(handle); }
};

// Meshlets grown over shared positions, and the mesh's triangles arranged for them.
struct PositionCut {
    std::unique_ptr<MeshletPartitionHandle, PartitionRelease> meshlets;
    // The mesh's triangles, same numbers and winding, each rotated so that within a meshlet a
    // triangle starts at the position where the one before it ends.
    std::vector<Triangle> triangles;
};

// The meshlets the library builds for a copy of the mesh whose vertices at equal positions are
// welded into one (positions only, the triangle numbering kept), under the settings' meshlet
// limits; each meshlet then holds up to three vertices of the mesh per triangle. Within a meshlet
// the triangles are ordered, and rotated, so that each starts where the one before it ends: a
// triangle that starts a strip is predicted from the vertex before it, which is then the same
// position. False with a message.
bool cutOverPositions(const SourceMesh& mesh, const CompressionSettings& settings, PositionCut& cut, std::string& error);

} // namespace vmq_tool
