#include "alembic/archive/geometry_schemas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vmq::abc {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool matchesObject(const ObjectRecord& object, std::string_view title)
{
    return object.metadata.get("schemaObjTitle") == title || object.metadata.get("schema") == title;
}

// Decimal value of the leading digits, 0 when there are none.
long leadingNumber(std::string_view text)
{
    long value = 0;
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 100000; ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

[[noreturn]] void failProperty(const Archive& archive, uint32_t property, const std::string& what)
{
    archive.fail("property '" + archive.header(property).name + "' " + what);
}

bool isArrayOf(const PropertyHeader& h, Pod pod, uint32_t extent)
{
    return h.kind == PropertyKind::Array && h.pod == pod && (extent == 0 || h.extent == extent);
}

bool isScalarOf(const PropertyHeader& h, Pod pod, uint32_t extent)
{
    return h.kind == PropertyKind::Scalar && h.pod == pod && h.extent == extent;
}

uint32_t childCompound(const Archive& archive, uint32_t compound, std::string_view name)
{
    const uint32_t p = archive.findProperty(compound, name);
    return p != kNoIndex && archive.header(p).kind == PropertyKind::Compound ? p : kNoIndex;
}

// An optional property that must have the given shape when present.
uint32_t optionalProperty(const Archive& archive, uint32_t compound, std::string_view name, bool (*ok)(const PropertyHeader&))
{
    const uint32_t p = archive.findProperty(compound, name);
    if (p != kNoIndex && !ok(archive.header(p)))
        failProperty(archive, p, "has the wrong type");
    return p;
}

template <typename T>
void readArray(const Archive& archive, uint32_t property, int64_t index, std::vector<T>& out)
{
    copyValues(archive.readSample(property, index), out);
}

Imath::M44d multiply(const Imath::M44d& a, const Imath::M44d& b)
{
    Imath::M44d c;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            c[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j] + a[i][3] * b[3][j];
    return c;
}

// sin and cos of x. mingw's run the x87 instructions, whose internal pi has 66 bits: near a
// multiple of pi/2 (a quarter turn) their results lose all relative precision, and the transform
// would differ from other platforms' libraries. There x is first reduced by pi/2 (in three parts,
// in extended precision), and the instructions see only the remainder, where they are accurate.
void sinCos(double x, double& s, double& c)
{
#if defined(__MINGW32__)
    constexpr long double kHalfPi1 = 0x1.921fb54442p+0L, kHalfPi2 = 0x1.a308d3131ap-41L, kHalfPi3 = -0x1.d747f23e32ed6fdcp-83L;
    constexpr long double kTwoOverPi = 0x1.45f306dc9c882a54p-1L;
    if (std::fabs(x) < 0x1p20) {
        const long double n = std::nearbyint(static_cast<long double>(x) * kTwoOverPi);
        const long double r = ((static_cast<long double>(x) - n * kHalfPi1) - n * kHalfPi2) - n * kHalfPi3;
        const double sr = double(std::sin(r)), cr = double(std::cos(r));
        switch (static_cast<int64_t>(n) & 3) {
        case 0: s = sr; c = cr; return;
        case 1: s = cr; c = -sr; return;
        case 2: s = -sr; c = -cr; return;
        default: s = -cr; c = sr; return;
        }
    }
#endif
    s = std::sin(x);
    c = std::cos(x);
}

Imath::M44d axisRotation(double ax, double ay, double az, double degrees)
{
    const double theta = degrees * kPi / 180.0;
    const double length = std::sqrt(ax * ax + ay * ay + az * az);
    double ux = 0, uy = 0, uz = 0;
    if (length != 0.0) {
        ux = ax / length;
        uy = ay / length;
        uz = az / length;
    }
    double s = 0, c = 0;
    sinCos(theta, s, c);
    const double t = 1.0 - c;
    Imath::M44d m;
    m[0][0] = ux * ux * t + c;
    m[0][1] = ux * uy * t + uz * s;
    m[0][2] = ux * uz * t - uy * s;
    m[1][0] = ux * uy * t - uz * s;
    m[1][1] = uy * uy * t + c;
    m[1][2] = uy * uz * t + ux * s;
    m[2][0] = ux * uz * t + uy * s;
    m[2][1] = uy * uz * t - ux * s;
    m[2][2] = uz * uz * t + c;
    return m;
}

constexpr uint32_t kChannelsPerOperation[7] = {3, 3, 4, 16, 1, 1, 1};

} // namespace

