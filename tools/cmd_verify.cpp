// vmq verify IN FILE: checks a container against its source mesh without compressing anything.
#include "archive_open.h"
#include "commands.h"
#include "container.h"
#include "mesh_import.h"
#include "verify.h"

#include "alembic/alembic_importer.h"
#include "alembic/frame_mesh.h"
#include "alembic/sequence_driver.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace vmq_tool {

void printVerifyReport(const VerifyReport& r, bool json)
{
    if (json) {
        std::string errors;
        for (size_t k = 0; k < r.errors.size(); ++k)
            errors += std::string(k ? ", " : "") + "{\"kind\": " + jsonText(kindName(r.errors[k].kind)) +
                      ", \"maxError\": " + jsonNumber(r.errors[k].maxError) + ", \"bound\": " + jsonNumber(r.errors[k].bound) + "}";
        std::string uncompared;
        for (size_t k = 0; k < r.uncompared.size(); ++k)
            uncompared += std::string(k ? ", " : "") + jsonText(kindName(r.uncompared[k]));
        std::printf("{\"passed\": %s, \"problem\": %s, \"sourceTriangles\": %zu, \"decodedTriangles\": %zu, \"matched\": %zu, "
                    "\"missing\": %zu, \"extra\": %zu, \"droppedDegenerate\": %zu, \"groupMismatches\": %zu, \"errors\": [%s], \"uncompared\": [%s]}\n",
                    r.passed() ? "true" : "false", jsonText(r.problem).c_str(), r.sourceTriangles, r.decodedTriangles, r.matched, r.missing,
                    r.extra, r.droppedDegenerate, r.groupMismatches, errors.c_str(), uncompared.c_str());
        return;
    }
    std::printf("topology     %s: %zu of %s decoded", r.missing || r.extra || r.groupMismatches ? "DIFFERS" : "exact", r.matched,
                counted(r.sourceTriangles, "source triangle").c_str());
    if (r.droppedDegenerate)
        std::printf(" (%zu degenerate left out)", r.droppedDegenerate);
    if (r.extra)
        std::printf(", %zu extra", r.extra);
    if (r.groupMismatches)
        std::printf(", %zu in another group", r.groupMismatches);
    std::printf("\n");
    for (const KindError& e : r.errors)
        std::printf("  %-12s max error %-12.6g (bound %.6g)\n", kindName(e.kind).c_str(), e.maxError, e.bound);
    for (int32_t kind : r.uncompared)
        std::printf("  %-12s not compared: only one side has it\n", kindName(kind).c_str());
    std::printf("%s\n", r.passed() ? "verify: passed" : ("verify: FAILED: " + r.problem).c_str());
}

namespace {

bool endsWithAbc(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".abc";
}

// The frames of a sequence as they were compressed: every frame read and processed as the
// sequence driver does it (with the settings the container records), converted to source
// meshes by frame index.
bool readArchiveFrames(const std::string& path, const ContainerHeader& header, uint32_t lastFrame, bool quiet,
                       std::map<uint32_t, SourceMesh>& frames, std::string& error)
{
    if (header.kind != ContainerKind::Sequence) {
        error = path + ": an archive can only be checked against a sequence container";
        return false;
    }
    if (header.sequence.trimEmptyFrames) {
        error = path + ": the container's frames were trimmed, so their numbers no longer name archive frames";
        return false;
    }
    SequenceSettings settings{};
    settings.compression = header.settings;
    settings.normalSmoothingThreshold = header.sequence.normalSmoothingThreshold;
    settings.negateTexcoordU = header.sequence.negateTexcoordU;
    settings.negateTexcoordV = header.sequence.negateTexcoordV;
    settings.removeDuplicateTriangles = header.sequence.removeDuplicateTriangles;
    std::copy_n(header.sequence.transform, 16, settings.transform);
    settings.generateTangents = header.sequence.generateTangents;
    settings.trimEmptyFrames = 0;

    ToolArchive archive(path, settings, quiet);
    if (archive.importer->frameCount == 0) {
        error = archive.problem();
        return false;
    }
    vmq::AlembicImporter* importer = archive.importer.get();
    vmq::FrameSharing sharing;
    vmq::beginFrameSharing(sharing, importer->staticTopology != 0 && importer->frameCount > 1, importer->frameCount);
    for (uint32_t f = 0; f < importer->frameCount && f <= lastFrame; ++f) {
        vmq::Mesh mesh = vmq::readFrame(*importer, f);
        if (vmq::prepareFrame(mesh, f, settings, *importer, sharing) == vmq::PreparedFrame::Empty)
            continue;
        SourceMesh& source = frames[f];
        for (vmq::VertexAttribute& attribute : mesh.attributes)
            source.attributes.push_back({attribute.kind, attribute.componentCount, std::move(attribute.values)});
        for (const vmq::TriangleIndices& t : mesh.triangles)
            source.triangles.push_back({{t[0], t[1], t[2]}});
        source.groups = std::move(mesh.triangleGroups);
        source.materialNames = importer->materialNames;
    }
    return true;
}

} // namespace

} // namespace vmq_tool

