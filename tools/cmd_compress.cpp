// vmq compress IN -o OUT.vmq: reads a mesh file and writes its compressed container.
#include "commands.h"
#include "container.h"
#include "mesh_import.h"
#include "meshlet_cut.h"
#include "progress.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

namespace vmq_tool {

namespace {

struct Compressed {
    std::unique_ptr<CompressedMesh, MeshRelease> record;
    std::vector<uint8_t> bytes; // the container
};

// Compresses with the library's meshlets or those of a position cut, and encodes the container.
bool compressOnce(const SourceMesh& source, const CompressionSettings& settings, const PositionCut* cut, const ContainerHeader& header,
                  Compressed& out, std::string& error)
{
    std::vector<MeshAttribute> attributes;
    MeshDescriptor descriptor = makeDescriptor(source, attributes);
    const MeshletPartitionHandle* meshlets = nullptr;
    if (cut) {
        descriptor.trianglesBegin = cut->triangles.data();
        descriptor.trianglesEnd = cut->triangles.data() + cut->triangles.size();
        meshlets = cut->meshlets.get();
    }
    out.record.reset(Pelku_Vmq_Compression_CompressMeshWithMeshlets(&descriptor, &settings, meshlets));
    if (!out.record) {
        error = header.sourceName + ": compression failed: " + Pelku_Vmq_Compression_GetCompressionErrorString();
        return false;
    }
    if (!encodeMeshContainer(header, *out.record, predictionModeFor(settings), out.bytes, error)) {
        error = header.sourceName + ": " + error;
        return false;
    }
    return true;
}

std::string describeCut(const CompressedMesh& record)
{
    char text[128];
    std::snprintf(text, sizeof text, "%s, %.1f triangles each", counted(record.meshletCount, "meshlet").c_str(),
                  record.meshletCount ? double(record.triangleCount) / record.meshletCount : 0.0);
    return text;
}

} // namespace

bool compressToFile(const SourceMesh& source, const CompressionSettings& settings, MeshletCut cut, const std::string& sourceName,
                    const std::string& outputPath, CompressSummary& summary, std::string& error)
{
    const auto start = std::chrono::steady_clock::now();
    ContainerHeader header;
    header.settings = settings;
    header.materialNames = source.materialNames;
    header.sourceName = sourceName;
    Compressed chosen;
    summary.cut = cut == MeshletCut::Positions ? "positions" : "library";
    summary.note.clear();
    if (cut != MeshletCut::Positions && !compressOnce(source, settings, nullptr, header, chosen, error))
        return false;
    if (cut == MeshletCut::Positions || (cut == MeshletCut::Auto && isDegenerateCut(*chosen.record, settings))) {
        PositionCut positionCut;
        Compressed positions;
        if (!cutOverPositions(source, settings, positionCut, error)) {
            error = sourceName + ": " + error;
            return false;
        }
        if (!compressOnce(source, settings, &positionCut, header, positions, error))
            return false;
        if (cut == MeshletCut::Auto) {
            const bool smaller = positions.bytes.size() < chosen.bytes.size();
            summary.note = "the default meshlet cut is degenerate (" + describeCut(*chosen.record) + ", up to " +
                           std::to_string(settings.maxMeshletVertices - 1) + " allowed): " +
                           (smaller ? "using meshlets grown over shared positions instead (" + describeCut(*positions.record) + ", " +
                                          std::to_string(positions.bytes.size()) + " bytes instead of " + std::to_string(chosen.bytes.size()) + ")"
                                    : "meshlets grown over shared positions are no smaller, so it stays");
            if (smaller)
                summary.cut = "positions";
        }
        if (cut == MeshletCut::Positions || positions.bytes.size() < chosen.bytes.size())
            chosen = std::move(positions);
    }
    if (!writeContainerFile(outputPath, chosen.bytes, error))
        return false;
    const CompressedMesh& record = *chosen.record;
    summary.input = sourceName;
    summary.output = outputPath;
    summary.inputTriangles = source.triangles.size();
    summary.inputVertices = source.vertexCount();
    summary.attributes.clear();
    for (const SourceAttribute& a : source.attributes)
        summary.attributes.push_back(kindName(a.kind));
    summary.meshlets = record.meshletCount;
    summary.triangles = record.triangleCount;
    summary.vertices = record.vertexCount;
    summary.fileBytes = chosen.bytes.size();
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return true;
}

void printCompressSummary(const CompressSummary& s, bool json)
{
    const double bitsPerTriangle = s.triangles ? double(s.fileBytes) * 8 / s.triangles : 0;
    std::string attributes, attributesJson;
    for (size_t k = 0; k < s.attributes.size(); ++k) {
        attributes += (k ? " " : "") + s.attributes[k];
        attributesJson += (k ? ", " : "") + jsonText(s.attributes[k]);
    }
    if (json) {
        std::printf("{\"input\": %s, \"output\": %s, \"inputTriangles\": %zu, \"inputVertices\": %zu, \"attributes\": [%s], "
                    "\"cut\": %s, \"meshlets\": %u, \"triangles\": %u, \"vertices\": %u, \"bytes\": %llu, \"bitsPerTriangle\": %s, "
                    "\"seconds\": %s}\n",
                    jsonText(s.input).c_str(), jsonText(s.output).c_str(), s.inputTriangles, s.inputVertices, attributesJson.c_str(),
                    jsonText(s.cut).c_str(), s.meshlets, s.triangles, s.vertices, (unsigned long long)s.fileBytes,
                    jsonNumber(bitsPerTriangle).c_str(), jsonNumber(s.seconds).c_str());
        return;
    }
    std::printf("%s -> %s\n", s.input.c_str(), s.output.c_str());
    std::printf("  input      %s, %s\n", counted(s.inputTriangles, "triangle").c_str(), counted(s.inputVertices, "vertex", "vertices").c_str());
    std::printf("  attributes %s\n", attributes.c_str());
    std::printf("  meshlets   %u (%s, %s)\n", s.meshlets, counted(s.triangles, "triangle").c_str(),
                counted(s.vertices, "meshlet vertex", "meshlet vertices").c_str());
    std::printf("  file       %llu bytes, %.2f bits per triangle\n", (unsigned long long)s.fileBytes, bitsPerTriangle);
    std::printf("  time       %.3f s\n", s.seconds);
}

namespace {

bool isArchivePath(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string suffix = path.substr(path.size() - 4);
    for (char& c : suffix)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return suffix == ".abc";
}

} // namespace

} // namespace vmq_tool

