// The serialized form beside what it stores and beside Draco, in one run. For every shared mesh
// (default settings) and the two bench archives: the entropy-coded streams, the records' arrays
// as they are in memory (what a version 1 container stored, give or take its 150 bytes of
// framing), the serialized form per part, Draco's encoded size of the same meshes (speeds 0 and
// 5, 12 / 6 / 13 bits; an archive frame by frame) and how fast a serialized record is read back,
// in record bytes per second. Then two cases the shared data lacks, generated here: an archive of
// 59 identical frames (a 36 x 28 grid, 2,016 triangles, written by the test archive writer), and
// spot.obj unwelded so that no triangle shares a vertex (flat normals), cut by the library and
// over shared positions as vmq compress cuts it.
//
//   storage_bench [mesh ...]    the tables (default: every shared mesh, then the archives and the
//                               generated cases)
#include "pelku_vmq_serialize.h"

#include "alembic/alembic_importer.h"
#include "alembic/frame_mesh.h"
#include "alembic/sequence_driver.h"
#include "mesh_import.h"
#include "mesh_io.h"
#include "meshlet_cut.h"
#include "peer_harness.h"
#include "record_digest.h"
#include "support/archive_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct MeshRelease {
    void operator()(CompressedMesh* m) const { Pelku_Vmq_Compression_ReleaseCompressedMesh(m); }
};
struct SequenceRelease {
    void operator()(CompressedSequence* s) const { Pelku_Vmq_Compression_ReleaseCompressedSequence(s); }
};
struct BytesRelease {
    void operator()(SerializedBytes* b) const { Pelku_Vmq_Compression_ReleaseSerializedBytes(b); }
};
using Mesh = std::unique_ptr<CompressedMesh, MeshRelease>;
using Sequence = std::unique_ptr<CompressedSequence, SequenceRelease>;
using Bytes = std::unique_ptr<SerializedBytes, BytesRelease>;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", what.c_str(), Pelku_Vmq_Compression_GetCompressionErrorString());
    std::exit(1);
}

size_t sizeOf(const Bytes& bytes)
{
    return size_t(bytes->bytesEnd - bytes->bytesBegin);
}

SerializedInfo infoOf(const Bytes& bytes)
{
    SerializedInfo info{};
    if (!Pelku_Vmq_Compression_GetSerializedInfo(bytes->bytesBegin, sizeOf(bytes), &info))
        fail("serialized info");
    return info;
}

uint64_t total(const uint64_t (&parts)[PELKU_VMQ_SERIALIZED_PART_COUNT])
{
    uint64_t sum = 0;
    for (uint64_t p : parts)
        sum += p;
    return sum;
}

// Record bytes read back per second: the best of three rounds.
double loadRate(const Bytes& bytes, bool sequence)
{
    const double seconds = peer_harness::secondsPerCall([&] {
        if (sequence)
            Pelku_Vmq_Compression_ReleaseCompressedSequence(Pelku_Vmq_Compression_DeserializeSequence(bytes->bytesBegin, sizeOf(bytes), nullptr));
        else
            Pelku_Vmq_Compression_ReleaseCompressedMesh(Pelku_Vmq_Compression_DeserializeMesh(bytes->bytesBegin, sizeOf(bytes), nullptr));
    });
    return double(total(infoOf(bytes).recordBytes)) / seconds;
}

size_t dracoBytes(const vmq_support::LoadedMesh& mesh, int speed)
{
    draco::EncoderBuffer buffer;
    if (!peer_harness::dracoEncode(*peer_harness::toDraco(mesh), speed, buffer)) {
        std::fprintf(stderr, "Draco encoding at speed %d failed\n", speed);
        std::exit(1);
    }
    return buffer.size();
}

Mesh compress(const vmq_support::LoadedMesh& mesh, const CompressionSettings& settings)
{
    vmq_support::LibraryInput input;
    vmq_support::describe(mesh, input);
    Mesh record(Pelku_Vmq_Compression_CompressMesh(&input.descriptor, &settings));
    if (!record)
        fail("compression");
    return record;
}

uint64_t streamBytes(const CompressedMesh& mesh)
{
    return 4 * uint64_t(peer_harness::streamWords(mesh));
}

