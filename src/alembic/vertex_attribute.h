#pragma once
// One per-vertex attribute of a mesh being welded and reordered: its kind, its component count
// and its values, componentCount floats per vertex. The library owns the values, so a stage may
// replace them with a buffer of another vertex count.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vmq {

struct VertexAttribute {
    int32_t kind = 0;
    uint32_t componentCount = 0;
    std::vector<float> values;

    size_t vertexCount() const { return componentCount ? values.size() / componentCount : 0; }
};

} // namespace vmq
