#pragma once
// Readers for the mesh files people have at hand (OBJ, PLY), used by the tool, the tests and the
// benchmarks. Polygons are fan-triangulated; OBJ corners are unified into one vertex per
// distinct (position, normal, texcoord) triple; OBJ `usemtl` names become triangle groups.
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq_support {

struct LoadedMesh {
    std::vector<float> positions; // 3 per vertex
    std::vector<float> normals;   // 3 per vertex, or empty
    std::vector<float> texcoords; // 2 per vertex, or empty
    std::vector<uint32_t> indices; // 3 per triangle
    std::vector<uint32_t> groups;  // one per triangle
    std::vector<std::string> materialNames; // group id -> name (OBJ usemtl; "default" otherwise)

    size_t vertexCount() const { return positions.size() / 3; }
    size_t triangleCount() const { return indices.size() / 3; }
};

// The library's input records for a loaded mesh; they point into `mesh`, which must outlive them.
struct LibraryInput {
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};
};

void describe(const LoadedMesh& mesh, LibraryInput& out);

// Reads an .obj or .ply file (by extension). Returns false with a message on failure.
bool loadMesh(const std::string& path, LoadedMesh& mesh, std::string& error);

// The shared data folder (PELKU_VMQ_SHARED_DIR at build time) joined with a relative path.
std::string sharedPath(const std::string& relative);

} // namespace vmq_support
