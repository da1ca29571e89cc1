#include "archive_writer.h"

#include "core/error.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <map>

namespace vmq::abc {

namespace {

constexpr int32_t kLibraryVersion = 10812; // the archive layout level readers expect

uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint64_t fmix(uint64_t k)
{
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

// The 16-byte sample key: 128-bit MurmurHash3 (x64 variant, seed 0) of the value bytes.
std::array<uint8_t, 16> sampleKey(const uint8_t* data, size_t size)
{
    const uint64_t c1 = 0x87c37b91114253d5ull, c2 = 0x4cf5ad432745937full;
    uint64_t h1 = 0, h2 = 0;
    const size_t blocks = size / 16;
    for (size_t b = 0; b < blocks; ++b) {
        uint64_t k1 = loadLittle<uint64_t>(data + 16 * b), k2 = loadLittle<uint64_t>(data + 16 * b + 8);
        k1 *= c1, k1 = rotl(k1, 31), k1 *= c2, h1 ^= k1;
        h1 = rotl(h1, 27), h1 += h2, h1 = h1 * 5 + 0x52dce729;
        k2 *= c2, k2 = rotl(k2, 33), k2 *= c1, h2 ^= k2;
        h2 = rotl(h2, 31), h2 += h1, h2 = h2 * 5 + 0x38495ab5;
    }
    const uint8_t* tail = data + 16 * blocks;
    const size_t rest = size & 15;
    uint64_t k1 = 0, k2 = 0;
    for (size_t i = rest; i > 8; --i)
        k2 ^= uint64_t(tail[i - 1]) << (8 * (i - 9));
    if (rest > 8)
        k2 *= c2, k2 = rotl(k2, 33), k2 *= c1, h2 ^= k2;
    for (size_t i = std::min<size_t>(rest, 8); i > 0; --i)
        k1 ^= uint64_t(tail[i - 1]) << (8 * (i - 1));
    if (rest > 0)
        k1 *= c1, k1 = rotl(k1, 31), k1 *= c2, h1 ^= k1;
    h1 ^= size, h2 ^= size;
    h1 += h2, h2 += h1;
    h1 = fmix(h1), h2 = fmix(h2);
    h1 += h2, h2 += h1;
    std::array<uint8_t, 16> key;
    std::memcpy(key.data(), &h1, 8);
    std::memcpy(key.data() + 8, &h2, 8);
    return key;
}

void put32(std::vector<uint8_t>& out, uint32_t v) { out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); }
void put64(std::vector<uint8_t>& out, uint64_t v) { out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 8); }
void putText(std::vector<uint8_t>& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
void putCount(std::vector<uint8_t>& out, uint32_t v, uint32_t width)
{
    out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + width);
}

struct Layout {
    std::vector<uint8_t> file;
    std::map<std::pair<std::array<uint8_t, 16>, uint64_t>, uint64_t> written; // (key, size) -> data ref
    std::vector<std::string> metaTable;
    std::vector<uint32_t> maxSamples;

    uint64_t data(const std::vector<uint8_t>& payload)
    {
        if (payload.empty())
            return kEmptyData;
        const uint64_t offset = file.size();
        put64(file, payload.size());
        file.insert(file.end(), payload.begin(), payload.end());
        return offset | kDataBit;
    }

    uint64_t group(const std::vector<uint64_t>& children)
    {
        if (children.empty())
            return kEmptyGroup;
        const uint64_t offset = file.size();
        put64(file, children.size());
        for (uint64_t c : children)
            put64(file, c);
        return offset;
    }

    // A sample payload (key + values), written once per archive.
    uint64_t sample(const std::vector<uint8_t>& values)
    {
        const auto key = sampleKey(values.data(), values.size());
        auto [it, inserted] = written.try_emplace({key, values.size()}, 0);
        if (inserted) {
            std::vector<uint8_t> payload(key.begin(), key.end());
            payload.insert(payload.end(), values.begin(), values.end());
            it->second = data(payload);
        }
        return it->second;
    }