bool isPolyMesh(const ObjectRecord& object) { return matchesObject(object, "AbcGeom_PolyMesh_v1:.geom"); }
bool isXform(const ObjectRecord& object) { return matchesObject(object, "AbcGeom_Xform_v3:.xform"); }
bool isFaceSet(const ObjectRecord& object) { return matchesObject(object, "AbcGeom_FaceSet_v1:.faceset"); }

GeomScope geomScope(const PropertyHeader& header)
{
    const std::string_view scope = header.metadata.get("geoScope");
    if (scope == "uni")
        return GeomScope::Uniform;
    if (scope == "var")
        return GeomScope::Varying;
    if (scope == "vtx")
        return GeomScope::Vertex;
    if (scope == "fvr")
        return GeomScope::FaceVarying;
    return GeomScope::Constant;
}

bool matchesGeomParam(const PropertyHeader& header, TypedParam type)
{
    static const struct {
        Pod pod;
        uint32_t extent;
        const char* interpretation;
    } kTypes[] = {{Pod::F32, 2, "vector"}, {Pod::F32, 3, "rgb"}, {Pod::F32, 4, "rgba"}, {Pod::String, 0, ""}, {Pod::F32, 3, "normal"}};
    const auto& t = kTypes[uint32_t(type)];
    if (header.metadata.get("interpretation") != t.interpretation)
        return false;
    if (header.kind == PropertyKind::Compound)
        return header.metadata.get("podName") == podName(t.pod) &&
               (t.extent == 0 || leadingNumber(header.metadata.get("podExtent")) == long(t.extent));
    return isArrayOf(header, t.pod, t.extent);
}

bool matchesScalarColour(const PropertyHeader& header, bool withAlpha)
{
    return isScalarOf(header, Pod::F32, withAlpha ? 4 : 3) &&
           header.metadata.get("interpretation") == (withAlpha ? "rgba" : "rgb");
}

GeomParam openGeomParam(const Archive& archive, uint32_t property, Pod pod, uint32_t extent)
{
    GeomParam param;
    const PropertyHeader& h = archive.header(property);
    param.property = property;
    param.scope = geomScope(h);
    if (h.kind == PropertyKind::Scalar)
        failProperty(archive, property, "is a scalar where a geometry parameter is expected");
    if (h.kind == PropertyKind::Compound) {
        param.values = archive.findProperty(property, ".vals");
        param.indices = archive.findProperty(property, ".indices");
        if (param.values == kNoIndex || param.indices == kNoIndex)
            failProperty(archive, property, "is an indexed geometry parameter without \".vals\" and \".indices\"");
        if (!isArrayOf(archive.header(param.indices), Pod::U32, 0))
            failProperty(archive, property, "has indices that are not an unsigned 32-bit array");
    } else {
        param.values = property;
    }
    if (!isArrayOf(archive.header(param.values), pod, extent))
        failProperty(archive, property, "has values of the wrong type");
    return param;
}

bool isConstant(const Archive& archive, const GeomParam& param)
{
    return archive.header(param.values).isConstant() &&
           (!param.indexed() || archive.header(param.indices).isConstant());
}

uint32_t sampleCount(const Archive& archive, const GeomParam& param)
{
    const uint32_t values = archive.header(param.values).sampleCount;
    return param.indexed() ? std::max(values, archive.header(param.indices).sampleCount) : values;
}

void readGeomParam(const Archive& archive, const GeomParam& param, int64_t index, GeomParamSample& out)
{
    readArray(archive, param.values, index, out.values);
    out.indices.clear();
    if (param.indexed())
        readArray(archive, param.indices, index, out.indices);
}

void readStringGeomParam(const Archive& archive, const GeomParam& param, int64_t index,
                         std::vector<std::string>& values, std::vector<uint32_t>& indices)
{
    values = archive.readStrings(param.values, archive.readSample(param.values, index));
    indices.clear();
    if (param.indexed())
        readArray(archive, param.indices, index, indices);
}

