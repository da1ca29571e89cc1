// vmq sample: the whole path on a built-in mesh: compress, write the container, decode it to a
// mesh file, verify it against the source and render its picture.
#include "commands.h"
#include "container.h"
#include "decoding.h"
#include "mesh_import.h"
#include "meshlet_cut.h"
#include "render.h"
#include "verify.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace vmq_tool {

void printVerifyReport(const VerifyReport& report, bool json);

namespace {

// A wavy grid of (n + 1)^2 vertices with two material groups (left and right half).
SourceMesh makeSampleMesh(uint32_t n)
{
    SourceMesh mesh;
    mesh.attributes = {{POSITION, 3, {}}, {NORMAL, 3, {}}, {TEXCOORD, 2, {}}};
    for (uint32_t y = 0; y <= n; ++y) {
        for (uint32_t x = 0; x <= n; ++x) {
            const float u = float(x) / float(n), v = float(y) / float(n);
            const float h = 0.1f * std::sin(6.0f * u) * std::cos(4.0f * v);
            // The surface's normal: (-dh/du, -dh/dv, 1), normalised.
            const float du = 0.6f * std::cos(6.0f * u) * std::cos(4.0f * v), dv = -0.4f * std::sin(6.0f * u) * std::sin(4.0f * v);
            const float length = std::sqrt(du * du + dv * dv + 1);
            mesh.attributes[0].values.insert(mesh.attributes[0].values.end(), {u, v, h});
            mesh.attributes[1].values.insert(mesh.attributes[1].values.end(), {-du / length, -dv / length, 1 / length});
            mesh.attributes[2].values.insert(mesh.attributes[2].values.end(), {u, v});
        }
    }
    for (uint32_t y = 0; y < n; ++y) {
        for (uint32_t x = 0; x < n; ++x) {
            const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
            const uint32_t group = x < n / 2 ? 0 : 1;
            mesh.triangles.push_back({{a, b, d}});
            mesh.triangles.push_back({{a, d, c}});
            mesh.groups.insert(mesh.groups.end(), {group, group});
        }
    }
    mesh.materialNames = {"left", "right"};
    return mesh;
}

} // namespace

} // namespace vmq_tool

int runSample(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("The whole path on a built-in wavy grid: compress it, write its container, decode it, verify it against the "
                 "source and render its picture.",
                 "vmq sample");
    std::string directory = "out";
    uint32_t gridSize = 48;
    bool quiet = false, json = false;
    SettingsOptions settings;
    app.add_option("--output-dir", directory, "folder for sample.vmq, sample.obj and sample.png")->capture_default_str();
    app.add_option("--grid", gridSize, "grid cells per side (2 triangles each)")->check(CLI::Range(2u, 1000u))->capture_default_str();
    app.add_flag("-q,--quiet", quiet, "print nothing on success");
    app.add_flag("--json", json, "print the compress summary as JSON");
    settings.addTo(app);
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;

    std::error_code failure;
    std::filesystem::create_directories(directory, failure);
    if (failure)
        return reportFailure("sample", directory + ": cannot create the folder: " + failure.message());
    const std::string containerPath = directory + "/sample.vmq", meshPath = directory + "/sample.obj", picturePath = directory + "/sample.png";

    const SourceMesh source = makeSampleMesh(gridSize);
    const CompressionSettings used = settings.resolved();
    std::string error;
    CompressSummary summary;
    if (!compressToFile(source, used, MeshletCut::Auto, "sample (wavy grid)", containerPath, summary, error))
        return reportFailure("sample", error);
    if (!quiet || json)
        printCompressSummary(summary, json);

    Container container;
    if (!readContainerFile(containerPath, container, error))
        return reportFailure("sample", error);
    const StoredMesh& stored = container.meshes.front();
    DecodedGeometry decoded;
    if (!decodeRecord(stored.mesh(), stored.predictionMode, decoded, quiet, error))
        return reportFailure("sample", containerPath + ": " + error);
    if (!exportDecoded(meshPath, decoded, container.header.materialNames, error))
        return reportFailure("sample", error);
    const VerifyReport report = verifyDecoded(source, stored.mesh(), decoded, container.header.materialNames);
    std::string note;
    if (!renderToFile(stored, RenderOptions{}, false, quiet, picturePath, note, error))
        return reportFailure("sample", error);
    if (!quiet && !json) {
        std::printf("decoded      %s (%s)\n", meshPath.c_str(), counted(decoded.triangleCount(), "triangle").c_str());
        printVerifyReport(report, false);
        std::printf("picture      %s (%s)\n", picturePath.c_str(), note.c_str());
    }
    if (!report.passed())
        return reportFailure("sample", containerPath + ": " + report.problem);
    return kExitOk;
}
