#pragma once
// What happens to a frame mesh between reading and compression: the settings transform, then
// welding, clean-up, reordering and tangents. Under constant topology every frame is welded with
// one remap, so that all frames keep the same vertex numbering and triangle list.
#include "alembic/frame_mesh.h"
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <vector>

namespace vmq {

// The weld shared by the frames of one sequence: computed once, by the first frame with
// triangles, and only read afterwards.
struct SharedRemap {
    std::vector<uint32_t> remap;  // new vertex number per input vertex
    std::vector<uint32_t> source; // per new vertex: the last input vertex that remap sends there
    uint64_t vertexCount = 0;     // the vertex count it was made for
    uint64_t uniqueCount = 0;     // vertices after the weld
    bool computed = false;
    // The source vertex of every input vertex it was made for: a frame of the same vertex count
    // that lost other triangles (non-finite positions) has other source vertices and is not
    // welded with it.
    std::vector<uint32_t> sourceVertex;
};

// True when every element of `transform` lies within 1e-6 of the identity.
bool isIdentityTransform(const float transform[16]);

// Applies the column-major `transform` to POSITION (with translation), NORMAL (3x3 block, then
// unit length unless that length is 0) and VELOCITY (3x3 block) streams of 3 or more components,
// in single precision; a negative determinant of the 3x3 block swaps the second and third corner
// of every triangle. Nothing happens for an identity transform.
void applyFrameTransform(Mesh& frame, const float transform[16]);

// Welds and cleans the frame in place. Without `staticTopology` the frame is welded and, with
// optimizeMesh set, reordered on its own; with it and a `shared` remap the frame gets the shared
// weld (computing it when it is not yet computed) where its vertex count and source vertices
// match, and no reordering. Then repeated triangles and tangents as the settings ask; `sourceVertex` ends empty.
// With `spareValues`, the value lists the shared weld replaces are kept there, one per attribute.
void processFrameMesh(Mesh& frame, const SequenceSettings& settings, bool staticTopology, SharedRemap* shared,
                      std::vector<std::vector<float>>* spareValues = nullptr);

// Welds and, with `optimize` set, reorders a processed frame on its own.
void optimizeFrameAlone(Mesh& frame, bool optimize);

} // namespace vmq
