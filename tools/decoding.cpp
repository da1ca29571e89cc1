#include "decoding.h"

#include "mesh_import.h"
#include "progress.h"

#include <assimp/Exporter.hpp>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace vmq_tool {

bool decodeRecord(const CompressedMesh& mesh, int32_t predictionMode, DecodedGeometry& out, bool quiet, std::string& error)
{
    out = DecodedGeometry{};
    std::unique_ptr<MeshDecoder, void (*)(MeshDecoder*)> decoder(Pelku_Vmq_Compression_CreateMeshDecoder(&mesh, predictionMode),
                                                                 Pelku_Vmq_Compression_ReleaseMeshDecoder);
    if (!decoder) {
        error = Pelku_Vmq_Compression_GetCompressionErrorString();
        return false;
    }
    const uint32_t c = mesh.channelCount;
    if (uint64_t(mesh.vertexCount) * c > (uint64_t(1) << 32)) {
        error = "Cannot decode: the record's vertex and channel counts are too large.";
        return false;
    }
    out.channelCount = c;
    out.channelKinds.assign(mesh.channelKindsBegin, mesh.channelKindsEnd);
    out.triangles.assign(size_t(mesh.triangleCount) * 3, 0);
    out.gridValues.assign(size_t(mesh.vertexCount) * c, 0);
    out.values.assign(size_t(mesh.vertexCount) * c, 0.0f);
    out.meshlets.resize(mesh.meshletCount);
    Progress progress("decoding", mesh.meshletCount, quiet);
    for (uint32_t m = 0; m < mesh.meshletCount; ++m) {
        DecodedMeshletInfo info{};
        if (!Pelku_Vmq_Compression_DecodeMeshlet(decoder.get(), m, nullptr, 0, nullptr, nullptr, 0, &info)) {
            error = Pelku_Vmq_Compression_GetCompressionErrorString();
            return false;
        }
        if (uint64_t(info.triangleOffset) + info.triangleCount > mesh.triangleCount ||
            uint64_t(info.vertexOffset) + info.vertexCount > mesh.vertexCount) {
            error = "Cannot decode: meshlet " + std::to_string(m) + " lies outside the record's totals.";
            return false;
        }
        const size_t valueAt = size_t(info.vertexOffset) * c;
        if (!Pelku_Vmq_Compression_DecodeMeshlet(decoder.get(), m, out.triangles.data() + size_t(info.triangleOffset) * 3, info.triangleCount,
                                                 out.gridValues.data() + valueAt, out.values.data() + valueAt, info.vertexCount, &info)) {
            error = Pelku_Vmq_Compression_GetCompressionErrorString();
            return false;
        }
        out.meshlets[m] = info;
        progress.update(m + 1);
    }
    return true;
}

std::vector<GroupMesh> splitByGroup(const DecodedGeometry& decoded)
{
    const uint32_t c = decoded.channelCount;
    std::vector<GroupMesh> groups;
    std::vector<uint32_t> order, local(decoded.vertexCount(), 0);
    for (const DecodedMeshletInfo& info : decoded.meshlets) {
        if (groups.empty() || groups.back().groupId != info.groupId) {
            auto found = std::find_if(groups.begin(), groups.end(), [&](const GroupMesh& g) { return g.groupId == info.groupId; });
            if (found == groups.end()) {
                groups.push_back({});
                groups.back().groupId = info.groupId;
            } else {
                std::rotate(found, found + 1, groups.end()); // keep the group being filled last
            }
        }
        GroupMesh& group = groups.back();
        // Weld: vertices of this meshlet whose grid values equal an earlier vertex of the group's.
        for (uint32_t v = info.vertexOffset; v < info.vertexOffset + info.vertexCount; ++v) {
            group.sourceVertex.push_back(v);
            local[v] = uint32_t(group.sourceVertex.size() - 1);
        }
        for (uint32_t t = info.triangleOffset; t < info.triangleOffset + info.triangleCount; ++t)
            for (int k = 0; k < 3; ++k)
                group.triangles.push_back(local[decoded.triangles[size_t(t) * 3 + k]]);
    }
    for (GroupMesh& group : groups) {
        const uint32_t* grid = decoded.gridValues.data();
        auto less = [&](uint32_t a, uint32_t b) {
            const uint32_t *pa = grid + size_t(group.sourceVertex[a]) * c, *pb = grid + size_t(group.sourceVertex[b]) * c;
            return std::lexicographical_compare(pa, pa + c, pb, pb + c) || (std::equal(pa, pa + c, pb) && a < b);
        };
        order.resize(group.sourceVertex.size());
        for (uint32_t k = 0; k < order.size(); ++k)
            order[k] = k;
        std::sort(order.begin(), order.end(), less);
        std::vector<uint32_t> remap(order.size()), welded;
        for (size_t k = 0; k < order.size(); ++k) {
            const uint32_t v = order[k];
            if (k > 0) {
                const uint32_t *pa = grid + size_t(group.sourceVertex[order[k - 1]]) * c, *pb = grid + size_t(group.sourceVertex[v]) * c;
                if (std::equal(pa, pa + c, pb)) {
                    remap[v] = remap[order[k - 1]];
                    continue;
                }
            }
            remap[v] = uint32_t(welded.size());
            welded.push_back(group.sourceVertex[v]);
        }
        // Renumber welded vertices in first-use order so output follows the triangles.
        std::vector<uint32_t> firstUse(welded.size(), UINT32_MAX), finalVertices;
        for (uint32_t& index : group.triangles) {
            uint32_t& slot = firstUse[remap[index]];
            if (slot == UINT32_MAX) {
                slot = uint32_t(finalVertices.size());
                finalVertices.push_back(welded[remap[index]]);
            }
            index = slot;
        }
        group.sourceVertex = std::move(finalVertices);
    }
    std::sort(groups.begin(), groups.end(), [](const GroupMesh& a, const GroupMesh& b) { return a.groupId < b.groupId; });
    return groups;
}

