#pragma once
// The pipeline of one mesh compression: quantisation, tables, partition, meshlet encoding,
// ordering, packing and entropy coding, in this fixed order.
#include "encoding/mesh_tables.h"
#include "pipeline/context.h"

#include <vector>

namespace vmq {

void runCompression(CompressionContext& context, const std::vector<TriangleIndices>& triangles,
                    const std::vector<MeshAttribute>& attributes, const std::vector<uint32_t>& triangleGroups,
                    const CompressionSettings& settings, const MeshletPartition* partition,
                    const std::vector<MeshletTopology>* reuseTopology);

} // namespace vmq
