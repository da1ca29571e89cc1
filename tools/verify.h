#pragma once
// Checking a decoded mesh against its source: every source triangle must come back once, with
// the same winding and group (by material name where both sides name it), over the same quantised positions; per attribute kind, the largest
// difference between a source value and its decoded value must stay within the grid's rounding.
#include "decoding.h"
#include "mesh_import.h"

#include <string>
#include <vector>

namespace vmq_tool {

struct KindError {
    int32_t kind = 0;
    double maxError = 0; // largest absolute difference of one component
    double bound = 0;    // 1.5 grid steps of the widest channel of the kind
};

struct VerifyReport {
    size_t sourceTriangles = 0;
    size_t decodedTriangles = 0;
    size_t matched = 0;
    size_t missing = 0;          // non-degenerate source triangles not decoded
    size_t extra = 0;            // decoded triangles without a source triangle
    size_t droppedDegenerate = 0; // degenerate source triangles not decoded (allowed)
    size_t groupMismatches = 0;
    std::vector<KindError> errors; // ascending kind
    std::vector<int32_t> uncompared; // kinds only the source or only the container has
    std::string problem;           // first reason for failure, empty when it passes

    bool passed() const { return problem.empty(); }
};

// materialNames: the container's, to match groups by name (see the report's groupMismatches).
VerifyReport verifyDecoded(const SourceMesh& source, const CompressedMesh& record, const DecodedGeometry& decoded,
                           const std::vector<std::string>& materialNames);

} // namespace vmq_tool
