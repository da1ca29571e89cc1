#pragma once
// The geometry conventions on top of the archive layer: recognising polygon meshes, transforms
// and face sets, geometry parameters with their scope and indexing, the polygon-mesh and
// transform schemas, visibility. Everything a schema refers to is a property or object index of
// the Archive it was opened from.
#include "alembic/archive/archive_reader.h"

#include <Imath/ImathMatrix.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vmq::abc {

// Object tests as the reference library makes them: metadata "schemaObjTitle" (or "schema")
// equals "<schema>:<compound>".
bool isPolyMesh(const ObjectRecord& object);
bool isXform(const ObjectRecord& object);
bool isFaceSet(const ObjectRecord& object);

enum class GeomScope : uint8_t { Constant, Uniform, Varying, Vertex, FaceVarying };

// "con", "uni", "var", "vtx", "fvr"; anything else, and no entry, reads as constant.
GeomScope geomScope(const PropertyHeader& header);

enum class TypedParam : uint8_t {
    Vector2f, // float32 x 2, "vector"
    Color3f,  // float32 x 3, "rgb"
    Color4f,  // float32 x 4, "rgba"
    String,   // string, no interpretation
    Normal3f, // float32 x 3, "normal"
};

// Strict typed geometry-parameter recognition: a compound by its "podName", "podExtent" and
// "interpretation" metadata, an array by data type, extent and "interpretation"; a scalar never.
bool matchesGeomParam(const PropertyHeader& header, TypedParam type);
// Strict typed scalar colour property test: scalar float32 x 3 ("rgb") or x 4 ("rgba").
bool matchesScalarColour(const PropertyHeader& header, bool withAlpha);

struct GeomParam {
    uint32_t property = kNoIndex; // the parameter itself: the compound when indexed, else the array
    uint32_t values = kNoIndex;   // ".vals", or the array itself
    uint32_t indices = kNoIndex;  // ".indices" when indexed
    GeomScope scope = GeomScope::Constant; // from the parameter's own header

    bool valid() const { return values != kNoIndex; }
    bool indexed() const { return indices != kNoIndex; }
};

// Opens property `property` as a geometry parameter whose values are arrays of `pod` with
// `extent` values per element (0: any extent). Raises an error naming the parameter when it is a
// scalar, lacks ".vals" or ".indices", or holds values of another type.
GeomParam openGeomParam(const Archive& archive, uint32_t property, Pod pod, uint32_t extent);
// Constant when its values (and indices, when indexed) are constant.
bool isConstant(const Archive& archive, const GeomParam& param);
// The larger of the value and index sample counts.
uint32_t sampleCount(const Archive& archive, const GeomParam& param);

// Values and indices of a float geometry parameter at one sample, each clamped to its own count.
struct GeomParamSample {
    std::vector<float> values;     // extent floats per element
    std::vector<uint32_t> indices; // empty when not indexed
};
void readGeomParam(const Archive& archive, const GeomParam& param, int64_t index, GeomParamSample& out);
// The strings of a string geometry parameter at one sample, and its indices when indexed.
void readStringGeomParam(const Archive& archive, const GeomParam& param, int64_t index,
                         std::vector<std::string>& values, std::vector<uint32_t>& indices);

struct FaceSet {
    std::string name;
    uint32_t object = kNoIndex;
    uint32_t faces = kNoIndex; // ".faces": int32 face numbers
};

struct PolyMeshSchema {
    uint32_t object = kNoIndex;
    uint32_t geom = kNoIndex;        // the ".geom" compound
    uint32_t positions = kNoIndex;   // "P"
    uint32_t velocities = kNoIndex;  // ".velocities", kNoIndex when absent
    uint32_t faceIndices = kNoIndex; // ".faceIndices"
    uint32_t faceCounts = kNoIndex;  // ".faceCounts"
    GeomParam uvs;                   // "uv", invalid when absent
    GeomParam normals;               // "N", invalid when absent
    uint32_t arbGeomParams = kNoIndex;  // ".arbGeomParams" compound, kNoIndex when absent
    uint32_t userProperties = kNoIndex; // ".userProperties" compound, kNoIndex when absent
    std::vector<FaceSet> faceSets;      // child face sets, sorted by name
};

// Opens the polygon-mesh schema of `object` (which isPolyMesh accepts). Raises an error naming the
// object when a required property is missing or a property has the wrong type.
PolyMeshSchema openPolyMesh(const Archive& archive, uint32_t object);
// Face indices and face counts both constant.
bool hasConstantTopology(const Archive& archive, const PolyMeshSchema& mesh);

struct PolyMeshSample {
    std::vector<float> positions;   // 3 per vertex
    std::vector<float> velocities;  // 3 per vertex; empty without velocities (or their samples)
    std::vector<int32_t> faceIndices;
    std::vector<int32_t> faceCounts;
};
// Reads sample `index` of every schema property, each clamped to its own sample count; the
// buffers of `out` are reused.
void readPolyMesh(const Archive& archive, const PolyMeshSchema& mesh, int64_t index, PolyMeshSample& out);
void readFaceSet(const Archive& archive, const FaceSet& faceSet, int64_t index, std::vector<int32_t>& faces);

struct XformSchema {
    uint32_t object = kNoIndex;
    uint32_t xform = kNoIndex;    // the ".xform" compound
    uint32_t ops = kNoIndex;      // ".ops": uint8 scalar, one byte per operation
    uint32_t vals = kNoIndex;     // ".vals": float64 scalar, or float64 array
    uint32_t inherits = kNoIndex; // ".inherits": bool scalar
};

// Opens the transform schema of `object` (which isXform accepts). Raises an error naming the
// object when a schema property has the wrong type.
XformSchema openXform(const Archive& archive, uint32_t object);
// Constant when ".vals" (if any) and ".inherits" (if any) are constant.
bool isConstant(const Archive& archive, const XformSchema& xform);
// The number of ".inherits" samples (0 without it).
uint32_t sampleCount(const Archive& archive, const XformSchema& xform);
// The local matrix at sample `index` (row-vector convention, translation in row 3).
Imath::M44d readXformMatrix(const Archive& archive, const XformSchema& xform, int64_t index);
// Whether the transform composes with its parent's at sample `index` (true without ".inherits").
bool readXformInherits(const Archive& archive, const XformSchema& xform, int64_t index);

// The "visible" property of `object` (in its top compound), or kNoIndex. Raises an error when the
// property is not an int8 scalar of extent 1.
uint32_t findVisibility(const Archive& archive, uint32_t object);
// -1 deferred, 0 hidden, 1 visible (other values as stored), at sample `index` clamped.
int8_t readVisibility(const Archive& archive, uint32_t property, int64_t index);

} // namespace vmq::abc
