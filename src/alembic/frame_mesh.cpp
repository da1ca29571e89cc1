#include "alembic/frame_mesh.h"

#include "alembic/archive/geometry_schemas.h"
#include "core/error.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <utility>

namespace vmq {

namespace {

using abc::Archive;
using abc::kNoIndex;

bool isNearIdentity(const Imath::M44d& m)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (std::fabs(m[r][c] - (r == c ? 1.0 : 0.0)) > 1e-6)
                return false;
    return true;
}

// Points by the full matrix with the division by w', normals and velocities by its upper-left
// 3x3 block; in double precision, stored as f32.
void transformMesh(const Imath::M44d& w, MeshFrameData& mesh)
{
    for (size_t i = 0; i + 2 < mesh.positions.size(); i += 3) {
        const double x = mesh.positions[i], y = mesh.positions[i + 1], z = mesh.positions[i + 2];
        double out[4];
        for (int c = 0; c < 4; ++c)
            out[c] = x * w[0][c] + y * w[1][c] + z * w[2][c] + w[3][c];
        for (int c = 0; c < 3; ++c)
            mesh.positions[i + c] = float(out[c] / out[3]);
    }
    auto byBlock = [&](float* v, double* out) {
        const double x = v[0], y = v[1], z = v[2];
        for (int c = 0; c < 3; ++c)
            out[c] = x * w[0][c] + y * w[1][c] + z * w[2][c];
    };
    for (size_t i = 0; i + 2 < mesh.normals.size(); i += 3) {
        double n[3];
        byBlock(&mesh.normals[i], n);
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (int c = 0; c < 3; ++c)
            mesh.normals[i + c] = float(length != 0.0 ? n[c] / length : n[c]);
    }
    for (size_t i = 0; i + 2 < mesh.velocities.size(); i += 3) {
        double v[3];
        byBlock(&mesh.velocities[i], v);
        for (int c = 0; c < 3; ++c)
            mesh.velocities[i + c] = float(v[c]);
    }
}

// Velocities from the neighbouring sample of the file's positions: (this - next) / duration, or
// (previous - this) / duration at the last sample. Zeros when no neighbour of the same size exists.
void deriveVelocities(const Archive& archive, const MeshEntry& mesh, uint32_t frame, float frameDuration,
                      MeshFrameData& data)
{
    const uint32_t sampleCount = archive.header(mesh.schema.positions).sampleCount;
    data.velocities.assign(data.positions.size(), 0.0f);
    int64_t neighbour = -1;
    bool next = false;
    if (uint64_t(frame) + 1 < sampleCount) {
        neighbour = int64_t(frame) + 1;
        next = true;
    } else if (frame > 0) {
        neighbour = int64_t(frame) - 1;
    }
    if (neighbour < 0)
        return;
    std::vector<float> other;
    abc::copyValues(archive.readSample(mesh.schema.positions, std::min<int64_t>(sampleCount - 1, neighbour)), other);
    if (other.empty() || other.size() != data.positions.size())
        return;
    const float k = frameDuration > 0.0f ? 1.0f / frameDuration : 1.0f;
    for (size_t i = 0; i < other.size(); ++i)
        data.velocities[i] = next ? (data.positions[i] - other[i]) * k : (other[i] - data.positions[i]) * k;
}

// Local material numbers to global ones; names new to the table are added in order.
void mapMaterials(AlembicImporter& importer, const std::vector<std::string>& names, MeshFrameData& data)
{
    if (names.empty())
        return;
    std::vector<uint32_t> global(names.size());
    {
        std::lock_guard<std::mutex> hold(importer.materialLock);
        for (size_t i = 0; i < names.size(); ++i) {
            auto [it, added] = importer.materialIndex.try_emplace(names[i], uint32_t(importer.materialNames.size()));
            if (added)
                importer.materialNames.push_back(names[i]);
            global[i] = it->second;
        }
        data.materialCount = uint32_t(importer.materialNames.size());
    }
    for (uint32_t& m : data.triangleMaterials)
        if (m < global.size())
            m = global[m];
}

std::vector<float> faceNormals(const MeshFrameData& data)
{
    std::vector<float> normals(data.corners.size());
    const float* p = data.positions.data();
    for (size_t t = 0; t < data.triangleCount(); ++t) {
        const uint32_t* c = &data.corners[3 * t];
        faceNormal(p + 3 * c[0], p + 3 * c[1], p + 3 * c[2], &normals[3 * t]);
    }
    return normals;
}

void flatNormals(MeshFrameData& data)
{
    const std::vector<float> faces = faceNormals(data);
    data.normals.resize(3 * data.corners.size());
    for (size_t t = 0; t < data.triangleCount(); ++t)
        for (size_t j = 0; j < 3; ++j)
            std::copy(&faces[3 * t], &faces[3 * t] + 3, &data.normals[9 * t + 3 * j]);
}

void smoothMeshNormals(MeshFrameData& data)
{
    const std::vector<float> faces = faceNormals(data);
    std::vector<float> sums(data.positions.size(), 0.0f);
    for (size_t i = 0; i < data.corners.size(); ++i)
        for (int k = 0; k < 3; ++k)
            sums[3 * data.corners[i] + k] += faces[3 * (i / 3) + k];
    data.normals.resize(3 * data.corners.size());
    for (size_t i = 0; i < data.corners.size(); ++i) {
        std::copy(&sums[3 * data.corners[i]], &sums[3 * data.corners[i]] + 3, &data.normals[3 * i]);
        normaliseIfLong(&data.normals[3 * i]);
    }
}

// Pads `list` with `fill` (one element of `width` floats) or cuts it to `elements` elements.
template <typename T>
void fitList(std::vector<T>& list, size_t elements, const T* fill, size_t width)
{
    const size_t target = elements * width;
    if (list.size() >= target) {
        list.resize(target);
        return;
    }
    list.reserve(target);
    while (list.size() < target)
        list.push_back(fill[list.size() % width]);
}

template <typename T>
void appendList(std::vector<T>& frame, const std::vector<T>& mesh, size_t before, size_t added, const T* fill,
                size_t width)
{
    if (frame.empty() && mesh.empty())
        return;
    fitList(frame, before, fill, width);
    frame.insert(frame.end(), mesh.begin(), mesh.end());
    fitList(frame, before + added, fill, width);
}

// Room for the frame's lists, from the sizes of the visible meshes' samples.
void reserveFrame(const Archive& archive, const AlembicImporter& importer, const std::vector<uint32_t>& visible,
                  uint32_t frame, MeshFrameData& data)
{
    uint64_t points = 0, indices = 0, faces = 0;
    for (uint32_t m : visible) {
        const abc::PolyMeshSchema& schema = importer.meshes[m].schema;
        auto count = [&](uint32_t property) {
            return archive.header(property).sampleCount > 0 ? archive.readSample(property, frame).elementCount : 0;
        };
        points += count(schema.positions);
        indices += count(schema.faceIndices);
        faces += count(schema.faceCounts);
    }
    const size_t cornerRoom = size_t(indices + indices / 2);
    data.positions.reserve(size_t(3 * points));
    data.velocities.reserve(size_t(3 * points));
    data.corners.reserve(cornerRoom);
    data.normals.reserve(3 * cornerRoom);
    data.texcoords[0].reserve(2 * cornerRoom);
    data.colours.reserve(4 * cornerRoom);
    data.triangleMaterials.reserve(size_t(2 * faces));
    data.smoothingGroup.reserve(size_t(2 * faces));
}

Mesh assembleFrameMesh(const MeshFrameData& data, std::vector<std::vector<float>>& spareValues)
{
    Mesh mesh;
    const size_t triangles = data.triangleCount();
    // Every stream is sized for all triangles up front and cut to the triangles kept.
    struct Stream {
        int32_t kind;
        uint32_t components;
        const std::vector<float>* source;
        uint32_t stride;     // floats per source element
        bool perVertex;      // indexed by vertex, else by corner
        float* out = nullptr;
        std::vector<float>* values = nullptr;
    };
    Stream all[] = {
        {0, 3, &data.positions, 3, true},     {1, 3, &data.normals, 3, false},
        {3, 2, &data.texcoords[0], 2, false}, {5, 3, &data.colours, 4, false},
        {6, 3, &data.velocities, 3, true},    {8, 2, &data.texcoords[1], 2, false},
        {9, 2, &data.texcoords[2], 2, false},
    };
    size_t streamCount = 0;
    Stream* streams[7];
    mesh.attributes.reserve(7);
    for (Stream& s : all) { // in ascending kind
        if (s.kind != 0 && s.source->empty())
            continue;
        VertexAttribute& attribute = mesh.attributes.emplace_back();
        if (streamCount < spareValues.size())
            attribute.values.swap(spareValues[streamCount]); // every element kept is written below
        attribute.kind = s.kind;
        attribute.componentCount = s.components;
        attribute.values.resize(3 * triangles * s.components);
        s.out = attribute.values.data();
        s.values = &attribute.values;
        streams[streamCount++] = &s;
    }
    mesh.triangles.resize(triangles);
    mesh.sourceVertex.resize(3 * triangles);
    mesh.triangleGroups.resize(triangles);
    size_t kept = 0;
    for (size_t t = 0; t < triangles; ++t) {
        const uint32_t* c = &data.corners[3 * t];
        bool finite = true;
        for (int j = 0; j < 3 && finite; ++j)
            for (int k = 0; k < 3; ++k)
                finite = finite && std::isfinite(data.positions[3 * size_t(c[j]) + k]);
        if (!finite)
            continue;
        for (size_t j = 0; j < 3; ++j) {
            const size_t out = 3 * kept + j;
            mesh.triangles[kept][j] = uint32_t(out);
            mesh.sourceVertex[out] = c[j];
            for (size_t i = 0; i < streamCount; ++i) {
                Stream& s = *streams[i];
                const size_t element = s.perVertex ? c[j] : 3 * t + j;
                const float* v = s.source->data() + element * s.stride;
                float* to = s.out + out * s.components;
                // Two or three floats: a library copy per corner would cost more than they do.
                to[0] = v[0];
                to[1] = v[1];
                if (s.components == 3)
                    to[2] = v[2];
            }
        }
        mesh.triangleGroups[kept++] = data.triangleMaterials.empty() ? 0u : data.triangleMaterials[t];
    }
    if (kept == 0)
        return Mesh{};
    mesh.triangles.resize(kept);
    mesh.sourceVertex.resize(3 * kept);
    mesh.triangleGroups.resize(kept);
    for (size_t i = 0; i < streamCount; ++i)
        streams[i]->values->resize(3 * kept * streams[i]->components);
    return mesh;
}

Mesh readVisibleMeshes(AlembicImporter& importer, uint32_t frame, FrameReadBuffers& buffers)
{
    if (importer.frameCount == 0 || !importer.archive)
        return {};
    const Archive& archive = *importer.archive;
    const SequenceSettings& settings = importer.settings;
    const CompressionSettings& compression = settings.compression;
    const uint32_t column = std::min(frame, importer.frameCount - 1);
    std::vector<uint32_t> visible;
    for (uint32_t m = 0; m < importer.meshes.size(); ++m)
        if (importer.visibilityTable[size_t(m) * importer.frameCount + column])
            visible.push_back(m);

    MeshFrameData& data = buffers.frame;
    data.clear();
    if (visible.size() > 1)
        reserveFrame(archive, importer, visible, frame, data);
    MeshFrameData& mesh = buffers.mesh;
    std::vector<std::string>& names = buffers.materialNames;
    const bool positionsConstant = (importer.staticAttributeMask & 1u) != 0;
    for (uint32_t m : visible) {
        const MeshEntry& entry = importer.meshes[m];
        if (!readMeshSample(archive, entry, frame, settings.negateTexcoordU != 0, settings.negateTexcoordV != 0, mesh,
                            names, importer.diagnostics)) {
            importer.diagnostics.line("Error: Failed to read frame " + std::to_string(frame));
            return {};
        }
        if (compression.velocityMode == 1)
            mesh.velocities.clear();
        else if (compression.velocityMode == 2 && importer.staticTopology && importer.frameCount > 1 &&
                 !positionsConstant && mesh.velocities.empty())
            deriveVelocities(archive, entry, frame, importer.frameDuration, mesh);

        const Imath::M44d world = worldTransform(archive, entry.schema.object, frame);
        if (!isNearIdentity(world))
            transformMesh(world, mesh);

        mapMaterials(importer, names, mesh);

        if (!compression.recomputeNormals) {
            if (mesh.normals.empty()) {
                smoothMeshNormals(mesh);
                mesh.smoothingGroup.assign(mesh.triangleCount(), 0u);
                mesh.smoothingGroupCount = 1;
            }
        } else if (compression.smoothAllNormals) {
            smoothMeshNormals(mesh);
        } else {
            flatNormals(mesh);
        }
        if (visible.size() == 1) {
            // One mesh is taken over without a copy (the frame's emptied lists go to the next
            // sample); appending nothing fits its lists.
            std::swap(data, mesh);
            appendMeshData(data, MeshFrameData{});
        } else {
            appendMeshData(data, mesh);
        }
    }
    if (compression.recomputeNormals && !compression.smoothAllNormals) {
        computeSmoothingGroups(data, settings.normalSmoothingThreshold);
        smoothNormalsByGroup(data);
    }
    return assembleFrameMesh(data, buffers.spareValues);
}

} // namespace

