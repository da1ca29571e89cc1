#include "mesh_tables_input.h"

#include "encoding/quantise.h"

#include <utility>

namespace vmq_support {

std::vector<MeshAttribute> meshAttributes(const LoadedMesh& mesh)
{
    std::vector<MeshAttribute> attributes;
    auto add = [&](int32_t kind, const std::vector<float>& values, uint32_t components) {
        if (!values.empty())
            attributes.push_back({kind, values.data(), values.data() + values.size(), components});
    };
    add(POSITION, mesh.positions, 3);
    add(NORMAL, mesh.normals, 3);
    add(TEXCOORD, mesh.texcoords, 2);
    return attributes;
}

void buildWholeMeshTables(const LoadedMesh& mesh, const CompressionSettings& settings, vmq::MeshTables& tables)
{
    std::vector<std::vector<uint32_t>> channels = vmq::quantiseAttributes(meshAttributes(mesh), settings).channels;
    std::vector<vmq::TriangleIndices> triangles(mesh.triangleCount());
    for (size_t t = 0; t < triangles.size(); ++t)
        triangles[t] = {mesh.indices[3 * t], mesh.indices[3 * t + 1], mesh.indices[3 * t + 2]};
    tables = vmq::MeshTables();
    vmq::buildWholeMeshTables(tables, triangles, std::move(channels), mesh.groups);
}

} // namespace vmq_support
