#include "commands.h"

#include "format/format.h"
#include "pelku_vmq_decode.h"

#include <cmath>
#include <cstdio>

namespace vmq_tool {

int parseArguments(CLI::App& app, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", app.get_name().c_str(), e.what(), app.get_name().c_str());
        return kExitUsage;
    }
}

int reportFailure(const std::string& command, const std::string& message)
{
    std::fprintf(stderr, "vmq %s: %s\n", command.c_str(), message.c_str());
    return kExitFailure;
}

void SettingsOptions::addTo(CLI::App& app)
{
    const CLI::Range quality(0.0f, 1.0f);
    CompressionSettings& s = settings;
    const std::string group = "Compression settings";
    app.add_option("--position-quality", s.positionQuality, "POSITION grid bits = round(q * 10) + 8")
        ->check(quality)->capture_default_str()->group(group);
    app.add_option("--normal-quality", s.normalQuality, "NORMAL and TANGENT grid bits = round(q * 5) + 3")
        ->check(quality)->capture_default_str()->group(group);
    app.add_option("--texcoord-quality", s.texcoordQuality, "TEXCOORD* grid bits = round(q * 10) + 8")
        ->check(quality)->capture_default_str()->group(group);
    app.add_option("--color-quality", s.colorQuality, "COLOR grid bits = round(q * 5) + 3")
        ->check(quality)->capture_default_str()->group(group);
    app.add_option("--velocity-quality", s.velocityQuality, "VELOCITY grid bits = round(q * 10) + 8")
        ->check(quality)->capture_default_str()->group(group);
    app.add_option("--velocity-mode", s.velocityMode, "velocity mode (read by the sequence path only)")
        ->capture_default_str()->group(group);
    app.add_option("--max-meshlet-vertices", s.maxMeshletVertices, "most vertices in one meshlet")
        ->check(CLI::Range(3u, vmq::kMaxMeshletElements))->capture_default_str()->group(group);
    app.add_option("--min-meshlet-triangles", s.minMeshletTriangles, "meshlets with fewer triangles are merged into neighbours")
        ->check(CLI::Range(0, int(vmq::kMaxMeshletElements)))->capture_default_str()->group(group);
    app.add_option("--first-pass-meshlet-triangles", s.firstPassMeshletTriangles, "triangle cap of the first partition pass (never 1)")
        ->check(CLI::Range(0, int(vmq::kMaxMeshletElements)) & !CLI::IsMember({1}))->capture_default_str()->group(group);
    app.add_option("--reserved", s.reserved, "reserved field, not read")->capture_default_str()->group(group);
    app.add_option("--meshlet-merge-box-scale", s.meshletMergeBoxScale, "box scale for merging small meshlets")
        ->check(CLI::Range(0.0f, 1e30f))->capture_default_str()->group(group);
    app.add_option("--optimize-mesh", optimizeMesh, "1: weld and reorder the mesh before partitioning")
        ->check(CLI::Range(0, 1))->capture_default_str()->group(group);
    app.add_option("--disable-parallelogram-prediction", disableParallelogramPrediction, "1: predict from the previous vertex only")
        ->check(CLI::Range(0, 1))->capture_default_str()->group(group);
    app.add_option("--recompute-normals", recomputeNormals, "1: recompute normals (read by the sequence path only)")
        ->check(CLI::Range(0, 1))->capture_default_str()->group(group);
    app.add_option("--smooth-all-normals", smoothAllNormals, "1: smooth all normals (read by the sequence path only)")
        ->check(CLI::Range(0, 1))->capture_default_str()->group(group);
}

CompressionSettings SettingsOptions::resolved() const
{
    CompressionSettings s = settings;
    s.optimizeMesh = uint8_t(optimizeMesh);
    s.disableParallelogramPrediction = uint8_t(disableParallelogramPrediction);
    s.recomputeNormals = uint8_t(recomputeNormals);
    s.smoothAllNormals = uint8_t(smoothAllNormals);
    return s;
}

int32_t predictionModeFor(const CompressionSettings& settings)
{
    return settings.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
}

std::string counted(uint64_t count, const std::string& noun, const std::string& plural)
{
    return std::to_string(count) + " " + (count == 1 ? noun : plural.empty() ? noun + "s" : plural);
}

std::string jsonText(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += char(ch);
        } else if (ch < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += char(ch);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

} // namespace vmq_tool
