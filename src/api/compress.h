#pragma once
// The body shared by the compress functions, callable from inside the library (the sequence
// driver) with a message of its own instead of the process-wide text.
#include "pelku_vmq_compression.h"

#include <string>

namespace vmq {

// Compresses one mesh. Returns the record, or null with the reason in `error`. Never throws.
CompressedMesh* compressMeshCore(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition,
                                 std::string& error);

} // namespace vmq
