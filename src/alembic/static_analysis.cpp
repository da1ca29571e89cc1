#include "alembic/static_analysis.h"

#include "alembic/archive/geometry_schemas.h"
#include "alembic/frame_mesh.h"

#include <cmath>
#include <string>

namespace vmq {

namespace {

using abc::Archive;
using abc::kNoIndex;
using abc::Pod;
using abc::PropertyHeader;
using abc::PropertyKind;
using abc::TypedParam;

constexpr int32_t kPosition = 0, kNormal = 1, kTexcoord = 3, kColor = 5, kVelocity = 6, kTexcoord1 = 8;

// A flat float texture list written anew every frame still counts as constant when its (u, v)
// pairs never change: every sample holds as many floats as sample 0, a non-zero multiple of
// three, and the first two of each three equal sample 0's. The third float is free.
bool hasConstantUvTriples(const Archive& archive, uint32_t property)
{
    const PropertyHeader& h = archive.header(property);
    if (h.sampleCount == 0)
        return false;
    const abc::Sample first = archive.readSample(property, 0);
    const uint64_t count = first.values.size / 4;
    if (count == 0 || count % 3 != 0)
        return false;
    for (uint32_t i = 1; i < h.sampleCount; ++i) {
        const abc::Sample later = archive.readSample(property, i);
        if (later.values.size / 4 != count)
            return false;
        for (uint64_t k = 0; k < count; k += 3)
            for (uint64_t j = k; j < k + 2; ++j)
                if (abc::loadLittle<float>(later.values.data + 4 * j) != abc::loadLittle<float>(first.values.data + 4 * j))
                    return false;
    }
    return true;
}

struct KindFlags {
    bool found = false;
    bool constant = true;

    void observe(bool isConstant)
    {
        found = true;
        constant = constant && isConstant;
    }
};

void writeReport(const StaticAnalysis& result, uint32_t frameCount, DiagnosticSink& diagnostics)
{
    auto value = [](bool constant) { return constant ? "STATIC" : "DYNAMIC"; };
    diagnostics.line("Static attribute analysis (" + std::to_string(frameCount) + " frames):");
    diagnostics.line(std::string("  Topology: ") + (result.topologyConstant ? "CONSTANT" : "VARIES"));
    static const struct {
        int32_t kind;
        const char* label;
    } kLines[] = {{kPosition, "  POSITION: "}, {kNormal, "  NORMAL:   "}, {kTexcoord, "  TEXCOORD: "},
                  {kTexcoord1, "  TEXCOORD1:"}, {kColor, "  COLOR:    "}, {kVelocity, "  VELOCITY: "}};
    for (const auto& line : kLines) {
        auto it = result.constantByKind.find(line.kind);
        if (it != result.constantByKind.end())
            diagnostics.line(std::string(line.label) + value(it->second));
    }
}

} // namespace

bool hasAnimatedTransform(const Archive& archive, uint32_t object)
{
    for (uint32_t o = archive.object(object).parent; o != kNoIndex; o = archive.object(o).parent)
        if (isTransformObject(archive.object(o)) && !abc::isConstant(archive, abc::openXform(archive, o)))
            return true;
    return false;
}

StaticAnalysis analyseStaticAttributes(const Archive& archive, const std::vector<MeshEntry>& meshes,
                                       uint32_t frameCount, DiagnosticSink& diagnostics)
{
    StaticAnalysis result;
    bool positionConstant = true;
    KindFlags normal, texcoord, texcoord1, colour, velocity;
    for (const MeshEntry& mesh : meshes) {
        const abc::PolyMeshSchema& schema = mesh.schema;
        const bool animated = hasAnimatedTransform(archive, schema.object);
        if (!abc::hasConstantTopology(archive, schema))
            result.topologyConstant = false;
        if (!archive.header(schema.positions).isConstant() || animated)
            positionConstant = false;
        if (schema.normals.valid())
            normal.observe(abc::isConstant(archive, schema.normals) && !animated);
        if (schema.uvs.valid())
            texcoord.observe(abc::isConstant(archive, schema.uvs));
        if (schema.arbGeomParams != kNoIndex) {
            uint32_t extraSets = 0;
            for (uint32_t child : archive.property(schema.arbGeomParams).children) {
                const PropertyHeader& h = archive.header(child);
                bool extraSet = false, extraConstant = true;
                if (abc::matchesGeomParam(h, TypedParam::Vector2f)) {
                    extraSet = true;
                    extraConstant = abc::isConstant(archive, abc::openGeomParam(archive, child, Pod::F32, 2));
                } else if ((h.name == "uv1" || h.name == "uv2") && h.kind == PropertyKind::Array && h.pod == Pod::F32 &&
                           h.extent == 1) {
                    extraSet = true;
                    extraConstant = h.isConstant() || hasConstantUvTriples(archive, child);
                }
                if (extraSet && extraSets < 2) {
                    if (extraSets == 0)
                        texcoord1.observe(extraConstant);
                    ++extraSets;
                }
                if (abc::matchesGeomParam(h, TypedParam::Color3f) || abc::matchesGeomParam(h, TypedParam::Color4f)) {
                    colour.found = true;
                    if (h.kind == PropertyKind::Array) {
                        colour.constant = colour.constant && h.isConstant();
                    } else if (h.kind == PropertyKind::Compound) {
                        const uint32_t vals = archive.findProperty(child, ".vals");
                        if (vals != kNoIndex && archive.header(vals).kind == PropertyKind::Array)
                            colour.constant = colour.constant && archive.header(vals).isConstant();
                    }
                }
            }
        }
        if (schema.velocities != kNoIndex)
            velocity.observe(archive.header(schema.velocities).isConstant());
    }
    result.constantByKind[kPosition] = positionConstant;
    const std::pair<int32_t, const KindFlags*> kinds[] = {
        {kNormal, &normal}, {kTexcoord, &texcoord}, {kTexcoord1, &texcoord1}, {kColor, &colour}, {kVelocity, &velocity}};
    for (const auto& [kind, flags] : kinds)
        if (flags->found)
            result.constantByKind[kind] = flags->constant;
    writeReport(result, frameCount, diagnostics);
    return result;
}

bool hasUnstableTransform(const Archive& archive, const std::vector<MeshEntry>& meshes, uint32_t frameCount)
{
    for (const MeshEntry& mesh : meshes) {
        const uint32_t frames = hasAnimatedTransform(archive, mesh.schema.object) ? frameCount : 1;
        for (uint32_t f = 0; f < frames; ++f) {
            const Imath::M44d world = worldTransform(archive, mesh.schema.object, f);
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c)
                    if (!std::isfinite(world[r][c]))
                        return true;
            if (std::fabs(world.determinant()) < 1e-12)
                return true;
        }
    }
    return false;
}

} // namespace vmq