    uint32_t metaIndex(const MetaData& md, std::string& inlineText)
    {
        const std::string text = md.text();
        inlineText.clear();
        if (text.empty())
            return 0;
        for (size_t i = 0; i < metaTable.size(); ++i)
            if (metaTable[i] == text)
                return uint32_t(i + 1);
        if (text.size() < 256 && metaTable.size() < 254) {
            metaTable.push_back(text);
            return uint32_t(metaTable.size());
        }
        inlineText = text;
        return 255;
    }

    uint64_t property(const WriteProperty& p, std::vector<uint8_t>& headers)
    {
        std::string inlineMeta;
        const uint32_t meta = metaIndex(p.metadata, inlineMeta);
        if (p.kind == PropertyKind::Compound) {
            const uint64_t ref = compound(p.children);
            const uint32_t largest = uint32_t(std::max(p.name.size(), inlineMeta.size()));
            const uint32_t hint = largest < 256 ? 0 : largest < 65536 ? 1 : 2, width = 1u << hint;
            put32(headers, hint << 2 | meta << 20);
            putCount(headers, uint32_t(p.name.size()), width);
            putText(headers, p.name);
            if (meta == 255)
                putCount(headers, uint32_t(inlineMeta.size()), width), putText(headers, inlineMeta);
            return ref;
        }
        const bool isString = p.pod == Pod::String;
        const uint32_t n = uint32_t(p.samples.size());
        auto elements = [&](uint32_t i) -> uint64_t {
            return isString ? p.stringCounts[i] : p.samples[i].size() / (uint64_t(p.extent) * podSize(p.pod));
        };
        auto same = [&](uint32_t a, uint32_t b) { return p.samples[a] == p.samples[b] && elements(a) == elements(b); };
        uint32_t first = 0, last = 0;
        for (uint32_t i = 1; i < n; ++i) {
            if (!same(i, i - 1))
                last = i;
            if (first == 0 && !same(i, 0))
                first = i;
        }
        if (first == 0)
            last = 0;
        std::vector<uint32_t> stored;
        if (n > 0)
            stored.push_back(0);
        if (first != 0)
            for (uint32_t i = first; i <= last; ++i)
                stored.push_back(i);
        std::vector<uint64_t> children;
        bool oneElementEach = true;
        for (uint32_t i : stored) {
            if (p.kind == PropertyKind::Scalar) {
                children.push_back(sample(p.samples[i]));
                continue;
            }
            oneElementEach = oneElementEach && elements(i) == 1;
            children.push_back(p.samples[i].empty() ? kEmptyData : sample(p.samples[i]));
            std::vector<uint8_t> dims;
            if (isString)
                put64(dims, elements(i));
            children.push_back(data(dims));
        }
        const uint64_t ref = group(children);
        if (p.timeSampling >= maxSamples.size())
            raiseError("archive writer: property '" + p.name + "' refers to a missing time sampling");
        maxSamples[p.timeSampling] = std::max(maxSamples[p.timeSampling], first == 0 ? std::min(n, 1u) : n);

        const uint32_t largest = std::max({uint32_t(p.name.size()), uint32_t(inlineMeta.size()), n, p.timeSampling});
        const uint32_t hint = largest < 256 ? 0 : largest < 65536 ? 1 : 2, width = 1u << hint;
        const uint32_t type = p.kind == PropertyKind::Scalar ? 1 : oneElementEach ? 3 : 2;
        uint32_t info = type | hint << 2 | uint32_t(p.pod) << 4 | p.extent << 12 | meta << 20;
        const bool constant = first == 0 && last == 0;
        const bool everyDiffers = first == 1 && last == n - 1;
        if (p.timeSampling != 0)
            info |= 0x100;
        if (constant)
            info |= 0x800;
        else if (!everyDiffers)
            info |= 0x200;
        put32(headers, info);
        putCount(headers, n, width);
        if (!constant && !everyDiffers)
            putCount(headers, first, width), putCount(headers, last, width);
        if (p.timeSampling != 0)
            putCount(headers, p.timeSampling, width);
        putCount(headers, uint32_t(p.name.size()), width);
        putText(headers, p.name);
        if (meta == 255)
            putCount(headers, uint32_t(inlineMeta.size()), width), putText(headers, inlineMeta);
        return ref;
    }