PolyMeshSchema openPolyMesh(const Archive& archive, uint32_t object)
{
    PolyMeshSchema mesh;
    mesh.object = object;
    const ObjectRecord& record = archive.object(object);
    mesh.geom = childCompound(archive, record.topCompound, ".geom");
    if (mesh.geom == kNoIndex)
        archive.fail("polygon mesh '" + record.fullName + "' has no \".geom\" compound");
    auto required = [&](const char* name) {
        const uint32_t p = archive.findProperty(mesh.geom, name);
        if (p == kNoIndex)
            archive.fail("polygon mesh '" + record.fullName + "' has no \"" + name + "\" property");
        return p;
    };
    mesh.positions = required("P");
    mesh.faceIndices = required(".faceIndices");
    mesh.faceCounts = required(".faceCounts");
    if (!isArrayOf(archive.header(mesh.positions), Pod::F32, 3))
        failProperty(archive, mesh.positions, "of '" + record.fullName + "' is not a float32 x 3 array");
    for (uint32_t p : {mesh.faceIndices, mesh.faceCounts})
        if (!isArrayOf(archive.header(p), Pod::I32, 0))
            failProperty(archive, p, "of '" + record.fullName + "' is not an int32 array");
    mesh.velocities = optionalProperty(archive, mesh.geom, ".velocities",
                                       [](const PropertyHeader& h) { return isArrayOf(h, Pod::F32, 3); });
    if (const uint32_t uv = archive.findProperty(mesh.geom, "uv"); uv != kNoIndex)
        mesh.uvs = openGeomParam(archive, uv, Pod::F32, 2);
    if (const uint32_t n = archive.findProperty(mesh.geom, "N"); n != kNoIndex)
        mesh.normals = openGeomParam(archive, n, Pod::F32, 3);
    mesh.arbGeomParams = childCompound(archive, mesh.geom, ".arbGeomParams");
    mesh.userProperties = childCompound(archive, mesh.geom, ".userProperties");
    for (uint32_t child : record.children) {
        const ObjectRecord& c = archive.object(child);
        if (!isFaceSet(c))
            continue;
        const uint32_t compound = childCompound(archive, c.topCompound, ".faceset");
        const uint32_t faces = compound == kNoIndex ? kNoIndex : archive.findProperty(compound, ".faces");
        if (faces == kNoIndex || !isArrayOf(archive.header(faces), Pod::I32, 0))
            archive.fail("face set '" + c.fullName + "' has no int32 \".faces\" array");
        mesh.faceSets.push_back({c.name, child, faces});
    }
    std::sort(mesh.faceSets.begin(), mesh.faceSets.end(),
              [](const FaceSet& a, const FaceSet& b) { return a.name < b.name; });
    return mesh;
}

bool hasConstantTopology(const Archive& archive, const PolyMeshSchema& mesh)
{
    return archive.header(mesh.faceIndices).isConstant() && archive.header(mesh.faceCounts).isConstant();
}

void readPolyMesh(const Archive& archive, const PolyMeshSchema& mesh, int64_t index, PolyMeshSample& out)
{
    readArray(archive, mesh.positions, index, out.positions);
    readArray(archive, mesh.faceIndices, index, out.faceIndices);
    readArray(archive, mesh.faceCounts, index, out.faceCounts);
    out.velocities.clear();
    if (mesh.velocities != kNoIndex && archive.header(mesh.velocities).sampleCount > 0)
        readArray(archive, mesh.velocities, index, out.velocities);
}

void readFaceSet(const Archive& archive, const FaceSet& faceSet, int64_t index, std::vector<int32_t>& faces)
{
    readArray(archive, faceSet.faces, index, faces);
}

