#include "adversarial_meshes.h"

#include <algorithm>
#include <cmath>

namespace vmq_support {

LoadedMesh gridMesh(uint32_t triangleCount)
{
    LoadedMesh mesh;
    const uint32_t n = std::max(1u, uint32_t(std::lround(std::sqrt(double(triangleCount) / 2.0))));
    for (uint32_t y = 0; y <= n; ++y)
        for (uint32_t x = 0; x <= n; ++x) {
            const float u = float(x) / float(n), v = float(y) / float(n);
            mesh.positions.insert(mesh.positions.end(), {u, v, 0.05f * std::sin(9.0f * u) * std::cos(7.0f * v)});
        }
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x) {
            const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
            mesh.indices.insert(mesh.indices.end(), {a, b, d, a, d, c});
        }
    mesh.groups.assign(mesh.triangleCount(), 0);
    return mesh;
}

LoadedMesh repeatedFan(uint32_t triangleCount)
{
    LoadedMesh mesh;
    mesh.positions = {0.0f, 0.0f, 0.0f};
    for (int i = 0; i <= 60; ++i)
        mesh.positions.insert(mesh.positions.end(), {std::cos(0.1f * float(i)), std::sin(0.1f * float(i)), 0.0f});
    for (uint32_t t = 0; t < triangleCount; ++t)
        mesh.indices.insert(mesh.indices.end(), {0u, 1 + t % 60, 2 + t % 60});
    mesh.groups.assign(triangleCount, 0);
    return mesh;
}

LoadedMesh denseTriangles(uint32_t triangleCount)
{
    LoadedMesh mesh;
    uint32_t state = 12345;
    auto next = [&](uint32_t n) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % n;
    };
    for (int v = 0; v < 47; ++v)
        mesh.positions.insert(mesh.positions.end(), {float(next(100)), float(next(100)), float(next(100))});
    while (mesh.triangleCount() < triangleCount) {
        const uint32_t a = next(47), b = next(47), c = next(47);
        if (a != b && b != c && a != c)
            mesh.indices.insert(mesh.indices.end(), {a, b, c});
    }
    mesh.groups.assign(triangleCount, 0);
    return mesh;
}

LoadedMesh coincidentTriangles(uint32_t triangleCount)
{
    LoadedMesh mesh;
    for (uint32_t t = 0; t < triangleCount; ++t) {
        for (uint32_t k = 0; k < 3; ++k) {
            mesh.positions.insert(mesh.positions.end(), {1.0f, 2.0f, 3.0f});
            mesh.normals.insert(mesh.normals.end(), {float(t % 1000), float(t / 1000), float(k)});
            mesh.indices.push_back(3 * t + k);
        }
    }
    mesh.groups.assign(triangleCount, 0);
    return mesh;
}

} // namespace vmq_support
