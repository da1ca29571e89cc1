#pragma once
// Meshlet header and symbol packing: one encoded meshlet becomes eight header words and its runs
// of symbols in the global and channel coders.
#include "encoding/topology.h"

#include <cstdint>

namespace vmq {

struct CompressionContext;

void packMeshlet(CompressionContext& context, const EncodedMeshlet& meshlet, uint32_t& vertexSum, uint32_t& triangleSum,
                 uint32_t& indexWordSum);

} // namespace vmq
