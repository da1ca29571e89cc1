// vmq render FILE -o picture.png: the decoded mesh with each meshlet in its own colour, or
// coloured by its bits per triangle.
#include "commands.h"
#include "container.h"
#include "decoding.h"
#include "render.h"
#include "stream_stats.h"

#include <algorithm>
#include <cstdio>

namespace vmq_tool {

bool renderToFile(const StoredMesh& stored, const RenderOptions& options, bool colourByBits, bool quiet, const std::string& outputPath,
                  std::string& note, std::string& error)
{
    const CompressedMesh& mesh = stored.mesh();
    DecodedGeometry decoded;
    if (!decodeRecord(mesh, stored.predictionMode, decoded, quiet, error))
        return false;
    RenderInput input;
    const uint32_t c = decoded.channelCount;
    input.positions.resize(decoded.vertexCount() * 3);
    for (size_t v = 0; v < decoded.vertexCount(); ++v)
        std::copy_n(decoded.values.begin() + v * c, 3, input.positions.begin() + v * 3);
    input.triangles = decoded.triangles;
    input.triangleMeshlet.resize(decoded.triangleCount());
    for (uint32_t m = 0; m < decoded.meshlets.size(); ++m) {
        const DecodedMeshletInfo& info = decoded.meshlets[m];
        std::fill_n(input.triangleMeshlet.begin() + info.triangleOffset, info.triangleCount, m);
    }
    if (colourByBits) {
        RecordStats stats;
        if (!computeRecordStats(mesh, stats, error))
            return false;
        std::vector<double> bits(decoded.meshlets.size());
        for (size_t m = 0; m < bits.size(); ++m)
            bits[m] = stats.meshletTriangles[m] ? double(stats.meshletBits[m]) / stats.meshletTriangles[m] : 0;
        const double lo = bits.empty() ? 0 : *std::min_element(bits.begin(), bits.end());
        const double hi = bits.empty() ? 0 : *std::max_element(bits.begin(), bits.end());
        for (double b : bits)
            input.meshletColours.push_back(rampColour(hi > lo ? float((b - lo) / (hi - lo)) : 0.5f));
        char text[160];
        std::snprintf(text, sizeof text, "meshlet bits per triangle: blue %.2f .. red %.2f", lo, hi);
        note = text;
    } else {
        for (uint32_t m = 0; m < decoded.meshlets.size(); ++m)
            input.meshletColours.push_back(meshletColour(m));
        note = counted(decoded.meshlets.size(), "meshlet") + ", one colour each";
    }
    return writePng(outputPath, renderMesh(input, options), error);
}

} // namespace vmq_tool

int runRender(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("Draw the decoded mesh of a .vmq container into a PNG picture, each meshlet in its own colour.", "vmq render");
    std::string path, output, stat = "none";
    int64_t frame = -1;
    bool quiet = false;
    RenderOptions options;
    app.add_option("file", path, "container to read")->required();
    app.add_option("-o,--output", output, "PNG file to write")->required();
    app.add_option("--stat", stat, "none: one colour per meshlet; bits: meshlets coloured by bits per triangle, blue (fewest) to red")
        ->check(CLI::IsMember({"none", "bits"}))->capture_default_str();
    app.add_option("--width", options.width, "picture width in pixels")->check(CLI::Range(1u, 16384u))->capture_default_str();
    app.add_option("--height", options.height, "picture height in pixels")->check(CLI::Range(1u, 16384u))->capture_default_str();
    app.add_option("--azimuth", options.azimuthDegrees, "view direction around the vertical axis, degrees")->capture_default_str();
    app.add_option("--elevation", options.elevationDegrees, "view direction above the horizon, degrees")
        ->check(CLI::Range(-89.0f, 89.0f))->capture_default_str();
    app.add_option("--frame", frame, "frame of a sequence to draw")->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", quiet, "print nothing on success");
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;

    Container container;
    std::string error, note;
    if (!readContainerFile(path, container, error))
        return reportFailure("render", error);
    const StoredMesh* stored = chooseFrame(container, path, frame, error);
    if (!stored)
        return reportFailure("render", error);
    if (!renderToFile(*stored, options, stat == "bits", quiet, output, note, error))
        return reportFailure("render", error.rfind(output, 0) == 0 ? error : path + ": " + error);
    if (!quiet)
        std::printf("%s -> %s: %ux%u, %s\n", path.c_str(), output.c_str(), options.width, options.height, note.c_str());
    return kExitOk;
}
