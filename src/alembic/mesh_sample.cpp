#include "alembic/mesh_sample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace vmq {

namespace {

using abc::Archive;
using abc::GeomParam;
using abc::GeomScope;
using abc::kNoIndex;
using abc::Pod;
using abc::PropertyHeader;
using abc::PropertyKind;
using abc::Sample;
using abc::TypedParam;

constexpr uint64_t kMissing = ~0ull;

// The shape every per-face, per-corner and per-vertex list is brought to.
struct MeshShape {
    std::vector<uint32_t> faceCounts; // as stored, none negative
    uint64_t polygonCornerCount = 0;  // sum of the face counts
    size_t vertexCount = 0;
    bool polygonal = false;           // some face count is not 3
    const std::vector<uint32_t>* corners = nullptr;

    size_t faceCount() const { return faceCounts.size(); }
    size_t cornerCount() const { return corners->size(); }
};

// Elements of `width` floats, read in place from a sample's bytes (which need not be aligned).
struct FloatElements {
    const uint8_t* bytes = nullptr;
    size_t count = 0;
    uint32_t width = 0;
};

FloatElements floatElements(const Sample& sample, uint32_t width)
{
    return {sample.values.data, size_t(sample.values.size / (4ull * width)), width};
}

// Sample `frame` of an optional property; empty when the property has no samples.
Sample optionalSample(const Archive& archive, uint32_t property, uint32_t frame)
{
    if (property == kNoIndex || archive.header(property).sampleCount == 0)
        return {};
    return archive.readSample(property, frame);
}

// How a list of values is brought to one value per triangle corner: each mode calls `emit` with
// the source element of every output corner in order (kMissing where the source has none).
enum class Expansion {
    PerPolygonCorner, // fanned like the face indices when polygonal, else as stored
    PerFace,          // a face of c >= 3 corners gives its value to 3 (c - 2) corners
    PerVertex,        // corner j takes the value of its vertex
    AsStored,         // the list unchanged
};

template <typename Emit>
void expand(Expansion mode, const MeshShape& shape, size_t valueCount, Emit&& emit)
{
    if (mode == Expansion::PerPolygonCorner && !shape.polygonal)
        mode = Expansion::AsStored;
    switch (mode) {
    case Expansion::PerPolygonCorner: {
        uint64_t s = 0;
        for (uint32_t c : shape.faceCounts) {
            for (uint32_t k = 1; k + 1 < c; ++k) {
                for (uint64_t p : {s, s + k, s + k + 1})
                    emit(p < valueCount ? p : kMissing);
            }
            s += c;
        }
        break;
    }
    case Expansion::PerFace:
        for (size_t f = 0; f < shape.faceCount(); ++f) {
            const uint32_t c = shape.faceCounts[f];
            for (uint64_t j = 0; c >= 3 && j < 3ull * (c - 2); ++j)
                emit(f < valueCount ? f : kMissing);
        }
        break;
    case Expansion::PerVertex:
        for (uint32_t v : *shape.corners)
            emit(v < valueCount ? v : kMissing);
        break;
    case Expansion::AsStored:
        for (size_t i = 0; i < valueCount; ++i)
            emit(i);
        break;
    }
}

// Writes element `index` of `source` to `out` as `outWidth` floats: its stored floats, then
// `fill` for the components it lacks; a missing element is all zeros.
void writeElement(const FloatElements& source, uint64_t index, uint32_t outWidth, float fill, float* out)
{
    if (index == kMissing || index >= source.count) {
        std::fill(out, out + outWidth, 0.0f);
        return;
    }
    const uint32_t stored = source.width < outWidth ? source.width : outWidth;
    const uint8_t* in = source.bytes + (index * source.width) * 4;
    // Float by float: a library copy per element costs more than the few floats it moves.
    for (uint32_t k = 0; k < stored; ++k)
        std::memcpy(out + k, in + 4 * k, 4);
    std::fill(out + stored, out + outWidth, fill);
}

// The number of elements `expand` emits.
size_t expandedCount(Expansion mode, const MeshShape& shape, size_t valueCount)
{
    return mode == Expansion::AsStored || (mode == Expansion::PerPolygonCorner && !shape.polygonal) ? valueCount
                                                                                                      : shape.cornerCount();
}

// `out` sized for the expansion; `emit(i)` then writes source element i (or zeros) in turn.
template <typename Source>
void expandInto(Expansion mode, const MeshShape& shape, size_t valueCount, uint32_t outWidth, std::vector<float>& out,
                Source&& write)
{
    out.resize(expandedCount(mode, shape, valueCount) * outWidth);
    float* cursor = out.data();
    expand(mode, shape, valueCount, [&](uint64_t i) {
        write(i, cursor);
        cursor += outWidth;
    });
}

void gather(Expansion mode, const MeshShape& shape, const FloatElements& source, uint32_t outWidth, float fill,
            std::vector<float>& out)
{
    expandInto(mode, shape, source.count, outWidth, out,
               [&](uint64_t i, float* dst) { writeElement(source, i, outWidth, fill, dst); });
}

Expansion expansionForScope(GeomScope scope, size_t valueCount, const MeshShape& shape)
{
    switch (scope) {
    case GeomScope::Uniform: return Expansion::PerFace;
    case GeomScope::Varying:
    case GeomScope::Vertex: return Expansion::PerVertex;
    case GeomScope::FaceVarying: return Expansion::PerPolygonCorner;
    case GeomScope::Constant: break;
    }
    if (valueCount == shape.cornerCount())
        return Expansion::PerPolygonCorner;
    if (valueCount == shape.vertexCount)
        return Expansion::PerVertex;
    if (valueCount == shape.faceCount())
        return Expansion::PerFace;
    return Expansion::PerPolygonCorner;
}

enum class CornerValues { Texture, Normal, Colour };

void negateTexcoords(std::vector<float>& uvs, bool negateU, bool negateV)
{
    for (size_t i = 0; i + 1 < uvs.size(); i += 2) {
        if (negateU)
            uvs[i] = -uvs[i];
        if (negateV)
            uvs[i + 1] = -uvs[i + 1];
    }
}

// A geometry parameter's values brought to one per corner: texture coordinates as 2 floats,
// normals as 3, colours as RGBA (alpha 1 where the parameter has none).
void readCornerValues(const Archive& archive, const GeomParam& param, uint32_t frame, CornerValues what,
                      const MeshShape& shape, std::vector<float>& out)
{
    const uint32_t outWidth = what == CornerValues::Texture ? 2 : what == CornerValues::Normal ? 3 : 4;
    const uint32_t width = archive.header(param.values).extent;
    const FloatElements values = floatElements(optionalSample(archive, param.values, frame), width);
    if (param.indexed()) {
        const Sample indexSample = optionalSample(archive, param.indices, frame);
        const size_t indexCount = size_t(indexSample.values.size / 4);
        if (indexCount == 0) {
            if (what == CornerValues::Texture)
                out.assign(shape.cornerCount() * 2, 0.0f);
            else
                gather(Expansion::AsStored, shape, values, outWidth, 1.0f, out);
            return;
        }
        expandInto(Expansion::PerPolygonCorner, shape, indexCount, outWidth, out, [&](uint64_t p, float* dst) {
            const uint64_t index = p == kMissing ? kMissing : abc::loadLittle<uint32_t>(indexSample.values.data + 4 * p);
            writeElement(values, index, outWidth, 1.0f, dst);
        });
        return;
    }
    gather(expansionForScope(param.scope, values.count, shape), shape, values, outWidth, 1.0f, out);
}

bool isFloatList(const PropertyHeader& h, uint32_t extent)
{
    return h.kind == PropertyKind::Array && h.pod == Pod::F32 && h.extent == extent;
}

// A flat float list named "uv1" or "uv2": (u, v) pairs or (u, v, w) triples per polygon corner,
// triangle corner, vertex or face, told apart by the list's length.
bool readFlatFloatUv(const Archive& archive, uint32_t property, uint32_t frame, const MeshShape& shape,
                     std::vector<float>& out, DiagnosticSink& diagnostics)
{
    const PropertyHeader& h = archive.header(property);
    if (!isFloatList(h, 1))
        return false;
    const Sample sample = optionalSample(archive, property, frame);
    const uint64_t m = sample.values.size / 4;
    if (m <= 1)
        return false;
    const uint64_t L = shape.polygonCornerCount;
    uint32_t stride = 0;
    Expansion mode = Expansion::AsStored;
    if (L > 0 && (m == 3 * L || m == 2 * L)) {
        stride = uint32_t(m / L);
        mode = Expansion::PerPolygonCorner;
    } else if (m == 2ull * shape.cornerCount()) {
        stride = 2;
    } else if (m == 3ull * shape.vertexCount || m == 2ull * shape.vertexCount) {
        stride = m == 3ull * shape.vertexCount ? 3 : 2;
        mode = Expansion::PerVertex;
    } else if (m == 3ull * shape.faceCount() || m == 2ull * shape.faceCount()) {
        stride = m == 3ull * shape.faceCount() ? 3 : 2;
        mode = Expansion::PerFace;
    } else {
        diagnostics.line("[AlembicImporter] WARNING: flat-float UV '" + h.name + "' has unrecognized size (" +
                         std::to_string(m) + " floats); skipping");
        out.clear();
        return false;
    }
    gather(mode, shape, {sample.values.data, size_t(m / stride), stride}, 2, 0.0f, out);
    return true;
}

// Velocities of a mesh without schema velocities: the first float x 3 list of `compound` named
// like a velocity.
void readNamedVelocities(const Archive& archive, uint32_t compound, uint32_t frame, std::vector<float>& out)
{
    if (compound == kNoIndex)
        return;
    for (uint32_t child : archive.property(compound).children) {
        const PropertyHeader& h = archive.header(child);
        if ((h.name == "v" || h.name == "vel" || h.name == "velocity" || h.name == "velocities") && isFloatList(h, 3)) {
            abc::copyValues(optionalSample(archive, child, frame), out);
            out.resize(out.size() / 3 * 3);
            return;
        }
    }
}

// Vertex normals for the repair of non-finite normals: each vertex sums the unit face normals
// (finite ones only) of the triangles that use it.
std::vector<float> vertexNormalSums(const MeshFrameData& mesh)
{
    std::vector<float> sums(mesh.positions.size(), 0.0f);
    const float* p = mesh.positions.data();
    for (size_t t = 0; t < mesh.triangleCount(); ++t) {
        const uint32_t* c = &mesh.corners[3 * t];
        float n[3];
        faceNormal(p + 3 * c[0], p + 3 * c[1], p + 3 * c[2], n);
        if (!std::isfinite(n[0]) || !std::isfinite(n[1]) || !std::isfinite(n[2]))
            continue;
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                sums[3 * c[j] + k] += n[k];
    }
    return sums;
}

void repairNormals(MeshFrameData& mesh)
{
    auto finite = [](const float* n) { return std::isfinite(n[0]) && std::isfinite(n[1]) && std::isfinite(n[2]); };
    const size_t count = mesh.normals.size() / 3;
    bool broken = false;
    for (size_t i = 0; i < count && !broken; ++i)
        broken = !finite(&mesh.normals[3 * i]);
    if (!broken)
        return;
    const std::vector<float> sums = vertexNormalSums(mesh);
    const bool perCorner = count == mesh.corners.size();
    for (size_t i = 0; i < count; ++i) {
        float* n = &mesh.normals[3 * i];
        if (finite(n))
            continue;
        const size_t v = perCorner ? mesh.corners[i] : i;
        n[0] = 0.0f;
        n[1] = 0.0f;
        n[2] = 1.0f;
        if (v < mesh.vertexCount()) {
            const float* s = &sums[3 * v];
            const float length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
            if (std::isfinite(length) && length > 1e-8f) {
                n[0] = s[0] / length;
                n[1] = s[1] / length;
                n[2] = s[2] / length;
            }
        }
    }
}

// The first colour parameter of the arbitrary parameters (a scalar colour fills every corner).
void readColours(const Archive& archive, uint32_t arbGeomParams, uint32_t frame, const MeshShape& shape,
                 std::vector<float>& out)
{
    if (arbGeomParams == kNoIndex)
        return;
    for (uint32_t child : archive.property(arbGeomParams).children) {
        const PropertyHeader& h = archive.header(child);
        const bool rgba = abc::matchesGeomParam(h, TypedParam::Color4f) || abc::matchesScalarColour(h, true);
        const bool rgb = !rgba && (abc::matchesGeomParam(h, TypedParam::Color3f) || abc::matchesScalarColour(h, false));
        if (!rgb && !rgba)
            continue;
        if (h.kind == PropertyKind::Scalar) {
            const Sample sample = optionalSample(archive, child, frame);
            if (sample.values.size < (rgba ? 16u : 12u))
                return;
            float colour[4] = {0.0f, 0.0f, 0.0f, 1.0f};
            std::memcpy(colour, sample.values.data, rgba ? 16 : 12);
            out.clear();
            out.reserve(shape.cornerCount() * 4);
            for (size_t j = 0; j < shape.cornerCount(); ++j)
                out.insert(out.end(), colour, colour + 4);
            return;
        }
        const GeomParam param = abc::openGeomParam(archive, child, Pod::F32, rgba ? 4 : 3);
        readCornerValues(archive, param, frame, CornerValues::Colour, shape, out);
        return;
    }
}

// Material names and per-face indices from a string parameter such as "shop_materialpath".
bool readMaterialParameter(const Archive& archive, uint32_t arbGeomParams, uint32_t frame, size_t faceCount,
                           std::vector<std::string>& names, std::vector<uint32_t>& faceMaterials)
{
    if (arbGeomParams == kNoIndex)
        return false;
    uint32_t property = kNoIndex;
    for (const char* name : {"shop_materialpath", "material", "path_shader", "prim_material"}) {
        const uint32_t p = archive.findProperty(arbGeomParams, name);
        if (p != kNoIndex && abc::matchesGeomParam(archive.header(p), TypedParam::String)) {
            property = p;
            break;
        }
    }
    if (property == kNoIndex)
        return false;
    const GeomParam param = abc::openGeomParam(archive, property, Pod::String, 0);
    if (param.scope != GeomScope::Uniform)
        return false;
    std::vector<std::string> values;
    if (archive.header(param.values).sampleCount > 0)
        values = archive.readStrings(param.values, archive.readSample(param.values, frame));
    names.clear();
    if (param.indexed()) {
        const Sample indexSample = optionalSample(archive, param.indices, frame);
        if (indexSample.values.size / 4 != faceCount)
            return false;
        names = std::move(values);
        for (size_t f = 0; f < faceCount; ++f) {
            const uint32_t index = abc::loadLittle<uint32_t>(indexSample.values.data + 4 * f);
            faceMaterials[f] = index < names.size() ? index : 0;
        }
        return true;
    }
    if (values.size() != faceCount)
        return false;
    std::unordered_map<std::string_view, uint32_t> indexOf;
    indexOf.reserve(faceCount);
    for (size_t f = 0; f < faceCount; ++f) {
        auto [it, added] = indexOf.try_emplace(values[f], uint32_t(names.size()));
        if (added)
            names.push_back(values[f]);
        faceMaterials[f] = it->second;
    }
    return true;
}

bool fail(DiagnosticSink& diagnostics, const std::string& message)
{
    diagnostics.line("Error: " + message);
    return false;
}

} // namespace