// Bits per triangle of each of the four parts, before and after: "76.4 > 15.3".
std::string partsBeforeAfter(const SerializedInfo& info, double triangles)
{
    std::string cells;
    for (SerializedPart p : {PELKU_VMQ_PART_TABLES, PELKU_VMQ_PART_OFFSETS, PELKU_VMQ_PART_HEADERS}) {
        char cell[64];
        std::snprintf(cell, sizeof cell, " %.2f > %.2f |", 8.0 * double(info.recordBytes[p]) / triangles, 8.0 * double(info.storedBytes[p]) / triangles);
        cells += cell;
    }
    return cells;
}

void printMeshes(const std::vector<std::string>& names)
{
    std::printf("| mesh | triangles | stream bits/tri | record bits/tri | record / streams | stored bits/tri | stored / streams | "
                "tables bits/tri | offsets bits/tri | headers bits/tri | draco 0 bits/tri | draco 5 bits/tri | load MB/s |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const std::string& name : names) {
        vmq_support::LoadedMesh loaded;
        std::string error;
        if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + name), loaded, error)) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
            std::exit(1);
        }
        const Mesh mesh = compress(loaded, CompressionSettings{});
        const Bytes bytes(Pelku_Vmq_Compression_SerializeMesh(mesh.get(), 0, nullptr, 0));
        if (!bytes)
            fail(name);
        const SerializedInfo info = infoOf(bytes);
        const double triangles = mesh->triangleCount, streams = double(streamBytes(*mesh)), record = double(total(info.recordBytes));
        const double stored = double(sizeOf(bytes));
        std::printf("| %s | %u | %.2f | %.2f | %.2f | %.2f | %.2f |%s %.2f | %.2f | %.0f |\n", name.c_str(), mesh->triangleCount, 8 * streams / triangles,
                    8 * record / triangles, record / streams, 8 * stored / triangles, stored / streams,
                    partsBeforeAfter(info, triangles).c_str(), 8.0 * double(dracoBytes(loaded, 0)) / triangles,
                    8.0 * double(dracoBytes(loaded, 5)) / triangles, loadRate(bytes, false) * 1e-6);
        std::fflush(stdout);
    }
}

// Draco's bytes for every frame of an archive, each frame on its own, as the importer reads it.
void dracoArchiveBytes(const std::string& path, const std::vector<uint8_t>* memory, size_t& speed0, size_t& speed5)
{
    std::ostringstream quiet;
    std::unique_ptr<vmq::AlembicImporter> importer =
        memory ? vmq::openArchiveMemory(*memory, path, SequenceSettings{}, &quiet) : vmq::openArchive(path, SequenceSettings{}, &quiet);
    speed0 = speed5 = 0;
    for (uint32_t f = 0; f < importer->frameCount; ++f) {
        const vmq::Mesh frame = vmq::readFrame(*importer, f);
        vmq_support::LoadedMesh loaded;
        for (const vmq::VertexAttribute& a : frame.attributes) {
            if (a.kind == POSITION)
                loaded.positions = a.values;
            else if (a.kind == NORMAL && a.componentCount == 3)
                loaded.normals = a.values;
            else if (a.kind == TEXCOORD && a.componentCount == 2)
                loaded.texcoords = a.values;
        }
        for (const vmq::TriangleIndices& t : frame.triangles)
            loaded.indices.insert(loaded.indices.end(), t.begin(), t.end());
        if (loaded.indices.empty())
            continue;
        speed0 += dracoBytes(loaded, 0);
        speed5 += dracoBytes(loaded, 5);
    }
}

struct ArchiveFigures {
    uint64_t archiveBytes = 0, triangles = 0, streams = 0, stored = 0, record = 0;
    uint32_t frames = 0;
    SerializedInfo info{};
    double loadRate = 0;
};

