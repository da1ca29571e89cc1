#include "mesh_import.h"

#include "encoding/quantise.h"
#include "format/format.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <cmath>

namespace vmq_tool {

MeshDescriptor makeDescriptor(const SourceMesh& mesh, std::vector<MeshAttribute>& attributes)
{
    attributes.clear();
    for (const SourceAttribute& a : mesh.attributes)
        attributes.push_back({a.kind, a.values.data(), a.values.data() + a.values.size(), a.componentCount});
    MeshDescriptor d{};
    d.trianglesBegin = mesh.triangles.data();
    d.trianglesEnd = mesh.triangles.data() + mesh.triangles.size();
    d.attributesBegin = attributes.data();
    d.attributesEnd = attributes.data() + attributes.size();
    d.triangleGroupsBegin = mesh.groups.data();
    d.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
    return d;
}

std::string kindName(int32_t kind)
{
    const char* name = vmq::attributeKindName(kind);
    return name ? name : "KIND" + std::to_string(kind);
}

namespace {

constexpr int32_t kTexcoordKinds[3] = {TEXCOORD, TEXCOORD1, TEXCOORD2};

struct Collector {
    const aiScene& scene;
    SourceMesh& mesh;
    SourceAttribute* normals = nullptr;
    SourceAttribute* tangents = nullptr;
    SourceAttribute* texcoords[3] = {};
    SourceAttribute* colors = nullptr;
    std::string error;

    void add(const aiMesh& m, const aiMatrix4x4& transform)
    {
        const uint32_t base = uint32_t(mesh.vertexCount());
        const aiMatrix3x3 directionMatrix(transform);
        aiMatrix3x3 normalMatrix(transform);
        normalMatrix.Inverse().Transpose();
        std::vector<float>& positions = mesh.attributes[0].values;
        for (unsigned v = 0; v < m.mNumVertices; ++v) {
            const aiVector3D p = transform * m.mVertices[v];
            positions.insert(positions.end(), {p.x, p.y, p.z});
            if (normals) {
                aiVector3D n = m.mNormals ? normalMatrix * m.mNormals[v] : aiVector3D(0, 0, 1);
                const float length = n.Length();
                if (length > 0)
                    n /= length;
                normals->values.insert(normals->values.end(), {n.x, n.y, n.z});
            }
            if (tangents) {
                // The tangent as a direction and the sign w that gives the bitangent as w (n x t),
                // taken after the transform, which may mirror the frame.
                aiVector3D t(1, 0, 0);
                float w = 1;
                if (m.mTangents) {
                    t = directionMatrix * m.mTangents[v];
                    const float length = t.Length();
                    if (length > 0)
                        t /= length;
                    if (m.mBitangents && m.mNormals) {
                        const aiVector3D n = normalMatrix * m.mNormals[v], b = directionMatrix * m.mBitangents[v];
                        w = ((n ^ t) * b) < 0 ? -1.0f : 1.0f;
                    }
                }
                tangents->values.insert(tangents->values.end(), {t.x, t.y, t.z, w});
            }
            for (int k = 0; k < 3; ++k)
                if (texcoords[k]) {
                    const aiVector3D t = m.mTextureCoords[k] ? m.mTextureCoords[k][v] : aiVector3D();
                    texcoords[k]->values.insert(texcoords[k]->values.end(), {t.x, t.y});
                }
            if (colors) {
                const aiColor4D c = m.mColors[0] ? m.mColors[0][v] : aiColor4D(1, 1, 1, 1);
                colors->values.insert(colors->values.end(), {c.r, c.g, c.b, c.a});
            }
        }
        if (m.mMaterialIndex > vmq::kMaxGroupId) {
            error = "material " + std::to_string(m.mMaterialIndex) + " lies above the largest group id " + std::to_string(vmq::kMaxGroupId);
            return;
        }
        for (unsigned f = 0; f < m.mNumFaces; ++f) {
            const aiFace& face = m.mFaces[f];
            if (face.mNumIndices != 3) {
                ++mesh.skippedFaces;
                continue;
            }
            mesh.triangles.push_back({{base + face.mIndices[0], base + face.mIndices[1], base + face.mIndices[2]}});
            mesh.groups.push_back(m.mMaterialIndex);
        }
    }

    void walk(const aiNode& node, const aiMatrix4x4& parent)
    {
        const aiMatrix4x4 transform = parent * node.mTransformation;
        for (unsigned k = 0; k < node.mNumMeshes && error.empty(); ++k)
            add(*scene.mMeshes[node.mMeshes[k]], transform);
        for (unsigned k = 0; k < node.mNumChildren && error.empty(); ++k)
            walk(*node.mChildren[k], transform);
    }
};

} // namespace

bool importMesh(const std::string& path, SourceMesh& mesh, std::string& error)
{
    mesh = SourceMesh{};
    Assimp::Importer importer;
    // Triangulation only: welding, reordering and cleaning are the library's optimization pass.
    const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate);
    if (!scene || !scene->mRootNode || (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE)) {
        error = path + ": cannot read the mesh: " + importer.GetErrorString();
        return false;
    }
    bool anyNormals = false, anyTangents = false, anyTexcoords[3] = {}, anyColors = false;
    for (unsigned k = 0; k < scene->mNumMeshes; ++k) {
        const aiMesh& m = *scene->mMeshes[k];
        anyNormals |= m.HasNormals();
        anyTangents |= m.mTangents != nullptr && m.mNumVertices > 0;
        for (int t = 0; t < 3; ++t)
            anyTexcoords[t] |= m.HasTextureCoords(t);
        anyColors |= m.HasVertexColors(0);
    }
    mesh.attributes.push_back({POSITION, 3, {}});
    if (anyNormals)
        mesh.attributes.push_back({NORMAL, 3, {}});
    if (anyTangents)
        mesh.attributes.push_back({TANGENT, 4, {}});
    for (int t = 0; t < 3; ++t)
        if (anyTexcoords[t])
            mesh.attributes.push_back({kTexcoordKinds[t], 2, {}});
    if (anyColors)
        mesh.attributes.push_back({COLOR, 4, {}});

    Collector collector{*scene, mesh, nullptr, nullptr, {}, nullptr, {}};
    for (SourceAttribute& a : mesh.attributes) {
        if (a.kind == NORMAL)
            collector.normals = &a;
        else if (a.kind == TANGENT)
            collector.tangents = &a;
        else if (a.kind == COLOR)
            collector.colors = &a;
        for (int t = 0; t < 3; ++t)
            if (a.kind == kTexcoordKinds[t])
                collector.texcoords[t] = &a;
    }
    collector.walk(*scene->mRootNode, aiMatrix4x4());
    if (!collector.error.empty()) {
        error = path + ": " + collector.error;
        return false;
    }
    if (mesh.triangles.empty()) {
        error = path + ": the file holds no triangles";
        return false;
    }
    for (unsigned k = 0; k < scene->mNumMaterials; ++k) {
        aiString name;
        if (scene->mMaterials[k]->Get(AI_MATKEY_NAME, name) != AI_SUCCESS || name.length == 0)
            mesh.materialNames.push_back("material " + std::to_string(k));
        else
            mesh.materialNames.emplace_back(name.C_Str());
    }
    return true;
}

} // namespace vmq_tool