int runCompress(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("Compress a mesh file (OBJ, PLY, glTF/GLB, FBX, ...) into a .vmq container. Triangle groups come from the "
                 "file's materials. An Alembic archive (.abc) is compressed frame by frame into a sequence container.",
                 "vmq compress");
    std::string input, output;
    bool quiet = false, json = false;
    SettingsOptions settings;
    app.add_option("input", input, "mesh file to compress")->required();
    app.add_option("-o,--output", output, "container to write (.vmq)")->required();
    app.add_flag("-q,--quiet", quiet, "print nothing on success");
    app.add_flag("--json", json, "print the summary as JSON");
    settings.addTo(app);
    MeshletCut cut = MeshletCut::Auto;
    app.add_option("--cut", cut,
                   "meshes: meshlets over shared vertices (library), over shared positions (positions, for meshes whose "
                   "triangles share no vertices), or the library's unless it is degenerate and the other is smaller (auto)")
        ->transform(CLI::CheckedTransformer(std::map<std::string, MeshletCut>{{"auto", MeshletCut::Auto},
                                                                              {"library", MeshletCut::Library},
                                                                              {"positions", MeshletCut::Positions}}))
        ->capture_default_str();
    uint32_t threads = 0;
    bool trim = false, tangents = false, removeDuplicates = false;
    app.add_option("--threads", threads, "archives: worker threads (0: one per hardware thread)")->capture_default_str();
    app.add_flag("--trim", trim, "archives: drop leading and trailing frames without geometry");
    app.add_flag("--tangents", tangents, "archives: generate tangents where texture coordinates exist");
    app.add_flag("--remove-duplicates", removeDuplicates, "archives: drop repeated triangles");
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;

    if (isArchivePath(input)) {
        SequenceSettings sequence{};
        sequence.compression = settings.resolved();
        sequence.trimEmptyFrames = trim;
        sequence.generateTangents = tangents;
        sequence.removeDuplicateTriangles = removeDuplicates;
        return runSequenceCompress(input, output, sequence, threads, quiet, json);
    }

    SourceMesh source;
    std::string error;
    {
        Progress phase("reading " + input, 0, quiet);
        phase.update(0);
        if (!importMesh(input, source, error))
            return reportFailure("compress", error);
    }
    if (source.skippedFaces && !quiet)
        std::fprintf(stderr, "vmq compress: %s: %s left out\n", input.c_str(),
                     counted(source.skippedFaces, "point or line face", "point and line faces").c_str());
    CompressSummary summary;
    {
        Progress phase("compressing", 0, quiet);
        phase.update(0);
        if (!compressToFile(source, settings.resolved(), cut, input, output, summary, error))
            return reportFailure("compress", error);
    }
    if (!summary.note.empty() && !quiet)
        std::fprintf(stderr, "vmq compress: %s: %s\n", input.c_str(), summary.note.c_str());
    if (!quiet || json)
        printCompressSummary(summary, json);
    return kExitOk;
}
