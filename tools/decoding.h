#pragma once
// Decoding a stored record meshlet by meshlet into owned whole-mesh lists, and the decoded mesh
// grouped by material for export.
#include "pelku_vmq_decode.h"

#include <string>
#include <vector>

namespace vmq_tool {

struct DecodedGeometry {
    uint32_t channelCount = 0;
    std::vector<uint32_t> triangles;  // 3 per triangle, global vertex numbers
    std::vector<uint32_t> gridValues; // vertex-major, channelCount per vertex
    std::vector<float> values;
    std::vector<DecodedMeshletInfo> meshlets; // stream order
    std::vector<int32_t> channelKinds;

    size_t vertexCount() const { return channelCount ? values.size() / channelCount : 0; }
    size_t triangleCount() const { return triangles.size() / 3; }
};

// Decodes every meshlet, with a progress bar unless quiet. False with the decoder's message.
bool decodeRecord(const CompressedMesh& mesh, int32_t predictionMode, DecodedGeometry& out, bool quiet, std::string& error);

// One group's part of a decoded mesh, with vertices welded where all grid values agree.
struct GroupMesh {
    uint32_t groupId = 0;
    std::vector<uint32_t> triangles;   // 3 per triangle, into this group's vertices
    std::vector<uint32_t> sourceVertex; // per group vertex: a decoded vertex number
};

// The decoded mesh split by group id, groups ascending; deterministic.
std::vector<GroupMesh> splitByGroup(const DecodedGeometry& decoded);

// Writes the decoded mesh with one object per group through the exporter; the format follows
// the extension (.obj, .ply, .glb, .gltf, .stl). False with a message naming the file.
bool exportDecoded(const std::string& path, const DecodedGeometry& decoded, const std::vector<std::string>& materialNames,
                   std::string& error);

// Whether exportDecoded knows the file's extension.
bool isExportExtension(const std::string& path);

} // namespace vmq_tool
