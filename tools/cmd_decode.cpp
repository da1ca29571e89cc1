// vmq decode FILE -o mesh.obj|.ply|.glb: the decoded mesh, one object per group.
#include "commands.h"
#include "container.h"
#include "decoding.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace vmq_tool {

const StoredMesh* chooseFrame(const Container& container, const std::string& path, int64_t frame, std::string& error)
{
    if (container.meshes.empty()) {
        error = path + ": the container holds no mesh";
        return nullptr;
    }
    if (frame < 0)
        return &container.meshes.front();
    // A sequence names its frame count; a mesh container holds frame 0 alone.
    const uint64_t frames = container.header.kind == ContainerKind::Sequence ? container.header.sequence.frameCount : 1;
    if (uint64_t(frame) >= frames) {
        error = path + ": frame " + std::to_string(frame) + " is out of range (the container holds " +
                (frames == 1 ? std::string("frame 0 only") : "frames 0 to " + std::to_string(frames - 1)) + ")";
        return nullptr;
    }
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
    bool quiet = false, allFrames = false;
    app.add_option("file", path, "container to read")->required();
    app.add_option("-o,--output", output, "mesh file to write; the format follows the extension")->required();
    app.add_option("--frame", frame, "frame of a sequence to decode (default: the first with geometry)")->check(CLI::NonNegativeNumber);
    app.add_flag("--all-frames", allFrames,
                 "write every frame of a sequence with geometry, each to the output name with _ and the frame number in "
                 "four digits before the extension (out.obj: out_0000.obj, out_0001.obj, ...)");
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
    std::vector<std::pair<const StoredMesh*, std::string>> jobs; // mesh, output file
    if (allFrames) {
        if (container.meshes.empty())
            return reportFailure("decode", path + ": the container holds no mesh");
        const size_t dot = output.find_last_of('.');
        for (const StoredMesh& stored : container.meshes) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "_%04u", stored.frameIndex);
            jobs.push_back({&stored, output.substr(0, dot) + suffix + output.substr(dot)});
        }
    } else {
        const StoredMesh* stored = chooseFrame(container, path, frame, error);
        if (!stored)
            return reportFailure("decode", error);
        jobs.push_back({stored, output});
    }
    for (const auto& [stored, file] : jobs) {
        DecodedGeometry decoded;
        if (!decodeRecord(stored->mesh(), stored->predictionMode, decoded, quiet, error))
            return reportFailure("decode", path + ": " + error);
        if (!exportDecoded(file, decoded, container.header.materialNames, error))
            return reportFailure("decode", error);
        if (!quiet)
            std::printf("%s -> %s: %s, %s\n", path.c_str(), file.c_str(), counted(decoded.triangleCount(), "triangle").c_str(),
                        counted(splitByGroup(decoded).size(), "group").c_str());
    }
    return kExitOk;
}
