// vmq verify IN FILE: checks a container against its source mesh without compressing anything.
#include "commands.h"
#include "container.h"
#include "verify.h"

#include <cstdio>

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
    std::printf("topology     %s: %zu of %zu source triangles decoded", r.missing || r.extra || r.groupMismatches ? "DIFFERS" : "exact",
                r.matched, r.sourceTriangles);
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

} // namespace vmq_tool

int runVerify(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("Check a .vmq container against its source mesh: exact topology and the largest error per attribute kind.", "vmq verify");
    std::string input, path;
    int64_t frame = -1;
    bool quiet = false, json = false;
    app.add_option("input", input, "the source mesh file")->required();
    app.add_option("file", path, "the container made from it")->required();
    app.add_option("--frame", frame, "frame of a sequence to check")->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", quiet, "print nothing; the exit status tells");
    app.add_flag("--json", json, "print the report as JSON");
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;

    SourceMesh source;
    Container container;
    std::string error;
    if (!importMesh(input, source, error))
        return reportFailure("verify", error);
    if (!readContainerFile(path, container, error))
        return reportFailure("verify", error);
    const StoredMesh* stored = chooseFrame(container, path, frame, error);
    if (!stored)
        return reportFailure("verify", error);
    DecodedGeometry decoded;
    if (!decodeRecord(stored->mesh(), stored->predictionMode, decoded, quiet, error))
        return reportFailure("verify", path + ": " + error);
    const VerifyReport report = verifyDecoded(source, stored->mesh(), decoded, container.header.materialNames);
    if (!quiet || json)
        printVerifyReport(report, json);
    if (!report.passed()) {
        if (quiet && !json)
            std::fprintf(stderr, "vmq verify: %s: %s\n", path.c_str(), report.problem.c_str());
        return kExitFailure;
    }
    return kExitOk;
}
