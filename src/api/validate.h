#pragma once
// Cheap checks of a compress call's inputs, so that nothing later reads out of range.
#include "pelku_vmq_compression.h"

#include <string>

namespace vmq {

// Returns an empty string when the inputs can be compressed, else the message to report.
std::string validateCompressInput(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition);

} // namespace vmq