bool isTransformObject(const abc::ObjectRecord& object) { return object.metadata.get("schema") == "AbcGeom_Xform_v3"; }

Imath::M44d worldTransform(const Archive& archive, uint32_t object, uint32_t frame)
{
    Imath::M44d world; // identity
    for (uint32_t o = archive.object(object).parent; o != kNoIndex; o = archive.object(o).parent)
        if (isTransformObject(archive.object(o)))
            world = world * abc::readXformMatrix(archive, abc::openXform(archive, o), frame);
    return world;
}

void computeSmoothingGroups(MeshFrameData& frame, float threshold)
{
    const size_t triangles = frame.triangleCount();
    const std::vector<float> normals = faceNormals(frame);
    // Every triangle edge keyed by its two vertices (smaller first), sorted so that the
    // triangles sharing an edge are neighbours in the list.
    std::vector<std::pair<uint64_t, uint32_t>> edges;
    edges.reserve(3 * triangles);
    auto edgeKey = [](uint32_t a, uint32_t b) { return a < b ? (uint64_t(a) << 32) | b : (uint64_t(b) << 32) | a; };
    for (size_t t = 0; t < triangles; ++t) {
        const uint32_t* c = &frame.corners[3 * t];
        for (int e = 0; e < 3; ++e)
            edges.emplace_back(edgeKey(c[e], c[(e + 1) % 3]), uint32_t(t));
    }
    std::sort(edges.begin(), edges.end());

    const double limit = threshold;
    const bool perpendicularJoins = std::fabs(limit) < 1e-6;
    constexpr uint32_t kNone = ~0u;
    frame.smoothingGroup.assign(triangles, kNone);
    uint32_t groups = 0;
    std::vector<uint32_t> stack;
    for (size_t start = 0; start < triangles; ++start) {
        if (frame.smoothingGroup[start] != kNone)
            continue;
        const uint32_t group = groups++;
        frame.smoothingGroup[start] = group;
        stack.push_back(uint32_t(start));
        while (!stack.empty()) {
            const uint32_t t = stack.back();
            stack.pop_back();
            const float* nt = &normals[3 * size_t(t)];
            const uint32_t* c = &frame.corners[3 * size_t(t)];
            for (int e = 0; e < 3; ++e) {
                const uint64_t key = edgeKey(c[e], c[(e + 1) % 3]);
                auto it = std::lower_bound(edges.begin(), edges.end(), std::make_pair(key, 0u));
                for (; it != edges.end() && it->first == key; ++it) {
                    const uint32_t u = it->second;
                    if (frame.smoothingGroup[u] != kNone)
                        continue;
                    const float* nu = &normals[3 * size_t(u)];
                    double cosine = std::fabs(double(nt[0]) * nu[0] + double(nt[1]) * nu[1] + double(nt[2]) * nu[2]);
                    if (cosine > 1.0)
                        cosine = 1.0; // a NaN stays NaN and joins nothing
                    if (cosine > limit || (perpendicularJoins && cosine < 1e-6)) {
                        frame.smoothingGroup[u] = group;
                        stack.push_back(u);
                    }
                }
            }
        }
    }
    frame.smoothingGroupCount = groups;
}

