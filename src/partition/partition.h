#pragma once
// The meshlet partition as the library holds it: meshlets as ordered lists of triangle numbers.
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <vector>

struct MeshletPartition {
    std::vector<std::vector<uint32_t>> meshlets;
};