    uint64_t compound(const std::vector<WriteProperty>& properties)
    {
        if (properties.empty())
            return kEmptyGroup;
        std::vector<uint8_t> headers;
        std::vector<uint64_t> children;
        for (const WriteProperty& p : properties)
            children.push_back(property(p, headers));
        children.push_back(data(headers));
        return group(children);
    }

    uint64_t object(const WriteObject& o)
    {
        std::vector<uint64_t> children{compound(o.properties)};
        std::vector<uint8_t> headers;
        for (const WriteObject& c : o.children) {
            children.push_back(object(c));
            std::string inlineMeta;
            const uint32_t meta = metaIndex(c.metadata, inlineMeta);
            put32(headers, uint32_t(c.name.size()));
            putText(headers, c.name);
            headers.push_back(uint8_t(meta));
            if (meta == 255)
                put32(headers, uint32_t(inlineMeta.size())), putText(headers, inlineMeta);
        }
        headers.resize(headers.size() + 32, 0); // subtree digests, which readers ignore
        children.push_back(data(headers));
        return group(children);
    }
};

std::vector<uint8_t> boundsOf(const std::vector<float>& positions)
{
    double box[6] = {0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i + 3 <= positions.size(); i += 3)
        for (int c = 0; c < 3; ++c) {
            const double v = positions[i + c];
            box[c] = i == 0 ? v : std::min(box[c], v);
            box[3 + c] = i == 0 ? v : std::max(box[3 + c], v);
        }
    std::vector<uint8_t> bytes(sizeof(box));
    std::memcpy(bytes.data(), box, sizeof(box));
    return bytes;
}

WriteProperty boundsProperty(const std::vector<std::vector<float>>& positions, uint32_t timeSampling)
{
    WriteProperty p{".selfBnds", PropertyKind::Scalar, Pod::F64, 6, makeMetaData({{"interpretation", "box"}}), timeSampling, {}, {}, {}};
    for (const auto& s : positions)
        p.samples.push_back(boundsOf(s));
    return p;
}

const char* scopeText(GeomScope scope)
{
    static const char* const kScopes[] = {"con", "uni", "var", "vtx", "fvr"};
    return kScopes[uint32_t(scope)];
}

} // namespace