XformSchema openXform(const Archive& archive, uint32_t object)
{
    XformSchema xform;
    xform.object = object;
    const ObjectRecord& record = archive.object(object);
    xform.xform = childCompound(archive, record.topCompound, ".xform");
    if (xform.xform == kNoIndex)
        archive.fail("transform '" + record.fullName + "' has no \".xform\" compound");
    xform.inherits = optionalProperty(archive, xform.xform, ".inherits",
                                      [](const PropertyHeader& h) { return isScalarOf(h, Pod::Bool, 1); });
    xform.ops = optionalProperty(archive, xform.xform, ".ops",
                                 [](const PropertyHeader& h) { return h.kind == PropertyKind::Scalar && h.pod == Pod::U8; });
    xform.vals = optionalProperty(archive, xform.xform, ".vals", [](const PropertyHeader& h) {
        return h.pod == Pod::F64 && (h.kind == PropertyKind::Array || h.kind == PropertyKind::Scalar);
    });
    optionalProperty(archive, xform.xform, ".animChans", [](const PropertyHeader& h) { return isArrayOf(h, Pod::U32, 0); });
    optionalProperty(archive, xform.xform, ".childBnds", [](const PropertyHeader& h) { return isScalarOf(h, Pod::F64, 6); });
    return xform;
}

bool isConstant(const Archive& archive, const XformSchema& xform)
{
    return (xform.vals == kNoIndex || archive.header(xform.vals).isConstant()) &&
           (xform.inherits == kNoIndex || archive.header(xform.inherits).isConstant());
}

uint32_t sampleCount(const Archive& archive, const XformSchema& xform)
{
    return xform.inherits == kNoIndex ? 0 : archive.header(xform.inherits).sampleCount;
}

Imath::M44d readXformMatrix(const Archive& archive, const XformSchema& xform, int64_t index)
{
    Imath::M44d local; // identity
    if (xform.ops == kNoIndex || archive.header(xform.ops).sampleCount == 0)
        return local;
    const Sample ops = archive.readSample(xform.ops, 0);
    // Every channel starts at 0 and takes the stored values in order as far as they reach.
    std::vector<double> channels;
    uint64_t needed = 0;
    for (uint64_t k = 0; k < ops.values.size; ++k) {
        const uint32_t type = ops.values.data[k] >> 4;
        needed += type < 7 ? kChannelsPerOperation[type] : 0;
    }
    channels.assign(size_t(needed), 0.0);
    if (xform.vals != kNoIndex && archive.header(xform.vals).sampleCount > 0) {
        const Sample vals = archive.readSample(xform.vals, index);
        const uint64_t stored = std::min<uint64_t>(vals.values.size / 8, needed);
        if (stored > 0)
            std::memcpy(channels.data(), vals.values.data, size_t(stored) * 8);
    }
    size_t c = 0;
    for (uint64_t k = 0; k < ops.values.size; ++k) {
        const uint32_t type = ops.values.data[k] >> 4;
        if (type >= 7)
            continue; // undefined operation: identity without channels
        const double* v = channels.data() + c;
        c += kChannelsPerOperation[type];
        Imath::M44d m;
        switch (type) {
        case 0:
            m[0][0] = v[0];
            m[1][1] = v[1];
            m[2][2] = v[2];
            break;
        case 1:
            m[3][0] = v[0];
            m[3][1] = v[1];
            m[3][2] = v[2];
            break;
        case 2: m = axisRotation(v[0], v[1], v[2], v[3]); break;
        case 3:
            for (int r = 0; r < 4; ++r)
                for (int col = 0; col < 4; ++col)
                    m[r][col] = v[4 * r + col];
            break;
        case 4: m = axisRotation(1, 0, 0, v[0]); break;
        case 5: m = axisRotation(0, 1, 0, v[0]); break;
        case 6: m = axisRotation(0, 0, 1, v[0]); break;
        }
        local = multiply(m, local);
    }
    return local;
}

bool readXformInherits(const Archive& archive, const XformSchema& xform, int64_t index)
{
    if (xform.inherits == kNoIndex || archive.header(xform.inherits).sampleCount == 0)
        return true;
    return archive.readSample(xform.inherits, index).values.data[0] != 0;
}

uint32_t findVisibility(const Archive& archive, uint32_t object)
{
    const uint32_t p = archive.findProperty(archive.object(object).topCompound, "visible");
    if (p != kNoIndex && !isScalarOf(archive.header(p), Pod::I8, 1))
        failProperty(archive, p, "of '" + archive.object(object).fullName + "' is not an int8 scalar");
    return p;
}

int8_t readVisibility(const Archive& archive, uint32_t property, int64_t index)
{
    return int8_t(archive.readSample(property, index).values.data[0]);
}

} // namespace vmq::abc
