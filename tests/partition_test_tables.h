#pragma once
// Small hand-made whole-mesh tables for the partition tests, with three position channels.
#include "encoding/mesh_tables.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vmq_test {

using GridPoint = std::array<int32_t, 3>;

inline void finishTables(vmq::MeshTables& tables, bool adjacency)
{
    tables.triangleCount = tables.triangles.size();
    tables.vertexCount = tables.channelValues[0].size();
    if (tables.triangleGroups.empty())
        tables.triangleGroups.assign(tables.triangles.size(), 0);
    tables.neighbours.reset(tables.triangles.size());
    if (adjacency)
        vmq::buildAdjacency(tables);
}

// Vertices at the given grid points, triangles as given.
inline vmq::MeshTables meshTables(const std::vector<GridPoint>& vertices, const std::vector<vmq::TriangleIndices>& triangles,
                                  const std::vector<uint32_t>& groups = {})
{
    vmq::MeshTables tables;
    tables.triangles = triangles;
    tables.triangleGroups = groups;
    tables.channelValues.assign(3, {});
    for (const GridPoint& p : vertices)
        for (int k = 0; k < 3; ++k)
            tables.channelValues[k].push_back(uint32_t(p[k]));
    finishTables(tables, true);
    return tables;
}

// Separate triangles whose centres lie exactly at the given points; no triangle has neighbours.
inline vmq::MeshTables pointTables(const std::vector<GridPoint>& points, const std::vector<uint32_t>& groups = {})
{
    std::vector<GridPoint> vertices;
    std::vector<vmq::TriangleIndices> triangles;
    for (const GridPoint& p : points) {
        const uint32_t v = uint32_t(vertices.size());
        vertices.push_back({p[0] - 1, p[1], p[2]});
        vertices.push_back({p[0] + 1, p[1], p[2]});
        vertices.push_back({p[0], p[1], p[2]});
        triangles.push_back({v, v + 1, v + 2});
    }
    vmq::MeshTables tables;
    tables.triangles = triangles;
    tables.triangleGroups = groups;
    tables.channelValues.assign(3, {});
    for (const GridPoint& p : vertices)
        for (int k = 0; k < 3; ++k)
            tables.channelValues[k].push_back(uint32_t(p[k]));
    finishTables(tables, false);
    return tables;
}

// A width x height grid of quads in the xy plane, two consistently wound triangles per quad.
inline vmq::MeshTables gridTables(uint32_t width, uint32_t height, const std::vector<uint32_t>& groups = {})
{
    std::vector<GridPoint> vertices;
    for (uint32_t y = 0; y <= height; ++y)
        for (uint32_t x = 0; x <= width; ++x)
            vertices.push_back({int32_t(x) * 16, int32_t(y) * 16, 0});
    std::vector<vmq::TriangleIndices> triangles;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t a = y * (width + 1) + x, b = a + 1, c = b + width + 1, d = a + width + 1;
            triangles.push_back({a, b, c});
            triangles.push_back({a, c, d});
        }
    }
    return meshTables(vertices, triangles, groups);
}

} // namespace vmq_test
