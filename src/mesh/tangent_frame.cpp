#include "mesh/tangent_frame.h"

#include "mesh/tangents.h"
#include "core/error.h"

#include <pelku_vmq_compression.h>

#include <algorithm>
#include <climits>
#include <string>

namespace vmq {

namespace {

struct TangentFrameMesh {
    const std::vector<TriangleIndices>* triangles;
    const std::vector<uint8_t>* flipped;
    const VertexAttribute* position;
    const VertexAttribute* normal;
    const VertexAttribute* texcoord;
    std::vector<float>* tangents; // 4 per vertex
};

const TangentFrameMesh& frameMesh(const TangentSpaceContext* context)
{
    return *static_cast<const TangentFrameMesh*>(context->userData);
}

uint32_t cornerVertex(const TangentFrameMesh& mesh, int face, int corner)
{
    const TriangleIndices& triangle = (*mesh.triangles)[size_t(face)];
    static constexpr int kFlippedCorner[3] = {0, 2, 1};
    return triangle[(*mesh.flipped)[size_t(face)] ? kFlippedCorner[corner] : corner];
}

void copyComponents(const VertexAttribute& attribute, uint32_t vertex, float* out, int count)
{
    const float* values = attribute.values.data() + size_t(vertex) * attribute.componentCount;
    std::copy_n(values, count, out);
}

int faceCount(const TangentSpaceContext* context) { return int(frameMesh(context).triangles->size()); }
int cornersOfFace(const TangentSpaceContext*, int) { return 3; }

void getPosition(const TangentSpaceContext* context, float out[3], int face, int corner)
{
    const TangentFrameMesh& mesh = frameMesh(context);
    copyComponents(*mesh.position, cornerVertex(mesh, face, corner), out, 3);
}

void getNormal(const TangentSpaceContext* context, float out[3], int face, int corner)
{
    const TangentFrameMesh& mesh = frameMesh(context);
    copyComponents(*mesh.normal, cornerVertex(mesh, face, corner), out, 3);
}

void getTexCoord(const TangentSpaceContext* context, float out[2], int face, int corner)
{
    const TangentFrameMesh& mesh = frameMesh(context);
    copyComponents(*mesh.texcoord, cornerVertex(mesh, face, corner), out, 2);
}

void setTangent(const TangentSpaceContext* context, const float tangent[3], float sign, int face, int corner)
{
    const TangentFrameMesh& mesh = frameMesh(context);
    float* out = mesh.tangents->data() + 4 * size_t(cornerVertex(mesh, face, corner));
    out[0] = tangent[0];
    out[1] = tangent[1];
    out[2] = tangent[2];
    out[3] = sign;
}

const VertexAttribute* findKind(const std::vector<VertexAttribute>& attributes, int32_t kind)
{
    for (const VertexAttribute& attribute : attributes)
        if (attribute.kind == kind)
            return &attribute;
    return nullptr;
}

float dot3(const float* a, const float* b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }

// The normals face away from the winding: their sum points against (Pb - Pa) x (Pc - Pa).
bool facesAway(const TangentFrameMesh& mesh, const TriangleIndices& triangle)
{
    float p[3][3], n[3][3];
    for (int k = 0; k < 3; ++k) {
        copyComponents(*mesh.position, triangle[k], p[k], 3);
        copyComponents(*mesh.normal, triangle[k], n[k], 3);
    }
    const float normalSum[3] = {(n[0][0] + n[1][0]) + n[2][0], (n[0][1] + n[1][1]) + n[2][1], (n[0][2] + n[1][2]) + n[2][2]};
    const float e1[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
    const float e2[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
    const float cross[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
    return dot3(normalSum, cross) < 0;
}

} // namespace

void generateTangentFrame(const std::vector<TriangleIndices>& triangles, std::vector<VertexAttribute>& attributes)
{
    if (triangles.empty() || findKind(attributes, TANGENT))
        return;
    const VertexAttribute* position = findKind(attributes, POSITION);
    const VertexAttribute* normal = findKind(attributes, NORMAL);
    const VertexAttribute* texcoord = findKind(attributes, TEXCOORD);
    if (!position || position->componentCount < 3 || !normal || normal->componentCount < 3 || !texcoord ||
        texcoord->componentCount < 2)
        return;
    const size_t vertexCount = position->vertexCount();
    if (vertexCount < 1)
        return;
    // The generator numbers corners 4 * face + corner in an int.
    if (triangles.size() > size_t(INT_MAX / 4))
        return;
    const size_t readable = std::min({vertexCount, normal->vertexCount(), texcoord->vertexCount()});
    for (size_t t = 0; t < triangles.size(); ++t)
        for (uint32_t v : triangles[t])
            if (v >= readable)
                raiseError("triangle " + std::to_string(t) + " uses vertex " + std::to_string(v) +
                           ", but the positions, normals and texture coordinates hold only " + std::to_string(readable) +
                           " vertices");

    std::vector<float> tangents(4 * vertexCount, 0.0f);
    std::vector<uint8_t> flipped(triangles.size());
    TangentFrameMesh mesh{&triangles, &flipped, position, normal, texcoord, &tangents};
    for (size_t t = 0; t < triangles.size(); ++t)
        flipped[t] = facesAway(mesh, triangles[t]) ? 1 : 0;

    static const TangentSpaceCallbacks kCallbacks = {faceCount, cornersOfFace, getPosition, getNormal, getTexCoord, setTangent, nullptr};
    const TangentSpaceContext context{&kCallbacks, &mesh};
    if (!genTangSpaceDefault(context))
        return;
    VertexAttribute tangent;
    tangent.kind = TANGENT;
    tangent.componentCount = 4;
    tangent.values = std::move(tangents);
    attributes.push_back(std::move(tangent));
}

} // namespace vmq
