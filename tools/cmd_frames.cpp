#include "archive_open.h"
#include "commands.h"
#include "mesh_import.h"

#include "alembic/alembic_importer.h"
#include "alembic/frame_mesh.h"
#include "alembic/sequence_driver.h"
#include "encoding/quantise.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// FNV-1a 64 over the little-endian bytes of 32-bit words.
template <typename T>
uint64_t hashWords(const std::vector<T>& words)
{
    static_assert(sizeof(T) == 4);
    uint64_t h = 0xcbf29ce484222325ull;
    for (const T& w : words) {
        uint32_t bits;
        std::memcpy(&bits, &w, 4);
        for (int b = 0; b < 4; ++b) {
            h ^= (bits >> (8 * b)) & 0xffu;
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

template <typename T>
std::string hashText(const std::vector<T>& list)
{
    char text[20];
    std::snprintf(text, sizeof(text), "%016llx", (unsigned long long)hashWords(list));
    return text;
}

// "<element count>:<hash>" of a list of 32-bit values.
template <typename T>
std::string countAndHash(const std::vector<T>& list)
{
    return std::to_string(list.size()) + ":" + hashText(list);
}

// The usage line: on standard output with exit status 0 for --help, else on standard error with 2.
int usage(bool help = false)
{
    std::fprintf(help ? stdout : stderr,
                 "usage: vmq frames ARCHIVE [--velocity-mode N] [--recompute-normals] [--smooth-all] "
                 "[--threshold X] [--negate-u] [--negate-v] [--remove-duplicates] [--transform M0 .. M15] "
                 "[--tangents] [--trim] [--no-optimize]\n");
    if (help)
        std::printf("\nOpens an Alembic archive as the sequence compression does and prints the importer's results and, for "
                    "every frame, a hash of the mesh as read and as processed. Exit status: 0 after a report, 1 when the "
                    "archive cannot be used (\"result: error\"), 2 for a bad command line.\n");
    return help ? 0 : 2;
}

bool parseNumber(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

// "frame <f> <stage>: triangles=<T> corners=<A> triangleMaterials=<A> [sourceVertex=<A>] <KIND>=<N>x<C>:<hash> ..."
std::string frameLine(uint32_t f, const char* stage, const vmq::Mesh& mesh)
{
    std::vector<uint32_t> corners;
    corners.reserve(3 * mesh.triangles.size());
    for (const vmq::TriangleIndices& t : mesh.triangles)
        corners.insert(corners.end(), t.begin(), t.end());
    std::string line = "frame " + std::to_string(f) + " " + stage + ": triangles=" + std::to_string(mesh.triangles.size()) +
                       " corners=" + countAndHash(corners) + " triangleMaterials=" + countAndHash(mesh.triangleGroups);
    if (!mesh.sourceVertex.empty())
        line += " sourceVertex=" + countAndHash(mesh.sourceVertex);
    for (const vmq::VertexAttribute& attribute : mesh.attributes)
        line += " " + vmq_tool::kindName(attribute.kind) + "=" + std::to_string(attribute.vertexCount()) + "x" +
                std::to_string(attribute.componentCount) + ":" + hashText(attribute.values);
    return line;
}

} // namespace

int runFrames(int argc, char** argv)
{
    SequenceSettings settings{};
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double number = 0.0;
        if (arg == "--velocity-mode" && i + 1 < argc && parseNumber(argv[i + 1], number) && number == int32_t(number)) {
            settings.compression.velocityMode = int32_t(number);
            ++i;
        } else if (arg == "--threshold" && i + 1 < argc && parseNumber(argv[i + 1], number)) {
            settings.normalSmoothingThreshold = float(number);
            ++i;
        } else if (arg == "--recompute-normals") {
            settings.compression.recomputeNormals = 1;
        } else if (arg == "--smooth-all") {
            settings.compression.smoothAllNormals = 1;
        } else if (arg == "--negate-u") {
            settings.negateTexcoordU = 1;
        } else if (arg == "--negate-v") {
            settings.negateTexcoordV = 1;
        } else if (arg == "--remove-duplicates") {
            settings.removeDuplicateTriangles = 1;
        } else if (arg == "--tangents") {
            settings.generateTangents = 1;
        } else if (arg == "--trim") {
            settings.trimEmptyFrames = 1;
        } else if (arg == "--no-optimize") {
            settings.compression.optimizeMesh = 0;
        } else if (arg == "--transform") {
            // 16 floats in storage order (column-major).
            if (i + 16 >= argc)
                return usage();
            for (int k = 0; k < 16; ++k) {
                if (!parseNumber(argv[i + 1 + k], number))
                    return usage();
                settings.transform[k] = float(number);
            }
            i += 16;
        } else if (arg == "--help" || arg == "-h") {
            return usage(true);
        } else if (arg.rfind("--", 0) != 0 && !path) {
            path = argv[i];
        } else {
            return usage();
        }
    }
    if (!path)
        return usage();

    vmq_tool::ToolArchive archive(path, settings, false);
    vmq::AlembicImporter* importer = archive.importer.get();
    if (importer->frameCount == 0) {
        // The report keeps the library's error text; standard error says why.
        std::printf("result: error\nerror: Failed to open the Alembic file or it contains no polygon meshes.\n");
        std::fflush(stdout);
        std::fprintf(stderr, "vmq frames: %s\n", archive.problem().c_str());
        return 1;
    }
    std::printf("result: ok\nframeCount: %u\nstaticTopology: %u\nstaticAttributeMask: %u\nframeDuration: %.9g\n",
                importer->frameCount, unsigned(importer->staticTopology), importer->staticAttributeMask,
                double(importer->frameDuration));
    // Frames in order, processed as the sequence compression processes them.
    vmq::FrameSharing sharing;
    vmq::beginFrameSharing(sharing, importer->staticTopology != 0 && importer->frameCount > 1, importer->frameCount);
    for (uint32_t f = 0; f < importer->frameCount; ++f) {
        vmq::Mesh mesh = vmq::readFrame(*importer, f);
        if (mesh.triangles.empty()) {
            vmq::prepareFrame(mesh, f, settings, *importer, sharing);
            std::printf("frame %u read: empty\n", f);
            continue;
        }
        std::printf("%s\n", frameLine(f, "read", mesh).c_str());
        vmq::prepareFrame(mesh, f, settings, *importer, sharing);
        std::printf("%s\n", frameLine(f, "processed", mesh).c_str());
    }
    std::printf("materials: %zu\n", importer->materialNames.size());
    for (size_t i = 0; i < importer->materialNames.size(); ++i)
        std::printf("material %zu: %s\n", i, importer->materialNames[i].c_str());
    return 0;
}
