// libFuzzer target over the tool's .vmq container reader and what `vmq info` and `vmq decode`
// do with what it reads. The input is parsed as it is, then again with every checksum put
// right, so that mutations reach the parts and chunks inside. A mesh container that parses must
// write back to bytes that parse to the same container; every mesh in it either fails to decode with a
// message or decodes into a mesh that holds together, and a mesh that decodes can be walked
// for its statistics.
#include "fuzz_support.h"

#include "alembic/sequence_driver.h"
#include "container.h"
#include "serialize/checksum.h"
#include "stream_stats.h"

#include <cmath>

using namespace vmq_fuzz;
using namespace vmq_tool;

namespace {

uint32_t readWord(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void writeWord(uint8_t* p, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = uint8_t(v >> (8 * k));
}

// The bytes with their checksums made to match: version 2's header and whole-buffer checksums,
// or version 1's header and chunk checksums.
std::vector<uint8_t> withChecksums(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes(data, data + size);
    if (bytes.size() < 32)
        return bytes;
    const uint32_t major = uint32_t(bytes[8]) | uint32_t(bytes[9]) << 8;
    if (major != 1) {
        constexpr size_t kHeader = 156;
        if (bytes.size() < kHeader + 4)
            return bytes;
        writeWord(&bytes[kHeader - 4], vmq::crc32c(bytes.data(), kHeader - 4));
        writeWord(&bytes[bytes.size() - 4], vmq::crc32c(bytes.data(), bytes.size() - 4));
        return bytes;
    }
    constexpr size_t kHeader = 32;
    writeWord(&bytes[28], vmq::crc32(bytes.data(), 28));
    for (size_t at = kHeader; bytes.size() - at >= 12;) {
        const uint32_t length = readWord(&bytes[at + 4]);
        if (bytes.size() - at - 12 < length)
            break;
        writeWord(&bytes[at + 8 + length], vmq::crc32(&bytes[at], 8 + size_t(length)));
        at += 12 + size_t(length);
    }
    return bytes;
}

void checkContainer(const uint8_t* data, size_t size)
{
    Container container;
    std::string error;
    if (!decodeContainer(data, size, container, error)) {
        require(!error.empty(), "a container was refused without a message");
        return;
    }
    // A mesh written back reads back to the same bytes.
    if (container.header.kind == ContainerKind::Mesh && container.meshes.size() == 1) {
        const StoredMesh& stored = container.meshes[0];
        std::vector<uint8_t> written, rewritten;
        require(encodeMeshContainer(container.header, stored.mesh(), stored.predictionMode, written, error),
                "a mesh that was read cannot be written: " + error);
        Container again;
        require(decodeContainer(written.data(), written.size(), again, error), "a container written back does not read: " + error);
        require(again.meshes.size() == 1 &&
                    encodeMeshContainer(again.header, again.meshes[0].mesh(), again.meshes[0].predictionMode, rewritten, error) &&
                    rewritten == written,
                "a container written back reads differently");
    }

    for (const StoredMesh& stored : container.meshes) {
        const CompressedMesh& record = stored.mesh();
        RecordStats stats;
        std::string statsError;
        const bool walked = computeRecordStats(record, stats, statsError);
        require(walked || !statsError.empty(), "vmq info refused a record without a message");
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&record, stored.predictionMode);
        if (!decoded) {
            checkMessage("DecodeMesh");
            continue;
        }
        require(walked, "vmq info cannot walk a record that decodes: " + statsError);
        checkDecoded(record, *decoded, stored.predictionMode);
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    }
}

// Seed containers: one mesh, and a sequence of two frames, from a small grid.
void writeSeeds(const std::string& folder)
{
    std::vector<float> positions;
    std::vector<Triangle> triangles;
    const uint32_t n = 5;
    for (uint32_t y = 0; y <= n; ++y)
        for (uint32_t x = 0; x <= n; ++x)
            positions.insert(positions.end(), {float(x), float(y), std::sin(float(x * y))});
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x) {
            const uint32_t a = y * (n + 1) + x;
            triangles.push_back({{a, a + 1, a + n + 2}});
            triangles.push_back({{a, a + n + 2, a + n + 1}});
        }
    std::vector<uint32_t> groups(triangles.size(), 0);
    const MeshAttribute position = {POSITION, positions.data(), positions.data() + positions.size(), 3};
    MeshDescriptor mesh{};
    mesh.trianglesBegin = triangles.data();
    mesh.trianglesEnd = triangles.data() + triangles.size();
    mesh.attributesBegin = &position;
    mesh.attributesEnd = &position + 1;
    mesh.triangleGroupsBegin = groups.data();
    mesh.triangleGroupsEnd = groups.data() + groups.size();
    CompressionSettings settings{};
    CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
    if (!record)
        return;
    ContainerHeader header;
    header.materialNames = {"stone"};
    std::vector<uint8_t> one, sequence;
    std::string error;
    encodeMeshContainer(header, *record, PELKU_VMQ_PREDICTION_PARALLELOGRAM, one, error);
    // Three frames, the middle one empty, the last a repeat of the first.
    if (CompressedSequence* frames = vmq::allocateCompressedSequence(3, {"stone"})) {
        frames->frames[0] = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
        frames->frames[2] = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
        header.kind = ContainerKind::Sequence;
        encodeSequenceContainer(header, *frames, PELKU_VMQ_PREDICTION_PARALLELOGRAM, sequence, error);
        Pelku_Vmq_Compression_ReleaseCompressedSequence(frames);
    }
    writeFile(folder + "/seed_mesh.vmq", one);
    writeFile(folder + "/seed_sequence.vmq", sequence);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(record);
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
    checkContainer(data, size);
    const std::vector<uint8_t> fixed = withChecksums(data, size);
    checkContainer(fixed.data(), fixed.size());
    return 0;
}