void faceNormal(const float* p0, const float* p1, const float* p2, float* normal)
{
    const float a[3] = {p2[0] - p1[0], p2[1] - p1[1], p2[2] - p1[2]};
    const float b[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    normal[0] = a[1] * b[2] - a[2] * b[1];
    normal[1] = a[2] * b[0] - a[0] * b[2];
    normal[2] = a[0] * b[1] - a[1] * b[0];
    normaliseIfLong(normal);
}

void normaliseIfLong(float* v)
{
    const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (length > 1e-8f) {
        v[0] /= length;
        v[1] /= length;
        v[2] /= length;
    }
}

void MeshFrameData::clear()
{
    for (std::vector<float>* list : {&positions, &velocities, &normals, &texcoords[0], &texcoords[1], &texcoords[2], &colours})
        list->clear();
    corners.clear();
    triangleMaterials.clear();
    smoothingGroup.clear();
    smoothingGroupCount = 0;
    materialCount = 1;
}

bool readMeshSample(const Archive& archive, const MeshEntry& mesh, uint32_t frame, bool negateU, bool negateV,
                    MeshFrameData& out, std::vector<std::string>& materialNames, DiagnosticSink& diagnostics)
{
    const abc::PolyMeshSchema& schema = mesh.schema;
    out.clear();
    materialNames.clear();

    // Positions and velocities.
    abc::copyValues(archive.readSample(schema.positions, frame), out.positions);
    out.positions.resize(out.positions.size() / 3 * 3);
    if (out.vertexCount() > std::numeric_limits<uint32_t>::max())
        return fail(diagnostics, "Mesh has more vertices than 32-bit indices reach.");
    if (schema.velocities != kNoIndex) {
        abc::copyValues(optionalSample(archive, schema.velocities, frame), out.velocities);
        out.velocities.resize(out.velocities.size() / 3 * 3);
    } else {
        readNamedVelocities(archive, schema.arbGeomParams, frame, out.velocities);
        if (out.velocities.empty())
            readNamedVelocities(archive, schema.userProperties, frame, out.velocities);
    }

    // Faces: counts checked before any list is walked by them.
    MeshShape shape;
    shape.vertexCount = out.vertexCount();
    shape.corners = &out.corners;
    const Sample countSample = archive.readSample(schema.faceCounts, frame);
    const Sample indexSample = archive.readSample(schema.faceIndices, frame);
    const size_t faceCount = size_t(countSample.values.size / 4);
    const size_t indexCount = size_t(indexSample.values.size / 4);
    shape.faceCounts.resize(faceCount);
    size_t skipped = 0;
    for (size_t f = 0; f < faceCount; ++f) {
        const int32_t c = abc::loadLittle<int32_t>(countSample.values.data + 4 * f);
        if (c < 0)
            return fail(diagnostics, "Face " + std::to_string(f) + " has a negative corner count (" + std::to_string(c) + ").");
        shape.faceCounts[f] = uint32_t(c);
        shape.polygonCornerCount += uint32_t(c);
        skipped += c < 3;
        shape.polygonal = shape.polygonal || c != 3;
    }
    if (skipped > 0)
        diagnostics.line("Warning: Skipping " + std::to_string(skipped) + " of " + std::to_string(faceCount) +
                         " face(s) with fewer than 3 vertices.");
    if (shape.polygonCornerCount > indexCount)
        return fail(diagnostics, "Face counts need " + std::to_string(shape.polygonCornerCount) +
                                     " face indices but the mesh has " + std::to_string(indexCount) + ".");

    // Corners: every stored index checked, then the faces fanned from their first corner.
    for (size_t i = 0; i < indexCount; ++i) {
        const uint32_t index = abc::loadLittle<uint32_t>(indexSample.values.data + 4 * i);
        if (index >= shape.vertexCount)
            return fail(diagnostics, "Index " + std::to_string(index) + " out of bounds (max " +
                                         std::to_string(shape.vertexCount) + ").");
    }
    uint64_t triangleCorners = 0;
    for (uint32_t c : shape.faceCounts)
        triangleCorners += c >= 3 ? 3ull * (c - 2) : 0;
    if (triangleCorners > std::numeric_limits<uint32_t>::max())
        return fail(diagnostics, "Mesh has more triangle corners than 32-bit numbers reach.");
    out.corners.reserve(size_t(triangleCorners));
    expand(Expansion::PerPolygonCorner, shape, size_t(shape.polygonCornerCount), [&](uint64_t p) {
        out.corners.push_back(abc::loadLittle<uint32_t>(indexSample.values.data + 4 * p));
    });

    // Texture slot 0, then up to two extra sets among the arbitrary parameters.
    if (schema.uvs.valid()) {
        readCornerValues(archive, schema.uvs, frame, CornerValues::Texture, shape, out.texcoords[0]);
        negateTexcoords(out.texcoords[0], negateU, negateV);
    }
    if (schema.arbGeomParams != kNoIndex) {
        uint32_t slot = 1;
        for (uint32_t child : archive.property(schema.arbGeomParams).children) {
            if (slot > 2)
                break;
            const PropertyHeader& h = archive.header(child);
            bool read = false;
            if (abc::matchesGeomParam(h, TypedParam::Vector2f)) {
                readCornerValues(archive, abc::openGeomParam(archive, child, Pod::F32, 2), frame, CornerValues::Texture,
                                 shape, out.texcoords[slot]);
                read = true;
            } else if (h.name == "uv1" || h.name == "uv2") {
                read = readFlatFloatUv(archive, child, frame, shape, out.texcoords[slot], diagnostics);
            }
            if (read)
                negateTexcoords(out.texcoords[slot++], negateU, negateV);
        }
    }

    // Normals, unit length, with non-finite ones repaired from the faces.
    if (schema.normals.valid() && optionalSample(archive, schema.normals.values, frame).values.size > 0) {
        readCornerValues(archive, schema.normals, frame, CornerValues::Normal, shape, out.normals);
        for (size_t i = 0; i + 2 < out.normals.size(); i += 3)
            normaliseIfLong(&out.normals[i]);
        repairNormals(out);
    }

    readColours(archive, schema.arbGeomParams, frame, shape, out.colours);

    // Materials per face: face sets in name order, else a material-name parameter.
    std::vector<uint32_t> faceMaterials(faceCount, 0);
    if (!schema.faceSets.empty()) {
        for (size_t i = 0; i < schema.faceSets.size(); ++i) {
            const Sample faces = optionalSample(archive, schema.faceSets[i].faces, frame);
            for (uint64_t k = 0; k < faces.values.size / 4; ++k) {
                const int32_t f = abc::loadLittle<int32_t>(faces.values.data + 4 * k);
                if (f >= 0 && size_t(f) < faceCount)
                    faceMaterials[size_t(f)] = uint32_t(i);
            }
            materialNames.push_back(schema.faceSets[i].name);
        }
        out.materialCount = uint32_t(schema.faceSets.size());
    } else if (readMaterialParameter(archive, schema.arbGeomParams, frame, faceCount, materialNames, faceMaterials)) {
        out.materialCount = materialNames.empty() ? 1u : uint32_t(materialNames.size());
    } else {
        materialNames.clear();
        std::fill(faceMaterials.begin(), faceMaterials.end(), 0u);
        out.materialCount = 1;
    }
    if (shape.polygonal) {
        out.triangleMaterials.reserve(out.corners.size() / 3);
        for (size_t f = 0; f < faceCount; ++f)
            for (uint32_t k = 2; k < shape.faceCounts[f]; ++k)
                out.triangleMaterials.push_back(faceMaterials[f]);
    } else {
        out.triangleMaterials = std::move(faceMaterials);
    }
    return true;
}

} // namespace vmq