void smoothNormalsByGroup(MeshFrameData& frame)
{
    const std::vector<float> faces = faceNormals(frame);
    // Corners sorted by (group, vertex), corner order within each key, so the sums run in
    // triangle order.
    std::vector<std::pair<uint64_t, uint32_t>> keys(frame.corners.size());
    for (size_t i = 0; i < frame.corners.size(); ++i) {
        const uint32_t group = i / 3 < frame.smoothingGroup.size() ? frame.smoothingGroup[i / 3] : 0u;
        keys[i] = {(uint64_t(group) << 32) | frame.corners[i], uint32_t(i)};
    }
    std::sort(keys.begin(), keys.end());
    frame.normals.assign(3 * frame.corners.size(), 0.0f);
    for (size_t begin = 0; begin < keys.size();) {
        size_t end = begin;
        float sum[3] = {0.0f, 0.0f, 0.0f};
        for (; end < keys.size() && keys[end].first == keys[begin].first; ++end)
            for (int k = 0; k < 3; ++k)
                sum[k] += faces[3 * (keys[end].second / 3) + k];
        normaliseIfLong(sum);
        for (size_t i = begin; i < end; ++i)
            std::copy(sum, sum + 3, &frame.normals[3 * size_t(keys[i].second)]);
        begin = end;
    }
}

