#pragma once
// Which parts of an animated archive stay the same in every frame, decided from the archive's
// own sample structure before any frame is read: the triangle topology, and each attribute kind.
#include "alembic/archive/archive_reader.h"
#include "alembic/diagnostics.h"
#include "alembic/mesh_sample.h"

#include <cstdint>
#include <map>
#include <vector>

namespace vmq {

struct StaticAnalysis {
    bool topologyConstant = true;
    // Constant flag per attribute kind found (POSITION always).
    std::map<int32_t, bool> constantByKind;
};

// Analyses `meshes` and writes the report ("Static attribute analysis (N frames):" and one line
// per result) to `diagnostics`. Archive-layer errors propagate as exceptions.
StaticAnalysis analyseStaticAttributes(const abc::Archive& archive, const std::vector<MeshEntry>& meshes,
                                       uint32_t frameCount, DiagnosticSink& diagnostics);

// Whether some mesh's world transform is non-finite or singular (|det| < 1e-12) in a frame that
// matters: every frame under an animated transform, else frame 0.
bool hasUnstableTransform(const abc::Archive& archive, const std::vector<MeshEntry>& meshes, uint32_t frameCount);

// Whether a transform above `object` is animated.
bool hasAnimatedTransform(const abc::Archive& archive, uint32_t object);

} // namespace vmq