MetaData makeMetaData(std::initializer_list<std::pair<const char*, std::string>> entries)
{
    std::string text;
    for (const auto& [key, value] : entries)
        text += std::string(text.empty() ? "" : ";") + key + "=" + value;
    return parseMetaData(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<uint8_t> writeArchive(const ArchiveContents& contents)
{
    Layout layout;
    layout.file.assign({'O', 'g', 'a', 'w', 'a', 0xFF, 0x00, 0x01});
    put64(layout.file, 0); // root offset, patched below
    layout.maxSamples.assign(contents.timeSamplings.size() + 1, 0);
    layout.maxSamples[0] = 1;

    std::vector<uint8_t> formatVersion, libraryVersion;
    put32(formatVersion, 0);
    put32(libraryVersion, uint32_t(kLibraryVersion));
    std::vector<uint64_t> root(6);
    root[0] = layout.data(formatVersion);
    root[1] = layout.data(libraryVersion);
    root[2] = layout.object(contents.top);
    const std::string meta = contents.metadata.text();
    root[3] = layout.data(std::vector<uint8_t>(meta.begin(), meta.end()));

    std::vector<uint8_t> times;
    auto putSampling = [&](const TimeSampling& ts, uint32_t maxSamples) {
        put32(times, maxSamples);
        const double tpc = ts.kind == TimeSamplingKind::Acyclic ? kAcyclicTimePerCycle : ts.timePerCycle;
        put64(times, [&] { uint64_t bits; std::memcpy(&bits, &tpc, 8); return bits; }());
        put32(times, uint32_t(ts.storedTimes.size()));
        for (double t : ts.storedTimes)
            put64(times, [&] { uint64_t bits; std::memcpy(&bits, &t, 8); return bits; }());
    };
    TimeSampling defaultSampling;
    defaultSampling.storedTimes = {0.0};
    putSampling(defaultSampling, layout.maxSamples[0]);
    for (size_t i = 0; i < contents.timeSamplings.size(); ++i)
        putSampling(contents.timeSamplings[i], layout.maxSamples[i + 1]);
    root[4] = layout.data(times);

    std::vector<uint8_t> table;
    for (const std::string& text : layout.metaTable) {
        table.push_back(uint8_t(text.size()));
        putText(table, text);
    }
    root[5] = layout.data(table);
    const uint64_t rootOffset = layout.group(root);
    std::memcpy(layout.file.data() + 8, &rootOffset, 8);
    return std::move(layout.file);
}

void writeArchiveFile(const std::string& path, const ArchiveContents& contents)
{
    const std::vector<uint8_t> bytes = writeArchive(contents);
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0)
        raiseError(path + ": cannot write the archive");
    if (!ok)
        raiseError(path + ": cannot write the archive");
}

WriteProperty stringArrayProperty(const std::string& name, const std::vector<std::vector<std::string>>& samples,
                                  MetaData metadata, uint32_t timeSampling)
{
    WriteProperty p{name, PropertyKind::Array, Pod::String, 1, std::move(metadata), timeSampling, {}, {}, {}};
    for (const auto& strings : samples) {
        std::vector<uint8_t> bytes;
        for (const std::string& s : strings) {
            putText(bytes, s);
            bytes.push_back(0);
        }
        p.samples.push_back(std::move(bytes));
        p.stringCounts.push_back(strings.size());
    }
    return p;
}

WriteProperty compoundProperty(const std::string& name, std::vector<WriteProperty> children, MetaData metadata)
{
    WriteProperty p;
    p.name = name;
    p.kind = PropertyKind::Compound;
    p.metadata = std::move(metadata);
    p.children = std::move(children);
    return p;
}

MetaData geomParamMetaData(TypedParam type, GeomScope scope)
{
    static const char* const kInterpretations[] = {"vector", "rgb", "rgba", "", "normal"};
    static const char* const kExtents[] = {"2", "3", "4", "1", "3"};
    const bool isString = type == TypedParam::String;
    MetaData md = makeMetaData({{"arrayExtent", "1"},
                                {"geoScope", scopeText(scope)},
                                {"isGeomParam", "true"},
                                {"podExtent", kExtents[uint32_t(type)]},
                                {"podName", isString ? "string" : "float32_t"}});
    if (!isString)
        md.entries.insert(md.entries.begin() + 2, {"interpretation", kInterpretations[uint32_t(type)]});
    return md;
}

namespace {

WriteProperty withIndices(WriteProperty values, const std::string& name, const std::vector<std::vector<uint32_t>>& indices)
{
    if (indices.empty())
        return values;
    MetaData md = values.metadata;
    values.name = ".vals";
    WriteProperty idx = arrayProperty(".indices", Pod::U32, 1, indices, {}, values.timeSampling);
    return compoundProperty(name, {std::move(values), std::move(idx)}, std::move(md));
}

} // namespace

WriteProperty floatGeomParam(const std::string& name, TypedParam type, GeomScope scope,
                             const std::vector<std::vector<float>>& values,
                             const std::vector<std::vector<uint32_t>>& indices, uint32_t timeSampling)
{
    static const uint32_t kExtents[] = {2, 3, 4, 1, 3};
    return withIndices(arrayProperty(name, Pod::F32, kExtents[uint32_t(type)], values, geomParamMetaData(type, scope), timeSampling),
                       name, indices);
}

WriteProperty stringGeomParam(const std::string& name, GeomScope scope, const std::vector<std::vector<std::string>>& values,
                              const std::vector<std::vector<uint32_t>>& indices, uint32_t timeSampling)
{
    return withIndices(stringArrayProperty(name, values, geomParamMetaData(TypedParam::String, scope), timeSampling), name,
                       indices);
}

WriteObject polyMeshObject(const std::string& name, const MeshFrames& frames, std::vector<WriteProperty> geomExtras)
{
    const uint32_t ts = frames.timeSampling;
    std::vector<WriteProperty> geom;
    geom.push_back(boundsProperty(frames.positions, ts));
    geom.push_back(arrayProperty("P", Pod::F32, 3, frames.positions, makeMetaData({{"geoScope", "vtx"}, {"interpretation", "point"}}), ts));
    geom.push_back(arrayProperty(".faceIndices", Pod::I32, 1, frames.faceIndices, {}, ts));
    geom.push_back(arrayProperty(".faceCounts", Pod::I32, 1, frames.faceCounts, {}, ts));
    if (!frames.velocities.empty())
        geom.push_back(arrayProperty(".velocities", Pod::F32, 3, frames.velocities, makeMetaData({{"interpretation", "vector"}}), ts));
    for (WriteProperty& extra : geomExtras)
        geom.push_back(std::move(extra));
    WriteObject object;
    object.name = name;
    object.metadata = makeMetaData({{"schema", "AbcGeom_PolyMesh_v1"},
                                    {"schemaBaseType", "AbcGeom_GeomBase_v1"},
                                    {"schemaObjTitle", "AbcGeom_PolyMesh_v1:.geom"}});
    object.properties.push_back(compoundProperty(
        ".geom", std::move(geom), makeMetaData({{"schema", "AbcGeom_PolyMesh_v1"}, {"schemaBaseType", "AbcGeom_GeomBase_v1"}})));
    return object;
}

WriteObject faceSetObject(const std::string& name, const std::vector<std::vector<int32_t>>& faces)
{
    WriteObject object;
    object.name = name;
    object.metadata = makeMetaData({{"schema", "AbcGeom_FaceSet_v1"},
                                    {"schemaBaseType", "AbcGeom_GeomBase_v1"},
                                    {"schemaObjTitle", "AbcGeom_FaceSet_v1:.faceset"}});
    std::vector<WriteProperty> schema;
    schema.push_back(boundsProperty(std::vector<std::vector<float>>(faces.size()), 0));
    schema.push_back(arrayProperty(".faces", Pod::I32, 1, faces));
    object.properties.push_back(compoundProperty(
        ".faceset", std::move(schema), makeMetaData({{"schema", "AbcGeom_FaceSet_v1"}, {"schemaBaseType", "AbcGeom_GeomBase_v1"}})));
    return object;
}

WriteObject xformObject(const std::string& name, const std::vector<Imath::M44d>& matrices, uint32_t timeSampling)
{
    std::vector<uint8_t> inherits(matrices.size(), 1), ops(matrices.size(), 0x30);
    std::vector<double> vals;
    for (const Imath::M44d& m : matrices)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                vals.push_back(m[r][c]);
    WriteObject object;
    object.name = name;
    object.metadata = makeMetaData({{"schema", "AbcGeom_Xform_v3"}, {"schemaObjTitle", "AbcGeom_Xform_v3:.xform"}});
    std::vector<WriteProperty> schema;
    schema.push_back(scalarProperty(".inherits", Pod::Bool, 1, inherits, {}, timeSampling));
    schema.push_back(scalarProperty(".ops", Pod::U8, 1, ops));
    schema.push_back(scalarProperty(".vals", Pod::F64, 16, vals, {}, timeSampling));
    object.properties.push_back(compoundProperty(".xform", std::move(schema), makeMetaData({{"schema", "AbcGeom_Xform_v3"}})));
    return object;
}

void addVisibility(WriteObject& object, const std::vector<int8_t>& values, uint32_t timeSampling)
{
    object.properties.push_back(scalarProperty("visible", Pod::I8, 1, values, {}, timeSampling));
}

} // namespace vmq::abc