void appendMeshData(MeshFrameData& frame, const MeshFrameData& mesh)
{
    const size_t vertices = frame.vertexCount(), corners = frame.corners.size(), triangles = corners / 3;
    const size_t meshVertices = mesh.vertexCount(), meshCorners = mesh.corners.size(), meshTriangles = meshCorners / 3;
    constexpr size_t kLimit = std::numeric_limits<uint32_t>::max();
    if (vertices + meshVertices > kLimit || corners + meshCorners > kLimit)
        raiseError("frame has more vertices or corners than 32-bit numbers reach");
    static const float kZeros[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    static const float kOpaqueBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    static const uint32_t kZero = 0;

    frame.positions.insert(frame.positions.end(), mesh.positions.begin(), mesh.positions.end());
    frame.corners.reserve(corners + meshCorners);
    for (uint32_t c : mesh.corners)
        frame.corners.push_back(c + uint32_t(vertices));
    appendList(frame.velocities, mesh.velocities, vertices, meshVertices, kZeros, 3);
    appendList(frame.normals, mesh.normals, corners, meshCorners, kZeros, 3);
    for (int slot = 0; slot < 3; ++slot)
        appendList(frame.texcoords[slot], mesh.texcoords[slot], corners, meshCorners, kZeros, 2);
    appendList(frame.colours, mesh.colours, corners, meshCorners, kOpaqueBlack, 4);
    appendList(frame.triangleMaterials, mesh.triangleMaterials, triangles, meshTriangles, &kZero, 1);
    appendList(frame.smoothingGroup, mesh.smoothingGroup, triangles, meshTriangles, &kZero, 1);
    frame.smoothingGroupCount = std::max(frame.smoothingGroupCount, mesh.smoothingGroupCount);
    frame.materialCount = std::max(frame.materialCount, mesh.materialCount);
}

Mesh readFrame(AlembicImporter& importer, uint32_t frame)
{
    FrameReadBuffers buffers;
    return readFrame(importer, frame, buffers);
}

Mesh readFrame(AlembicImporter& importer, uint32_t frame, FrameReadBuffers& buffers)
{
    try {
        return readVisibleMeshes(importer, frame, buffers);
    } catch (const std::bad_alloc&) {
        throw; // an empty frame would pass for a frame without geometry
    } catch (const std::exception&) {
        importer.diagnostics.line("Error: Failed to read frame " + std::to_string(frame));
        return {};
    }
}

} // namespace vmq
