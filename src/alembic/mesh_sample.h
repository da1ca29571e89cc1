#pragma once
// Reading one polygon mesh of an archive at one frame: positions, velocities, the faces
// triangulated into a corner list, per-corner normals, texture coordinates and colours, and a
// material number per triangle, all brought to one shape whatever scope the archive stores
// them in.
#include "alembic/archive/archive_reader.h"
#include "alembic/archive/geometry_schemas.h"
#include "alembic/diagnostics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

// One mesh of a frame, or (in frame assembly) the concatenation of several.
struct MeshFrameData {
    std::vector<float> positions;      // 3 per vertex
    std::vector<float> velocities;     // 3 per vertex, or empty
    std::vector<uint32_t> corners;     // vertex of each triangle corner, 3 per triangle
    std::vector<float> normals;        // 3 per corner, or empty
    std::vector<float> texcoords[3];   // 2 per corner, or empty: TEXCOORD, TEXCOORD1, TEXCOORD2
    std::vector<float> colours;        // RGBA per corner, or empty
    std::vector<uint32_t> triangleMaterials; // per triangle; local to the mesh until mapped
    std::vector<uint32_t> smoothingGroup;    // per triangle, filled by frame assembly
    uint32_t smoothingGroupCount = 0;
    uint32_t materialCount = 1;

    size_t vertexCount() const { return positions.size() / 3; }
    size_t triangleCount() const { return corners.size() / 3; }
    // Empties every list but keeps its memory, for the next frame read into it.
    void clear();
};

// A polygon mesh found in the archive.
struct MeshEntry {
    abc::PolyMeshSchema schema;
};

// Reads `mesh` at sample `frame` (each property clamped to its own samples). Returns false,
// after writing an "Error: " line, when the sample is malformed (an index past the vertices,
// face counts that are negative or run past the index list, sizes past 32 bits); missing
// values of a short list read as zeros. `materialNames` receives the mesh's material names
// (index = local material number), empty when it names none. Errors of the archive layer
// propagate as exceptions.
bool readMeshSample(const abc::Archive& archive, const MeshEntry& mesh, uint32_t frame, bool negateU, bool negateV,
                    MeshFrameData& out, std::vector<std::string>& materialNames, DiagnosticSink& diagnostics);

// Unit face normal of the triangle (p0, p1, p2): (p2 - p1) x (p2 - p0), divided by its length
// when that exceeds 1e-8.
void faceNormal(const float* p0, const float* p1, const float* p2, float* normal);

// Divides the three floats by their length when it exceeds 1e-8.
void normaliseIfLong(float* v);

} // namespace vmq
