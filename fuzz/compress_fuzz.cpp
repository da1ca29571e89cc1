// libFuzzer target over the compress entry points: a mesh, its settings, a partition and a
// reused topology, all read from the input. A compression that succeeds must decode to exactly
// the triangles it was given (grid values and groups), whole and meshlet by meshlet; one that
// fails must say why. A later frame compressed with the first one's partition and topology must
// do the same, also when one of its triangles was changed.
#include "fuzz_support.h"

#include "mesh/compress_mesh.h"

#include <cmath>
#include <limits>
#include <memory>

using namespace vmq_fuzz;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct FuzzMesh {
    std::vector<float> positions, normals, texcoords;
    std::vector<Triangle> triangles;
    std::vector<uint32_t> groups;
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor{};

    void finish()
    {
        attributes = {{POSITION, positions.data(), positions.data() + positions.size(), 3}};
        if (!normals.empty())
            attributes.push_back({NORMAL, normals.data(), normals.data() + normals.size(), 3});
        if (!texcoords.empty())
            attributes.push_back({TEXCOORD, texcoords.data(), texcoords.data() + texcoords.size(), 2});
        descriptor = {};
        descriptor.trianglesBegin = triangles.data();
        descriptor.trianglesEnd = triangles.data() + triangles.size();
        descriptor.attributesBegin = attributes.data();
        descriptor.attributesEnd = attributes.data() + attributes.size();
        descriptor.triangleGroupsBegin = groups.data();
        descriptor.triangleGroupsEnd = groups.data() + groups.size();
    }
};

float coordinate(Bytes& in, float scale)
{
    const uint8_t b = in.byte();
    if (b == 0x80)
        return kNaN;
    if (b == 0x7F)
        return kInf;
    return float(int8_t(b)) * scale;
}

CompressionSettings readSettings(Bytes& in)
{
    CompressionSettings s{};
    s.maxMeshletVertices = in.pick({3u, 4u, 8u, 16u, 32u, 64u, 64u, 64u, 128u, 2047u, 2u, 2048u});
    s.minMeshletTriangles = in.pick({0, 1, 2, 8, 32, 32, 40, -3});
    s.firstPassMeshletTriangles = in.pick({0, 2, 16, 64, 64, 100, 1});
    s.meshletMergeBoxScale = in.pick({4.0f, 4.0f, 0.0f, 1.0f, 0.5f, 100.0f, -1.0f, kInf, kNaN, 1e38f});
    s.positionQuality = in.pick({0.4f, 0.4f, 0.0f, 1.0f, 1.2f, 1.3f, -1.0f});
    s.normalQuality = in.pick({0.6f, 0.0f, 1.0f, 3.5f});
    s.texcoordQuality = in.pick({0.5f, 0.0f, 1.2f});
    return s;
}

FuzzMesh readMesh(Bytes& in, bool extraAttributes, bool wideIndices, bool groupsFromBytes)
{
    FuzzMesh mesh;
    const float scale = in.pick({1.0f, 1.0f, 0.001f, 1e30f, 3.0e-39f});
    const uint32_t vertexCount = 1 + in.byte();
    for (uint32_t v = 0; v < vertexCount; ++v)
        for (int k = 0; k < 3; ++k)
            mesh.positions.push_back(coordinate(in, scale));
    if (extraAttributes)
        for (uint32_t v = 0; v < vertexCount; ++v) {
            const float x = mesh.positions[3 * v], y = mesh.positions[3 * v + 1];
            mesh.normals.insert(mesh.normals.end(), {std::sin(x), std::cos(y), 0.5f});
            mesh.texcoords.insert(mesh.texcoords.end(), {x * 0.01f, y * 0.01f});
        }
    const size_t triangleCount = std::min<size_t>(in.left() / 3, 1024);
    for (size_t t = 0; t < triangleCount; ++t) {
        Triangle triangle;
        for (uint32_t& index : triangle.indices)
            index = wideIndices ? in.byte() : in.byte() % vertexCount;
        mesh.triangles.push_back(triangle);
    }
    for (size_t t = 0; t < triangleCount; ++t) {
        const uint32_t g = groupsFromBytes ? mesh.triangles[t].indices[0] % 3 : 0;
        mesh.groups.push_back(g == 2 && mesh.triangles[t].indices[1] == 255 ? 4000 : g);
    }
    mesh.finish();
    return mesh;
}