namespace {

std::string extensionOf(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return "";
    std::string ext = path.substr(dot + 1);
    for (char& ch : ext)
        ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

const char* exportFormat(const std::string& path)
{
    const std::string ext = extensionOf(path);
    if (ext == "obj")
        return "obj";
    if (ext == "ply")
        return "plyb";
    if (ext == "glb")
        return "glb2";
    if (ext == "gltf")
        return "gltf2";
    if (ext == "stl")
        return "stlb";
    return nullptr;
}

} // namespace

bool isExportExtension(const std::string& path)
{
    return exportFormat(path) != nullptr;
}

bool exportDecoded(const std::string& path, const DecodedGeometry& decoded, const std::vector<std::string>& materialNames,
                   std::string& error)
{
    const char* format = exportFormat(path);
    if (!format) {
        error = path + ": unknown output format (use .obj, .ply, .glb, .gltf or .stl)";
        return false;
    }
    const std::vector<GroupMesh> groups = splitByGroup(decoded);
    const uint32_t c = decoded.channelCount;
    // The first channel of each attribute kind.
    auto firstChannel = [&](int32_t kind) -> int {
        for (uint32_t k = 0; k < c; ++k)
            if (decoded.channelKinds[k] == kind)
                return int(k);
        return -1;
    };
    auto channelsOf = [&](int32_t kind) {
        int n = 0;
        for (uint32_t k = 0; k < c; ++k)
            n += decoded.channelKinds[k] == kind;
        return n;
    };
    const int normal = channelsOf(NORMAL) >= 3 ? firstChannel(NORMAL) : -1;
    const int colour = channelsOf(COLOR) >= 3 ? firstChannel(COLOR) : -1;
    const int colourChannels = channelsOf(COLOR);
    const int32_t uvKinds[3] = {TEXCOORD, TEXCOORD1, TEXCOORD2};

    auto scene = std::make_unique<aiScene>();
    const unsigned meshCount = unsigned(std::max<size_t>(groups.size(), 1));
    scene->mNumMaterials = meshCount;
    scene->mMaterials = new aiMaterial*[meshCount];
    scene->mNumMeshes = unsigned(groups.size());
    scene->mMeshes = new aiMesh*[meshCount];
    scene->mRootNode = new aiNode("vmq");
    scene->mRootNode->mNumChildren = unsigned(groups.size());
    scene->mRootNode->mChildren = new aiNode*[meshCount];
    for (unsigned g = 0; g < meshCount; ++g) {
        const uint32_t id = g < groups.size() ? groups[g].groupId : 0;
        const std::string name = id < materialNames.size() ? materialNames[id] : "group " + std::to_string(id);
        scene->mMaterials[g] = new aiMaterial();
        aiString materialName(name);
        scene->mMaterials[g]->AddProperty(&materialName, AI_MATKEY_NAME);
    }
    const float* values = decoded.values.data();
    for (unsigned g = 0; g < groups.size(); ++g) {
        const GroupMesh& group = groups[g];
        aiMesh* mesh = new aiMesh();
        scene->mMeshes[g] = mesh;
        mesh->mName = scene->mMaterials[g]->GetName();
        mesh->mMaterialIndex = g;
        mesh->mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
        const unsigned n = unsigned(group.sourceVertex.size());
        mesh->mNumVertices = n;
        mesh->mVertices = new aiVector3D[n];
        if (normal >= 0)
            mesh->mNormals = new aiVector3D[n];
        if (colour >= 0)
            mesh->mColors[0] = new aiColor4D[n];
        for (int t = 0; t < 3; ++t)
            if (channelsOf(uvKinds[t]) >= 2) {
                mesh->mTextureCoords[t] = new aiVector3D[n];
                mesh->mNumUVComponents[t] = 2;
            }
        for (unsigned v = 0; v < n; ++v) {
            const float* p = values + size_t(group.sourceVertex[v]) * c;
            mesh->mVertices[v] = aiVector3D(p[0], p[1], p[2]);
            if (normal >= 0)
                mesh->mNormals[v] = aiVector3D(p[normal], p[normal + 1], p[normal + 2]);
            if (colour >= 0)
                mesh->mColors[0][v] = aiColor4D(p[colour], p[colour + 1], p[colour + 2], colourChannels >= 4 ? p[colour + 3] : 1.0f);
            for (int t = 0; t < 3; ++t)
                if (mesh->mTextureCoords[t]) {
                    const int u = firstChannel(uvKinds[t]);
                    mesh->mTextureCoords[t][v] = aiVector3D(p[u], p[u + 1], 0);
                }
        }
        mesh->mNumFaces = unsigned(group.triangles.size() / 3);
        mesh->mFaces = new aiFace[mesh->mNumFaces];
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
            mesh->mFaces[f].mNumIndices = 3;
            mesh->mFaces[f].mIndices = new unsigned[3]{group.triangles[f * 3], group.triangles[f * 3 + 1], group.triangles[f * 3 + 2]};
        }
        aiNode* node = new aiNode(mesh->mName.C_Str());
        node->mParent = scene->mRootNode;
        node->mNumMeshes = 1;
        node->mMeshes = new unsigned[1]{g};
        scene->mRootNode->mChildren[g] = node;
    }
    Assimp::Exporter exporter;
    if (exporter.Export(scene.get(), format, path) != aiReturn_SUCCESS) {
        error = path + ": cannot write: " + exporter.GetErrorString();
        return false;
    }
    return true;
}

} // namespace vmq_tool
