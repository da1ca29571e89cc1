#pragma once
// Generated tangents for a welded mesh: a TANGENT attribute of 4 components (x, y, z and the
// handedness sign) from its positions, normals and first texture coordinates.
#include "core/mesh.h"

#include <vector>

namespace vmq {

// Appends a TANGENT attribute when the mesh has triangles, POSITION (3 or more components),
// NORMAL (3 or more) and TEXCOORD (2 or more), at least one vertex and no TANGENT yet;
// otherwise leaves the attributes as they are. Triangles whose vertex normals face away from
// their winding are handed to the generator in the order a, c, b. Where corners of one vertex
// get different tangents, the highest-numbered triangle's value stays; unused vertices get
// zeros.
void generateTangentFrame(const std::vector<TriangleIndices>& triangles, std::vector<VertexAttribute>& attributes);

} // namespace vmq