std::vector<std::array<uint32_t, 3>> triangleList(const FuzzMesh& mesh)
{
    std::vector<std::array<uint32_t, 3>> list;
    for (const Triangle& t : mesh.triangles)
        list.push_back({t.indices[0], t.indices[1], t.indices[2]});
    return list;
}

// What a compression with a given partition must decode to: every listed triangle, in the group
// of its meshlet's first triangle.
std::vector<GridTriangle> expectedWithPartition(const FuzzMesh& mesh, const CompressionSettings& settings, const MeshletPartitionHandle& handle)
{
    std::vector<std::array<uint32_t, 3>> listed;
    std::vector<uint32_t> groups;
    const uint32_t meshlets = Pelku_Vmq_Compression_GetPartitionMeshletCount(&handle);
    std::vector<uint32_t> members(PELKU_VMQ_MAX_MESHLET_ELEMENTS);
    for (uint32_t m = 0; m < meshlets; ++m) {
        const uint32_t n = Pelku_Vmq_Compression_GetPartitionMeshletTriangles(&handle, m, members.data(), members.size());
        for (uint32_t k = 0; k < n; ++k) {
            const Triangle& t = mesh.triangles[members[k]];
            listed.push_back({t.indices[0], t.indices[1], t.indices[2]});
            groups.push_back(mesh.groups[members[0]]);
        }
    }
    return expectedTriangles(mesh.attributes, settings, listed, groups);
}

int32_t modeOf(const CompressionSettings& settings)
{
    return settings.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
}

using RecordPtr = std::unique_ptr<CompressedMesh, void (*)(CompressedMesh*)>;
using HandlePtr = std::unique_ptr<MeshletPartitionHandle, void (*)(MeshletPartitionHandle*)>;

// The partition read from the input: consecutive runs of triangles, now and then one out of
// order, repeated or beyond the mesh.
HandlePtr readPartition(Bytes& in, size_t triangleCount)
{
    std::vector<uint32_t> flat, offsets = {0};
    for (uint32_t t = 0; t < triangleCount; ++t) {
        const uint8_t b = in.byte();
        flat.push_back(b == 0xFF ? uint32_t(triangleCount) + 3 : b == 0xFE ? t / 2 : t);
        if (b % 7 == 0)
            offsets.push_back(uint32_t(flat.size()));
    }
    if (offsets.back() != flat.size())
        offsets.push_back(uint32_t(flat.size()));
    MeshletPartitionHandle* handle = Pelku_Vmq_Compression_CreateMeshletPartition(flat.data(), flat.size(), offsets.data(), offsets.size() - 1);
    if (!handle)
        requireMessage("CreateMeshletPartition");
    return HandlePtr(handle, Pelku_Vmq_Compression_ReleaseMeshletPartition);
}

