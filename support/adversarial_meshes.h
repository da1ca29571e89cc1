#pragma once
// Meshes that once made compression take time or memory far beyond their size, with an ordinary
// grid of the same triangle count to compare them with.
#include "mesh_io.h"

#include <cstdint>

namespace vmq_support {

// A grid of about `triangleCount` triangles (the nearest square of quads), gently bumped.
LoadedMesh gridMesh(uint32_t triangleCount);

// A fan of 60 triangles around one centre, repeated until it has `triangleCount`: every edge
// is shared by about triangleCount / 30 triangles.
LoadedMesh repeatedFan(uint32_t triangleCount);

// `triangleCount` triangles over 47 vertices: every edge is shared by many distinct triangles.
LoadedMesh denseTriangles(uint32_t triangleCount);

// `triangleCount` separate triangles all at one point, told apart by their normals (so the
// optimization pass keeps them): one-triangle meshlets whose boxes coincide.
LoadedMesh coincidentTriangles(uint32_t triangleCount);

} // namespace vmq_support
