#include "alembic/frame_processing.h"

#include "mesh/mesh_optimise.h"
#include "mesh/tangent_frame.h"

#include <cmath>
#include <utility>

namespace vmq {

namespace {

// The working form of a frame: triangles, attributes in ascending kind, materials, source vertices.
struct WorkingMesh {
    std::vector<TriangleIndices> triangles;
    std::vector<VertexAttribute> attributes;
    std::vector<uint32_t> triangleMaterials;
    std::vector<uint32_t> sourceVertex;
};

WorkingMesh takeWorkingMesh(FrameMesh& frame)
{
    WorkingMesh mesh;
    mesh.triangles.resize(frame.corners.size() / 3);
    for (size_t t = 0; t < mesh.triangles.size(); ++t)
        mesh.triangles[t] = {frame.corners[3 * t], frame.corners[3 * t + 1], frame.corners[3 * t + 2]};
    mesh.attributes.reserve(frame.attributes.size());
    for (auto& [kind, stream] : frame.attributes) {
        VertexAttribute& attribute = mesh.attributes.emplace_back();
        attribute.kind = kind;
        attribute.componentCount = stream.componentCount;
        attribute.values = std::move(stream.values);
    }
    mesh.triangleMaterials = std::move(frame.triangleMaterials);
    mesh.sourceVertex = std::move(frame.sourceVertex);
    frame = FrameMesh{};
    return mesh;
}

void putBack(WorkingMesh& mesh, FrameMesh& frame)
{
    frame.corners.resize(3 * mesh.triangles.size());
    for (size_t t = 0; t < mesh.triangles.size(); ++t)
        for (size_t k = 0; k < 3; ++k)
            frame.corners[3 * t + k] = mesh.triangles[t][k];
    frame.triangleMaterials = std::move(mesh.triangleMaterials);
    frame.attributes.clear();
    for (VertexAttribute& attribute : mesh.attributes) {
        AttributeStream& stream = frame.attributes[attribute.kind];
        stream.componentCount = attribute.componentCount;
        stream.values = std::move(attribute.values);
    }
    frame.sourceVertex.clear();
}

// Element (row r, column c) of a column-major 4x4.
inline float at(const float transform[16], int r, int c) { return transform[4 * c + r]; }

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

void applyFrameTransform(FrameMesh& frame, const float transform[16])
{
    if (isIdentityTransform(transform))
        return;
    const float* m = transform;
    for (auto& [kind, stream] : frame.attributes) {
        if (stream.componentCount < 3 || (kind != POSITION && kind != NORMAL && kind != VELOCITY))
            continue;
        const size_t width = stream.componentCount;
        const size_t count = stream.values.size() / width;
        for (size_t e = 0; e < count; ++e) {
            float* v = &stream.values[e * width];
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
        for (size_t t = 0; t + 2 < frame.corners.size(); t += 3)
            std::swap(frame.corners[t + 1], frame.corners[t + 2]);
}

void processFrameMesh(FrameMesh& frame, const SequenceSettings& settings, bool staticTopology, SharedRemap* shared)
{
    WorkingMesh mesh = takeWorkingMesh(frame);
    if (!staticTopology) {
        optimizeMeshBuffers(mesh.triangles, mesh.attributes, mesh.triangleMaterials, settings.compression.optimizeMesh != 0,
                            &mesh.sourceVertex);
    } else if (shared) {
        const size_t vertexCount = meshVertexCount(mesh.attributes);
        if (!shared->computed) {
            const std::vector<uint32_t>* source = mesh.sourceVertex.size() == vertexCount ? &mesh.sourceVertex : nullptr;
            shared->uniqueCount = generateWeldRemap(shared->remap, mesh.triangles, mesh.attributes, source);
            shared->vertexCount = vertexCount;
            shared->computed = true;
            shared->sourceVertex = mesh.sourceVertex;
            applyVertexRemap(shared->remap, size_t(shared->uniqueCount), mesh.triangles, mesh.attributes);
        } else if (!mesh.triangles.empty() && !mesh.attributes.empty() && vertexCount == shared->vertexCount &&
                   mesh.sourceVertex == shared->sourceVertex) {
            applyVertexRemap(shared->remap, size_t(shared->uniqueCount), mesh.triangles, mesh.attributes);
        }
        removeDegenerateTriangles(mesh.triangles, mesh.triangleMaterials);
    }
    if (settings.removeDuplicateTriangles)
        removeRepeatedTriangles(mesh.triangles, mesh.triangleMaterials);
    if (settings.generateTangents)
        generateTangentFrame(mesh.triangles, mesh.attributes);
    putBack(mesh, frame);
}

void optimiseFrameAlone(FrameMesh& frame, bool optimize)
{
    WorkingMesh mesh = takeWorkingMesh(frame);
    optimizeMeshBuffers(mesh.triangles, mesh.attributes, mesh.triangleMaterials, optimize, nullptr);
    putBack(mesh, frame);
}

} // namespace vmq
