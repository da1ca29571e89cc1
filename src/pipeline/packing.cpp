#include "pipeline/packing.h"

#include "pipeline/context.h"
#include "pipeline/internal_error.h"

namespace vmq {

void packMeshlet(CompressionContext&, const EncodedMeshlet&, uint32_t&, uint32_t&, uint32_t&)
{
    raiseError("meshlet packing is not available in this build");
}

} // namespace vmq
