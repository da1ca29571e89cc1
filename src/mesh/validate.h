#pragma once
// Cheap checks of a compress call's inputs, so that nothing later reads out of range.
#include "core/mesh.h"
#include "pelku_vmq_compression.h"

#include <string>
#include <vector>

namespace vmq {

// Returns an empty string when the inputs can be compressed, else the message to report.
std::string validateCompressInput(const MeshDescriptor& mesh, const CompressionSettings& settings, const MeshletPartition* partition);

// The same checks for a mesh the library owns; `attributes` are the views of its attributes.
std::string validateCompressInput(const Mesh& mesh, const std::vector<MeshAttribute>& attributes, const CompressionSettings& settings,
                                  const MeshletPartition* partition, const MeshletTopologyList* reuseTopology);

} // namespace vmq
