#pragma once
// One frame of the archive as one world-space triangle soup: every mesh visible in the frame
// read, transformed by its ancestors, given velocities and normals as the settings ask, mapped
// onto the global material table and concatenated; then one output vertex per triangle corner,
// in the library's mesh form: triangle t uses vertices 3t, 3t + 1, 3t + 2, the attributes come
// in ascending kind, the groups are the global material numbers, and every vertex remembers its
// source vertex (its vertex in the frame's combined positions).
#include "alembic/alembic_importer.h"
#include "alembic/archive/archive_reader.h"
#include "core/mesh.h"

#include <Imath/ImathMatrix.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

// The lists a frame is read into before it becomes a mesh. A worker keeps one set from frame to
// frame, so that reading reuses their memory instead of faulting in fresh pages every frame.
struct FrameReadBuffers {
    MeshFrameData frame; // the visible meshes concatenated
    MeshFrameData mesh;  // one mesh's sample
    std::vector<std::string> materialNames;
    // Per attribute of the frame mesh: value lists a weld replaced, whose memory the next frame's
    // attributes take over.
    std::vector<std::vector<float>> spareValues;
};

// Reads frame `frame`. An empty result (no triangles) means the frame has no geometry; when a
// mesh cannot be read the frame is empty and "Error: Failed to read frame N" is written. Safe to
// call for different frames on several threads at once, each with buffers of its own.
Mesh readFrame(AlembicImporter& importer, uint32_t frame, FrameReadBuffers& buffers);
Mesh readFrame(AlembicImporter& importer, uint32_t frame);

// The archive's transform objects: object metadata "schema" is "AbcGeom_Xform_v3".
bool isTransformObject(const abc::ObjectRecord& object);

// The product of the local matrices of the transforms above `object` at sample `frame`, nearest
// parent first (row-vector convention: a point p becomes p x M).
Imath::M44d worldTransform(const abc::Archive& archive, uint32_t object, uint32_t frame);

// The steps of frame assembly, over the concatenated frame data.
// Angle-limited smoothing groups: neighbours over a shared edge join while the absolute cosine
// of their face normals exceeds `threshold` (or both are below 1e-6).
void computeSmoothingGroups(MeshFrameData& frame, float threshold);
// Per-corner normals: the face normals summed per (smoothing group, vertex), unit length.
void smoothNormalsByGroup(MeshFrameData& frame);
// Appends `mesh` to `frame`: vertex numbers shifted, optional lists padded with zeros (colours
// with (0, 0, 0, 1)) where only one side has them, and every list cut to the new sizes.
void appendMeshData(MeshFrameData& frame, const MeshFrameData& mesh);

} // namespace vmq
