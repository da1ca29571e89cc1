#include "encoding/topology.h"

#include "partition/partition.h"
#include "pipeline/context.h"
#include "pipeline/internal_error.h"

namespace vmq {

std::vector<std::unique_ptr<EncodedMeshlet>> encodeMeshlets(const CompressionContext&, const MeshletPartition& partition,
                                                            const MeshTables&, const CompressionSettings&,
                                                            const std::vector<MeshletTopology>*)
{
    std::vector<std::unique_ptr<EncodedMeshlet>> result(partition.meshlets.size());
    if (!partition.meshlets.empty())
        raiseError("meshlet topology encoding is not available in this build");
    return result;
}

} // namespace vmq
