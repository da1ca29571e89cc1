#pragma once
// The meshlet partition as the library holds it: meshlets as ordered lists of triangle numbers.
#include "pelku_vmq_compression.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct MeshletPartition {
    std::vector<std::vector<uint32_t>> meshlets;
};

namespace vmq {

// Checks a host's meshlets given as a flat triangle list and meshletCount + 1 offsets: empty when
// they make a partition, else what is wrong with them.
std::string checkMeshletOffsets(const uint32_t* triangles, size_t triangleCount, const uint32_t* meshletOffsets, size_t meshletCount);

} // namespace vmq
