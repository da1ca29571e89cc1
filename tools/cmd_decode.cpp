// vmq decode FILE -o mesh.obj|.ply|.glb: the decoded mesh, one object per group.
#include "commands.h"
#include "container.h"
#include "decoding.h"

#include <cstdio>

namespace vmq_tool {

const StoredMesh* chooseFrame(const Container& container, const std::string& path, int64_t frame, std::string& error)
{
    if (container.meshes.empty()) {
        error = path + ": the container holds no mesh";
        return nullptr;
    }
    if (frame < 0)
        return &container.meshes.front();
    const StoredMesh* mesh = container.frame(uint32_t(frame));
    if (!mesh)
        error = path + ": frame " + std::to_string(frame) + " has no mesh";
    return mesh;
}

} // namespace vmq_tool

int runDecode(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("Decode a .vmq container into a mesh file, one object per group (.obj, .ply, .glb, .gltf, .stl).", "vmq decode");
    std::string path, output;
    int64_t frame = -1;
    bool quiet = false;
    app.add_option("file", path, "container to read")->required();
    app.add_option("-o,--output", output, "mesh file to write; the format follows the extension")->required();
    app.add_option("--frame", frame, "frame of a sequence to decode (default: the first with geometry)")->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", quiet, "print nothing on success");
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;
    if (!isExportExtension(output)) {
        std::fprintf(stderr, "vmq decode: %s: unknown output format (use .obj, .ply, .glb, .gltf or .stl)\n", output.c_str());
        return kExitUsage;
    }

    Container container;
    std::string error;
    if (!readContainerFile(path, container, error))
        return reportFailure("decode", error);
    const StoredMesh* stored = chooseFrame(container, path, frame, error);
    if (!stored)
        return reportFailure("decode", error);
    DecodedGeometry decoded;
    if (!decodeRecord(stored->mesh(), stored->predictionMode, decoded, quiet, error))
        return reportFailure("decode", path + ": " + error);
    if (!exportDecoded(output, decoded, container.header.materialNames, error))
        return reportFailure("decode", error);
    if (!quiet)
        std::printf("%s -> %s: %zu triangles, %zu groups\n", path.c_str(), output.c_str(), decoded.triangleCount(), splitByGroup(decoded).size());
    return kExitOk;
}
