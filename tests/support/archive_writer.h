#pragma once
// A small writer for the subset of archives the importer reads: objects with scalar, array and
// compound properties, polygon meshes with their geometry parameters, transforms, visibility, face
// sets and time samplings. It lays the archive out as the reader expects it (repeated samples
// stored once, identical samples shared across the archive, indexed metadata, size hints), so
// tests can build archives in memory. Internal; the library itself never writes files.
#include "alembic/archive/archive_reader.h"
#include "alembic/archive/geometry_schemas.h"

#include <Imath/ImathMatrix.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vmq::abc {

struct WriteProperty {
    std::string name;
    PropertyKind kind = PropertyKind::Compound;
    Pod pod = Pod::F32;
    uint32_t extent = 1;
    MetaData metadata;
    uint32_t timeSampling = 0;
    // Value bytes of each sample; strings as their bytes each followed by one NUL.
    std::vector<std::vector<uint8_t>> samples;
    // Elements of each string sample (numeric samples derive it from their size).
    std::vector<uint64_t> stringCounts;
    std::vector<WriteProperty> children; // compounds only
};

struct WriteObject {
    std::string name;
    MetaData metadata;
    std::vector<WriteProperty> properties; // the top compound's properties
    std::vector<WriteObject> children;
};

struct ArchiveContents {
    MetaData metadata;
    // Time samplings after the default sampling 0 (uniform, 1 per second from 0), which is always
    // written first; properties refer to these as 1, 2, ...
    std::vector<TimeSampling> timeSamplings;
    WriteObject top; // its name and metadata are not stored (the archive metadata stands for them)
};

// The archive as bytes.
std::vector<uint8_t> writeArchive(const ArchiveContents& contents);
// Writes the archive to `path`; raises an error naming the file when it cannot be written.
void writeArchiveFile(const std::string& path, const ArchiveContents& contents);

MetaData makeMetaData(std::initializer_list<std::pair<const char*, std::string>> entries);

template <typename T>
WriteProperty arrayProperty(const std::string& name, Pod pod, uint32_t extent,
                            const std::vector<std::vector<T>>& samples, MetaData metadata = {},
                            uint32_t timeSampling = 0)
{
    WriteProperty p{name, PropertyKind::Array, pod, extent, std::move(metadata), timeSampling, {}, {}, {}};
    for (const std::vector<T>& s : samples) {
        std::vector<uint8_t> bytes(s.size() * sizeof(T));
        if (!bytes.empty())
            std::memcpy(bytes.data(), s.data(), bytes.size());
        p.samples.push_back(std::move(bytes));
    }
    return p;
}

template <typename T>
WriteProperty scalarProperty(const std::string& name, Pod pod, uint32_t extent, const std::vector<T>& valuesPerSample,
                             MetaData metadata = {}, uint32_t timeSampling = 0)
{
    WriteProperty p{name, PropertyKind::Scalar, pod, extent, std::move(metadata), timeSampling, {}, {}, {}};
    const size_t step = extent;
    for (size_t i = 0; i + step <= valuesPerSample.size(); i += step) {
        std::vector<uint8_t> bytes(step * sizeof(T));
        std::memcpy(bytes.data(), valuesPerSample.data() + i, bytes.size());
        p.samples.push_back(std::move(bytes));
    }
    return p;
}

WriteProperty stringArrayProperty(const std::string& name, const std::vector<std::vector<std::string>>& samples,
                                  MetaData metadata = {}, uint32_t timeSampling = 0);
WriteProperty compoundProperty(const std::string& name, std::vector<WriteProperty> children, MetaData metadata = {});

// The metadata the geometry layer gives a parameter of `type` (extent 1 strings for TypedParam::String).
MetaData geomParamMetaData(TypedParam type, GeomScope scope);
// A float geometry parameter: a plain array, or, with index samples, a compound of ".vals" and
// ".indices".
WriteProperty floatGeomParam(const std::string& name, TypedParam type, GeomScope scope,
                             const std::vector<std::vector<float>>& values,
                             const std::vector<std::vector<uint32_t>>& indices = {}, uint32_t timeSampling = 0);
WriteProperty stringGeomParam(const std::string& name, GeomScope scope, const std::vector<std::vector<std::string>>& values,
                              const std::vector<std::vector<uint32_t>>& indices = {}, uint32_t timeSampling = 0);

struct MeshFrames {
    std::vector<std::vector<float>> positions; // per sample, 3 per vertex
    std::vector<std::vector<int32_t>> faceIndices;
    std::vector<std::vector<int32_t>> faceCounts;
    std::vector<std::vector<float>> velocities; // none, or per sample
    uint32_t timeSampling = 0;
};

// A polygon-mesh object; add "uv", "N" with floatGeomParam into `geomExtras` and put
// ".arbGeomParams" / ".userProperties" compounds there too.
WriteObject polyMeshObject(const std::string& name, const MeshFrames& frames, std::vector<WriteProperty> geomExtras = {});
// A face-set child object listing faces per sample.
WriteObject faceSetObject(const std::string& name, const std::vector<std::vector<int32_t>>& faces);
// A transform object with one matrix operation per sample (row-vector convention).
WriteObject xformObject(const std::string& name, const std::vector<Imath::M44d>& matrices, uint32_t timeSampling = 0);
// Adds the "visible" property to `object` (one int8 value per sample).
void addVisibility(WriteObject& object, const std::vector<int8_t>& values, uint32_t timeSampling = 0);

} // namespace vmq::abc
