#pragma once
// Meshes in the tool: the source mesh as read from a file (through the importer) or made by the
// sample, and its descriptor for the compress functions.
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq_tool {

struct SourceAttribute {
    int32_t kind = POSITION;
    uint32_t componentCount = 3;
    std::vector<float> values; // interleaved by vertex
};

struct SourceMesh {
    std::vector<SourceAttribute> attributes; // POSITION first
    std::vector<Triangle> triangles;
    std::vector<uint32_t> groups;            // one per triangle: the material index
    std::vector<std::string> materialNames;  // material index -> name
    uint32_t skippedFaces = 0;               // points and lines left out

    size_t vertexCount() const { return attributes.empty() ? 0 : attributes[0].values.size() / 3; }
};

// A descriptor over the mesh's lists (valid while both live); `attributes` holds its records.
MeshDescriptor makeDescriptor(const SourceMesh& mesh, std::vector<MeshAttribute>& attributes);

// Reads any format the importer knows (OBJ, PLY, glTF/GLB, FBX, ...), triangulating polygons
// and nothing else; node transforms are applied, all meshes are concatenated, the group of a
// triangle is its material index. Attributes: positions, and normals, tangents, up to three
// texture coordinate sets and the first colour set where any mesh has them. Tangents are the
// file's own (none are generated): TANGENT with 4 components, the unit direction and the sign w
// that makes the bitangent w (n x t), as generated tangents have them; a mesh without tangents
// among meshes with them gets (1, 0, 0, 1), as one without normals gets (0, 0, 1). False with a
// message.
bool importMesh(const std::string& path, SourceMesh& mesh, std::string& error);

// The name of an attribute kind ("POSITION", ...), or "KIND" and its number ("KIND4").
std::string kindName(int32_t kind);

} // namespace vmq_tool