ArchiveFigures measureSequence(const CompressedSequence& sequence, uint64_t archiveBytes)
{
    ArchiveFigures a;
    a.archiveBytes = archiveBytes;
    a.frames = sequence.frameCount;
    for (uint32_t f = 0; f < sequence.frameCount; ++f)
        if (const CompressedMesh* frame = sequence.frames[f]) {
            a.triangles += frame->triangleCount;
            a.streams += streamBytes(*frame);
        }
    const Bytes bytes(Pelku_Vmq_Compression_SerializeSequence(&sequence, 0, nullptr, 0));
    if (!bytes)
        fail("sequence");
    a.info = infoOf(bytes);
    a.stored = sizeOf(bytes);
    a.record = total(a.info.recordBytes);
    a.loadRate = loadRate(bytes, true);
    return a;
}

void printArchiveRow(const std::string& name, const ArchiveFigures& a, size_t draco0, size_t draco5)
{
    const double triangles = double(a.triangles);
    std::printf("| %s | %u | %llu | %llu | %.2f : 1 | %llu | %.2f : 1 | %.2f | %.2f |%s %.2f | %.2f | %.0f |\n", name.c_str(), a.frames,
                (unsigned long long)a.archiveBytes, (unsigned long long)a.record, double(a.archiveBytes) / double(a.record),
                (unsigned long long)a.stored, double(a.archiveBytes) / double(a.stored), 8.0 * double(a.streams) / triangles,
                8.0 * double(a.stored) / triangles, partsBeforeAfter(a.info, triangles).c_str(), 8.0 * double(draco0) / triangles,
                8.0 * double(draco5) / triangles, a.loadRate * 1e-6);
    std::fflush(stdout);
}

// The still archive: a bumpy 36 x 28 grid with texture coordinates, the same in all 59 frames.
std::vector<uint8_t> stillArchive(uint32_t frames)
{
    using namespace vmq::abc;
    const uint32_t w = 36, h = 28;
    MeshFrames mesh;
    std::vector<float> positions, uvs;
    for (uint32_t j = 0; j <= h; ++j)
        for (uint32_t i = 0; i <= w; ++i) {
            positions.insert(positions.end(), {float(i), float(j), 2.0f * std::sin(0.3f * float(i)) * std::cos(0.25f * float(j))});
            uvs.insert(uvs.end(), {float(i) / float(w), float(j) / float(h)});
        }
    std::vector<int32_t> indices, counts;
    for (uint32_t j = 0; j < h; ++j)
        for (uint32_t i = 0; i < w; ++i) {
            const int32_t v = int32_t(j * (w + 1) + i);
            indices.insert(indices.end(), {v, v + int32_t(w + 1), v + int32_t(w + 2), v + 1});
            counts.push_back(4);
        }
    mesh.positions.assign(frames, positions);
    mesh.faceIndices.assign(frames, indices);
    mesh.faceCounts.assign(frames, counts);
    ArchiveContents contents;
    contents.top.children = {polyMeshObject("still", mesh, {floatGeomParam("uv", TypedParam::Vector2f, GeomScope::Vertex, {uvs})})};
    return writeArchive(contents);
}

void printArchives()
{
    std::printf("\n| archive | frames | archive bytes | record bytes | archive / record | stored bytes | archive / stored | "
                "stream bits/tri | stored bits/tri | tables bits/tri | offsets bits/tri | headers bits/tri | draco 0 bits/tri | "
                "draco 5 bits/tri | load MB/s |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const char* name : {"wave_anim.abc", "wave_topo.abc"}) {
        const std::string path = vmq_support::sharedPath(std::string("fixtures/bench/") + name);
        const SequenceSettings settings{};
        const Sequence sequence(Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, 0, nullptr, nullptr));
        if (!sequence)
            fail(path);
        size_t draco0 = 0, draco5 = 0;
        dracoArchiveBytes(path, nullptr, draco0, draco5);
        printArchiveRow(name, measureSequence(*sequence, std::filesystem::file_size(path)), draco0, draco5);
    }
    // Generated: 59 identical frames, and the same grid as one frame.
    uint64_t oneFrame = 0;
    for (uint32_t frames : {1u, 59u}) {
        const std::vector<uint8_t> archive = stillArchive(frames);
        std::string error;
        std::ostringstream quiet;
        const SequenceSettings settings{};
        const Sequence sequence(vmq::compressAlembicMemory(archive, &settings, 0, nullptr, nullptr, error, &quiet));
        if (!sequence) {
            std::fprintf(stderr, "still archive: %s\n", error.c_str());
            std::exit(1);
        }
        size_t draco0 = 0, draco5 = 0;
        dracoArchiveBytes("still", &archive, draco0, draco5);
        const ArchiveFigures figures = measureSequence(*sequence, archive.size());
        printArchiveRow(frames == 1 ? "still grid, 1 frame (generated)" : "still grid, 59 identical frames (generated)", figures, draco0, draco5);
        if (frames == 1)
            oneFrame = figures.stored;
        else
            std::printf("\n59 identical frames: %llu stored bytes, %.2f x one frame's %llu\n", (unsigned long long)figures.stored,
                        double(figures.stored) / double(oneFrame), (unsigned long long)oneFrame);
    }
}

