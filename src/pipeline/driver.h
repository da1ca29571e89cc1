#pragma once
// The pipeline of one mesh compression: quantisation, tables, partition, meshlet encoding,
// ordering, packing and entropy coding, in this fixed order.
#include "encoding/mesh_tables.h"
#include "pipeline/context.h"

#include <vector>

namespace vmq {

// Meshlets in stream order: ascending group id (the group of each meshlet's first triangle, or
// of its stored topology when one is reused), equal ids in partition order.
std::vector<uint32_t> streamOrder(const MeshletPartition& partition, const std::vector<uint32_t>& triangleGroups,
                                  const MeshletTopologyList* reuseTopology);

// Fills the context from one mesh. Every meshlet is encoded and packed in stream order, one at a
// time, into one reused record; with reuseTopology, meshlet n keeps its stored entry n.
// The driver takes the mesh over and releases each of its arrays once no later stage reads it:
// the attribute values (which `attributes` views, unless they are the caller's) once they are
// quantised, the triangles and groups when they move into the whole-mesh tables.
void runCompression(CompressionContext& context, Mesh&& mesh, const std::vector<MeshAttribute>& attributes,
                    const CompressionSettings& settings, const MeshletPartition* partition, const MeshletTopologyList* reuseTopology);

} // namespace vmq
