#pragma once
// Meshlet header and symbol packing: one encoded meshlet becomes eight header words and its runs
// of symbols in the global and channel coders.
#include "encoding/topology.h"
#include "format/format.h"

#include <cstdint>

namespace vmq {

struct CompressionContext;

// Bit c mod 32 is set when a residual of channel c at vertices 1 .. V - 1 is 1024 or more.
uint32_t wideChannelMask(const EncodedMeshlet& meshlet);

// Appends the meshlet's eight header words and pushes its symbols into the global and channel
// coders; advances the three running sums. Raises an error naming the value when a count, the
// group id, an index delta or a residual does not fit its symbols.
void packMeshlet(CompressionContext& context, const EncodedMeshlet& meshlet, uint32_t& vertexSum, uint32_t& triangleSum,
                 uint32_t& indexWordSum);

} // namespace vmq
