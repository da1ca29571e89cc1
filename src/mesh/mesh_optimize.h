#pragma once
// Welding, clean-up and reordering of a triangle mesh before compression: equal vertices are
// merged, degenerate and repeated triangles dropped, triangles grouped by material and ordered
// for the vertex cache and overdraw, vertices ordered by first use.
#include "core/mesh.h"

#include <cstdint>
#include <vector>

namespace vmq {

// The vertex count of a mesh: the element count of its first attribute (0 without attributes).
size_t meshVertexCount(const std::vector<VertexAttribute>& attributes);

// Welds the mesh in place and, when `optimize` is set, reorders it: triangles by ascending
// material (ties in their order), each material's triangles for the vertex cache and for
// overdraw, vertices by first use. `sourceVertex`, when given with one entry per vertex, keeps
// vertices of different source vertices apart. `triangleMaterials` stays parallel to
// `triangles`. Every vertex number must lie below the vertex count of every attribute.
void optimizeMeshBuffers(std::vector<TriangleIndices>& triangles, std::vector<VertexAttribute>& attributes,
                         std::vector<uint32_t>& triangleMaterials, bool optimize, const std::vector<uint32_t>* sourceVertex);

// Weld table over the vertices the triangles use: remap[v] is v's new number, vertices equal in
// every attribute (bit for bit) and in `sourceVertex` (when given with one entry per vertex)
// share one; new numbers follow first use, unused vertices get ~0u. Returns the new vertex count.
size_t generateWeldRemap(std::vector<uint32_t>& remap, const std::vector<TriangleIndices>& triangles,
                         const std::vector<VertexAttribute>& attributes, const std::vector<uint32_t>* sourceVertex);

// Renumbers the triangles through `remap` and rebuilds every attribute with `uniqueCount`
// vertices (vertices that nothing maps onto stay zero).
void applyVertexRemap(const std::vector<uint32_t>& remap, size_t uniqueCount, std::vector<TriangleIndices>& triangles,
                      std::vector<VertexAttribute>& attributes);

// Drops, with their materials, the triangles that use one vertex twice; the rest keep their order.
void removeDegenerateTriangles(std::vector<TriangleIndices>& triangles, std::vector<uint32_t>& triangleMaterials);

// Drops every triangle whose material and vertex set (in any corner order) an earlier triangle
// already has; the kept ones keep their order, corner order and material.
void removeRepeatedTriangles(std::vector<TriangleIndices>& triangles, std::vector<uint32_t>& triangleMaterials);

} // namespace vmq
