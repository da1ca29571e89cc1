#include "alembic/frame_processing.h"

#include "mesh/mesh_optimize.h"
#include "mesh/tangent_frame.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vmq {

namespace {

// Element (row r, column c) of a column-major 4x4.
inline float at(const float transform[16], int r, int c) { return transform[4 * c + r]; }

// The shared weld on a frame of the vertex count it was made for: every new vertex takes the
// values of the last input vertex sent to it, as the remap's scatter would leave them, read once
// per new vertex instead of written once per input vertex.
void applySharedRemap(const SharedRemap& shared, Mesh& mesh, std::vector<std::vector<float>>* spareValues)
{
    if (spareValues)
        spareValues->resize(mesh.attributes.size());
    size_t a = 0;
    for (TriangleIndices& triangle : mesh.triangles)
        for (uint32_t& index : triangle)
            index = shared.remap[index];
    const size_t uniqueCount = size_t(shared.uniqueCount);
    for (VertexAttribute& attribute : mesh.attributes) {
        const size_t components = attribute.componentCount;
        std::vector<float> welded(uniqueCount * components, 0.0f);
        const float* in = attribute.values.data();
        float* out = welded.data();
        // Element by element: a library copy per vertex costs more than the few floats it moves.
        for (size_t u = 0; u < uniqueCount; ++u, out += components) {
            const uint32_t from = shared.source[u];
            if (from == ~0u)
                continue;
            const float* value = in + size_t(from) * components;
            for (size_t c = 0; c < components; ++c)
                out[c] = value[c];
        }
        attribute.values.swap(welded);
        if (spareValues)
            (*spareValues)[a++].swap(welded);
    }
}

} // namespace

bool isIdentityTransform(const float transform[16])
{
    for (int k = 0; k < 16; ++k) {
        const double identity = (k % 5 == 0) ? 1.0 : 0.0;
        if (std::fabs(double(transform[k]) - identity) > 1e-6)
            return false;
    }
    return true;
}

void applyFrameTransform(Mesh& frame, const float transform[16])
{
    if (isIdentityTransform(transform))
        return;
    const float* m = transform;
    for (VertexAttribute& attribute : frame.attributes) {
        const int32_t kind = attribute.kind;
        if (attribute.componentCount < 3 || (kind != POSITION && kind != NORMAL && kind != VELOCITY))
            continue;
        const size_t width = attribute.componentCount;
        const size_t count = attribute.values.size() / width;
        for (size_t e = 0; e < count; ++e) {
            float* v = &attribute.values[e * width];
            const float x = v[0], y = v[1], z = v[2];
            float out[3];
            // Each component summed left to right over its row.
            for (int r = 0; r < 3; ++r)
                out[r] = at(m, r, 0) * x + at(m, r, 1) * y + at(m, r, 2) * z;
            if (kind == POSITION) {
                for (int r = 0; r < 3; ++r)
                    out[r] = out[r] + at(m, r, 3);
            } else if (kind == NORMAL) {
                const float length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
                if (!(length > 0.0f))
                    continue; // keeps its untransformed value
                for (float& c : out)
                    c = c / length;
            }
            v[0] = out[0];
            v[1] = out[1];
            v[2] = out[2];
        }
    }

    auto a = [&](int r, int c) { return double(at(m, r, c)); };
    const double determinant = a(0, 0) * (a(1, 1) * a(2, 2) - a(1, 2) * a(2, 1)) -
                               a(0, 1) * (a(1, 0) * a(2, 2) - a(1, 2) * a(2, 0)) +
                               a(0, 2) * (a(1, 0) * a(2, 1) - a(1, 1) * a(2, 0));
    if (determinant < 0.0)
        for (TriangleIndices& triangle : frame.triangles)
            std::swap(triangle[1], triangle[2]);
}

void processFrameMesh(Mesh& mesh, const SequenceSettings& settings, bool staticTopology, SharedRemap* shared,
                      std::vector<std::vector<float>>* spareValues)
{
    if (!staticTopology) {
        optimizeMeshBuffers(mesh.triangles, mesh.attributes, mesh.triangleGroups, settings.compression.optimizeMesh != 0,
                            &mesh.sourceVertex);
    } else if (shared) {
        const size_t vertexCount = meshVertexCount(mesh.attributes);
        if (!shared->computed) {
            const std::vector<uint32_t>* source = mesh.sourceVertex.size() == vertexCount ? &mesh.sourceVertex : nullptr;
            shared->uniqueCount = generateWeldRemap(shared->remap, mesh.triangles, mesh.attributes, source);
            shared->vertexCount = vertexCount;
            shared->computed = true;
            shared->sourceVertex = mesh.sourceVertex;
            shared->source.assign(size_t(shared->uniqueCount), ~0u);
            for (uint32_t v = 0; v < shared->remap.size(); ++v)
                if (shared->remap[v] != ~0u)
                    shared->source[shared->remap[v]] = v;
            applyVertexRemap(shared->remap, size_t(shared->uniqueCount), mesh.triangles, mesh.attributes);
        } else if (!mesh.triangles.empty() && !mesh.attributes.empty() && vertexCount == shared->vertexCount &&
                   mesh.sourceVertex == shared->sourceVertex) {
            bool sameCounts = true;
            for (const VertexAttribute& attribute : mesh.attributes)
                sameCounts = sameCounts && attribute.vertexCount() == vertexCount;
            if (sameCounts)
                applySharedRemap(*shared, mesh, spareValues);
            else
                applyVertexRemap(shared->remap, size_t(shared->uniqueCount), mesh.triangles, mesh.attributes);
        }
        removeDegenerateTriangles(mesh.triangles, mesh.triangleGroups);
    }
    if (settings.removeDuplicateTriangles)
        removeRepeatedTriangles(mesh.triangles, mesh.triangleGroups);
    if (settings.generateTangents) {
        generateTangentFrame(mesh.triangles, mesh.attributes);
        // A frame's attributes stay in ascending kind, which is their channel order.
        std::stable_sort(mesh.attributes.begin(), mesh.attributes.end(),
                         [](const VertexAttribute& a, const VertexAttribute& b) { return a.kind < b.kind; });
    }
    mesh.sourceVertex.clear();
}

void optimizeFrameAlone(Mesh& mesh, bool optimize)
{
    optimizeMeshBuffers(mesh.triangles, mesh.attributes, mesh.triangleGroups, optimize, nullptr);
    mesh.sourceVertex.clear();
}

} // namespace vmq
