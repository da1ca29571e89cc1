// libFuzzer target over the archive reader: opens the input as an archive and reads everything
// the layer offers (listing with every sample, schemas, transforms, parameters, visibility).
// Errors are expected, as the library's error type with a message; crashes, hangs, leaks,
// undefined behaviour, and a listing that differs when read twice are findings.
#include "archive_dump.h"
#include "alembic/archive/archive_reader.h"
#include "alembic/archive/geometry_schemas.h"
#include "core/error.h"
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>

using namespace vmq::abc;

namespace {

void readSchemas(const Archive& archive, uint32_t object)
{
    const ObjectRecord& record = archive.object(object);
    if (isPolyMesh(record)) {
        const PolyMeshSchema mesh = openPolyMesh(archive, object);
        PolyMeshSample sample;
        readPolyMesh(archive, mesh, 0, sample);
        readPolyMesh(archive, mesh, 1 << 20, sample);
        GeomParamSample param;
        if (mesh.uvs.valid())
            readGeomParam(archive, mesh.uvs, 0, param);
        if (mesh.normals.valid())
            readGeomParam(archive, mesh.normals, 0, param);
        std::vector<int32_t> faces;
        for (const FaceSet& set : mesh.faceSets)
            readFaceSet(archive, set, 0, faces);
        if (mesh.arbGeomParams != kNoIndex)
            for (uint32_t p : archive.property(mesh.arbGeomParams).children) {
                const PropertyHeader& h = archive.header(p);
                if (matchesGeomParam(h, TypedParam::String)) {
                    std::vector<std::string> names;
                    std::vector<uint32_t> indices;
                    readStringGeomParam(archive, openGeomParam(archive, p, Pod::String, 0), 0, names, indices);
                } else if (matchesGeomParam(h, TypedParam::Color4f)) {
                    readGeomParam(archive, openGeomParam(archive, p, Pod::F32, 4), 0, param);
                }
            }
    }
    if (isXform(record)) {
        const XformSchema xform = openXform(archive, object);
        readXformMatrix(archive, xform, 0);
        readXformInherits(archive, xform, 3);
        isConstant(archive, xform);
    }
    if (const uint32_t v = findVisibility(archive, object); v != kNoIndex && archive.header(v).sampleCount > 0)
        readVisibility(archive, v, 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<Archive> archive;
    auto refused = [](const vmq::CompressionError& e) { vmq_fuzz::require(e.what()[0] != 0, "an archive error without a message"); };
    try {
        archive = Archive::openMemory(data, size, "fuzz.abc");
    } catch (const vmq::CompressionError& e) {
        refused(e);
        return 0;
    }
    for (uint32_t o = 0; o < archive->objects().size(); ++o) {
        try {
            readSchemas(*archive, o);
        } catch (const vmq::CompressionError& e) {
            refused(e);
        }
    }
    std::string listings[2];
    for (std::string& listing : listings) {
        try {
            dumpOpenArchive(*archive, listing);
        } catch (const vmq::CompressionError& e) {
            refused(e);
            listing += std::string("error: ") + e.what();
        }
    }
    vmq_fuzz::require(listings[0] == listings[1], "an archive lists differently when read twice");
    return 0;
}
