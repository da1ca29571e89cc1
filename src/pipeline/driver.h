#pragma once
// The pipeline of one mesh compression: quantisation, tables, partition, meshlet encoding,
// ordering, packing and entropy coding, in this fixed order.
#include "encoding/mesh_tables.h"
#include "pipeline/context.h"

#include <memory>
#include <vector>

namespace vmq {

// Encodes every meshlet of the partition, in partition order; with reuseTopology, re-encodes
// each meshlet with its stored topology (entry n for meshlet n).
std::vector<std::unique_ptr<EncodedMeshlet>> encodeMeshlets(const std::vector<QuantParams>& quantParams, const MeshletPartition& partition,
                                                            const MeshTables& mesh, const CompressionSettings& settings,
                                                            const std::vector<MeshletTopology>* reuseTopology);

void runCompression(CompressionContext& context, const std::vector<TriangleIndices>& triangles,
                    const std::vector<MeshAttribute>& attributes, const std::vector<uint32_t>& triangleGroups,
                    const CompressionSettings& settings, const MeshletPartition* partition,
                    const std::vector<MeshletTopology>* reuseTopology);

} // namespace vmq
