#pragma once
// A triangle mesh as the library works on it: triangles over per-vertex attributes and a group
// (on the archive path a material) per triangle. The library owns every value, so a stage may
// change the mesh in place or replace a buffer with one of another vertex count, and hands the
// mesh on by moving it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vmq {

// Three vertex numbers in winding order.
using TriangleIndices = std::array<uint32_t, 3>;

// One per-vertex attribute: its kind, its component count and componentCount floats per vertex.
struct VertexAttribute {
    int32_t kind = 0;
    uint32_t componentCount = 0;
    std::vector<float> values;

    size_t vertexCount() const { return componentCount ? values.size() / componentCount : 0; }
};

struct Mesh {
    std::vector<TriangleIndices> triangles;
    std::vector<VertexAttribute> attributes; // POSITION first
    std::vector<uint32_t> triangleGroups;    // one per triangle
    // Per vertex, where known: the vertex of the source it came from. Vertices of different
    // source vertices are never welded, even when their values are equal.
    std::vector<uint32_t> sourceVertex;

    size_t vertexCount() const { return attributes.empty() ? 0 : attributes.front().vertexCount(); }
};

// The first attribute of `kind`, or null.
inline const VertexAttribute* findAttribute(const Mesh& mesh, int32_t kind)
{
    for (const VertexAttribute& attribute : mesh.attributes)
        if (attribute.kind == kind)
            return &attribute;
    return nullptr;
}
inline VertexAttribute* findAttribute(Mesh& mesh, int32_t kind)
{
    return const_cast<VertexAttribute*>(findAttribute(static_cast<const Mesh&>(mesh), kind));
}

} // namespace vmq
