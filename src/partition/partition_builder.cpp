#include "partition/partition_builder.h"

#include "pipeline/internal_error.h"

namespace vmq {

MeshletPartition buildMeshletPartition(const MeshTables&, int32_t, int32_t, uint32_t, uint32_t, float)
{
    raiseError("the meshlet partition builder is not available in this build; pass a partition");
}

} // namespace vmq