// Seed inputs: a bumpy 8 x 8 grid in two groups, compressed plainly, with the optimization pass
// and a reused topology, and with a partition of its own.
void writeSeeds(const std::string& folder)
{
    for (uint8_t flags : {uint8_t(0x40), uint8_t(0x4D), uint8_t(0x44), uint8_t(0x52)}) {
        std::vector<uint8_t> bytes = {flags, 6, 4, 3, 0, 0, 0, 0, 0, 80}; // settings, scale 1, 81 vertices
        for (int y = 0; y <= 8; ++y)
            for (int x = 0; x <= 8; ++x)
                bytes.insert(bytes.end(), {uint8_t(x * 9), uint8_t(y * 9), uint8_t((x * y) % 7)});
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const int a = y * 9 + x;
                bytes.insert(bytes.end(), {uint8_t(a), uint8_t(a + 1), uint8_t(a + 10), uint8_t(a), uint8_t(a + 10), uint8_t(a + 9)});
            }
        writeFile(folder + "/seed_" + std::to_string(flags), bytes);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("PELKU_VMQ_FUZZ_SEEDS"))
        writeSeeds(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes in(data, size);
    const uint8_t flags = in.byte();
    CompressionSettings settings = readSettings(in);
    settings.optimizeMesh = flags & 1;
    settings.disableParallelogramPrediction = (flags >> 1) & 1;
    const uint32_t partitionMode = (flags >> 2) & 3;
    FuzzMesh mesh = readMesh(in, (flags >> 4) & 1, (flags >> 5) & 1, (flags >> 6) & 1);

    if (partitionMode == 1) {
        HandlePtr handle = readPartition(in, mesh.triangles.size());
        if (!handle)
            return 0;
        RecordPtr record(Pelku_Vmq_Compression_CompressMeshWithMeshlets(&mesh.descriptor, &settings, handle.get()),
                         Pelku_Vmq_Compression_ReleaseCompressedMesh);
        if (!record) {
            requireMessage("CompressMeshWithMeshlets");
            return 0;
        }
        require(Pelku_Vmq_Compression_GetCompressionErrorString()[0] == 0, "a successful compression left an error text");
        requireRoundTrip(*record, modeOf(settings), expectedWithPartition(mesh, settings, *handle), "a given partition");
        return 0;
    }

    RecordPtr record(Pelku_Vmq_Compression_CompressMesh(&mesh.descriptor, &settings), Pelku_Vmq_Compression_ReleaseCompressedMesh);
    if (!record) {
        requireMessage("CompressMesh");
        return 0;
    }
    // With the optimization pass the record holds the library's cleaned-up copy of the mesh.
    std::vector<GridTriangle> expected;
    if (settings.optimizeMesh) {
        const vmq::HostMeshCopy copy = vmq::copyHostMesh(mesh.descriptor, settings, nullptr);
        expected = expectedTriangles(copy.attributes, settings, copy.mesh.triangles, copy.mesh.triangleGroups);
    } else {
        expected = expectedTriangles(mesh.attributes, settings, triangleList(mesh), mesh.groups);
    }
    requireRoundTrip(*record, modeOf(settings), expected, "a built partition");
    if (partitionMode == 0)
        return 0;

    // A later frame: other positions over the same triangles, with the first frame's partition
    // and stored strips; in mode 3 with one triangle turned or given another corner.
    HandlePtr handle(Pelku_Vmq_Compression_GetMeshletPartition(record.get()), Pelku_Vmq_Compression_ReleaseMeshletPartition);
    require(handle != nullptr, "a record of a built partition hands out no partition");
    FuzzMesh later = mesh;
    for (float& x : later.positions)
        x = x * 0.5f + 1.0f;
    if (partitionMode == 3 && !later.triangles.empty()) {
        Triangle& t = later.triangles[in.below(uint32_t(later.triangles.size()))];
        if (in.flag())
            std::swap(t.indices[0], t.indices[1]);
        else
            t.indices[2] = in.byte() % uint32_t(later.positions.size() / 3);
    }
    later.finish();
    later.descriptor.reuseTopology = record->topology;
    if (in.flag()) {
        // reuseTopology without its partition is refused.
        RecordPtr refused(Pelku_Vmq_Compression_CompressMesh(&later.descriptor, &settings), Pelku_Vmq_Compression_ReleaseCompressedMesh);
        require(!refused, "reuseTopology without a partition was accepted");
        requireMessage("CompressMesh");
    }
    RecordPtr next(Pelku_Vmq_Compression_CompressMeshWithMeshlets(&later.descriptor, &settings, handle.get()),
                   Pelku_Vmq_Compression_ReleaseCompressedMesh);
    if (!next) {
        requireMessage("CompressMeshWithMeshlets with reuseTopology");
        return 0;
    }
    requireRoundTrip(*next, modeOf(settings), expectedWithPartition(later, settings, *handle), "a reused topology");
    return 0;
}