int runVerify(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("Check a .vmq container against its source mesh: exact topology and the largest error per attribute kind.", "vmq verify");
    std::string input, path;
    int64_t frame = -1;
    bool quiet = false, json = false;
    app.add_option("input", input, "the source mesh file, or the Alembic archive of a sequence")->required();
    app.add_option("file", path, "the container made from it")->required();
    app.add_option("--frame", frame, "frame of a sequence to check (an archive input: every frame by default)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", quiet, "print nothing; the exit status tells");
    app.add_flag("--json", json, "print the report as JSON");
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;

    Container container;
    std::string error;
    if (!readContainerFile(path, container, error))
        return reportFailure("verify", error);

    // The pairs to compare: the chosen stored mesh against the source mesh file, or every
    // stored frame (or the chosen one) against the archive's frame.
    std::vector<std::pair<const StoredMesh*, SourceMesh>> checks;
    if (endsWithAbc(input)) {
        std::vector<const StoredMesh*> stored;
        if (frame >= 0) {
            const StoredMesh* one = chooseFrame(container, path, frame, error);
            if (!one)
                return reportFailure("verify", error);
            stored.push_back(one);
        } else {
            for (const StoredMesh& mesh : container.meshes)
                stored.push_back(&mesh);
        }
        if (stored.empty())
            return reportFailure("verify", path + ": the container holds no mesh");
        std::map<uint32_t, SourceMesh> frames;
        if (!readArchiveFrames(input, container.header, stored.back()->frameIndex, quiet && !json, frames, error))
            return reportFailure("verify", error);
        for (const StoredMesh* mesh : stored) {
            auto found = frames.find(mesh->frameIndex);
            if (found == frames.end())
                return reportFailure("verify", input + ": frame " + std::to_string(mesh->frameIndex) + " has no geometry in the archive");
            checks.push_back({mesh, std::move(found->second)});
        }
    } else {
        SourceMesh source;
        if (!importMesh(input, source, error))
            return reportFailure("verify", error);
        const StoredMesh* stored = chooseFrame(container, path, frame, error);
        if (!stored)
            return reportFailure("verify", error);
        checks.push_back({stored, std::move(source)});
    }

    bool passed = true;
    for (const auto& [stored, source] : checks) {
        DecodedGeometry decoded;
        if (!decodeRecord(stored->mesh(), stored->predictionMode, decoded, quiet, error))
            return reportFailure("verify", path + ": " + error);
        const VerifyReport report = verifyDecoded(source, stored->mesh(), decoded, container.header.materialNames);
        if (checks.size() > 1 && !quiet && !json)
            std::printf("frame %u\n", stored->frameIndex);
        if (!quiet || json)
            printVerifyReport(report, json);
        if (!report.passed()) {
            if (quiet && !json)
                std::fprintf(stderr, "vmq verify: %s: frame %u: %s\n", path.c_str(), stored->frameIndex, report.problem.c_str());
            passed = false;
        }
    }
    if (!passed)
        return kExitFailure;
    return kExitOk;
}