// spot.obj with every triangle on three vertices of its own and the face normal at each.
vmq_tool::SourceMesh unwelded(const vmq_support::LoadedMesh& mesh)
{
    vmq_tool::SourceMesh out;
    out.attributes = {{POSITION, 3, {}}, {NORMAL, 3, {}}};
    if (!mesh.texcoords.empty())
        out.attributes.push_back({TEXCOORD, 2, {}});
    for (size_t t = 0; t < mesh.triangleCount(); ++t) {
        const float* p[3];
        for (int k = 0; k < 3; ++k)
            p[k] = &mesh.positions[3 * size_t(mesh.indices[3 * t + k])];
        const float u[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
        const float v[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
        float n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (float& c : n)
            c = length > 0 ? c / length : 0.0f;
        const uint32_t first = uint32_t(out.vertexCount());
        for (int k = 0; k < 3; ++k) {
            const uint32_t source = mesh.indices[3 * t + k];
            out.attributes[0].values.insert(out.attributes[0].values.end(), p[k], p[k] + 3);
            out.attributes[1].values.insert(out.attributes[1].values.end(), n, n + 3);
            if (!mesh.texcoords.empty())
                out.attributes[2].values.insert(out.attributes[2].values.end(), &mesh.texcoords[2 * size_t(source)],
                                                &mesh.texcoords[2 * size_t(source)] + 2);
        }
        out.triangles.push_back({{first, first + 1, first + 2}});
        out.groups.push_back(mesh.groups[t]);
    }
    return out;
}

void printUnwelded()
{
    vmq_support::LoadedMesh loaded;
    std::string error;
    if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/spot.obj"), loaded, error)) {
        std::fprintf(stderr, "spot.obj: %s\n", error.c_str());
        std::exit(1);
    }
    const vmq_tool::SourceMesh mesh = unwelded(loaded);
    const CompressionSettings settings{};
    vmq_tool::PositionCut cut;
    if (!vmq_tool::cutOverPositions(mesh, settings, cut, error)) {
        std::fprintf(stderr, "position cut: %s\n", error.c_str());
        std::exit(1);
    }
    std::printf("\n| spot.obj unwelded (generated) | meshlets | record bits/tri | stored bits/tri |\n|---|---:|---:|---:|\n");
    for (const bool positions : {false, true}) {
        std::vector<MeshAttribute> attributes;
        MeshDescriptor descriptor = vmq_tool::makeDescriptor(mesh, attributes);
        if (positions) {
            descriptor.trianglesBegin = cut.triangles.data();
            descriptor.trianglesEnd = cut.triangles.data() + cut.triangles.size();
        }
        const Mesh record(Pelku_Vmq_Compression_CompressMeshWithMeshlets(&descriptor, &settings, positions ? cut.meshlets.get() : nullptr));
        if (!record)
            fail("unwelded spot.obj");
        const Bytes bytes(Pelku_Vmq_Compression_SerializeMesh(record.get(), 0, nullptr, 0));
        const double triangles = record->triangleCount;
        std::printf("| %s | %u | %.2f | %.2f |\n", positions ? "cut over shared positions" : "the library's cut", record->meshletCount,
                    8.0 * double(total(infoOf(bytes).recordBytes)) / triangles, 8.0 * double(sizeOf(bytes)) / triangles);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> names(argv + 1, argv + argc);
    printMeshes(names.empty() ? vmq_support::digestMeshes() : names);
    if (names.empty()) {
        printArchives();
        printUnwelded();
    }
    return 0;
}
