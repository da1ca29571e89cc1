// vmq compress ARCHIVE.abc -o OUT.vmq: every frame of an animated archive into one sequence
// container, with a progress display and Ctrl-C stopping the work between frames.
#include "archive_open.h"
#include "commands.h"
#include "container.h"
#include "mesh_import.h"
#include "progress.h"

#include "alembic/sequence_driver.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>

namespace vmq_tool {

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

// Draws the bar on a terminal; elsewhere prints a line at every ten percent.
struct FrameProgress {
    Progress bar;
    bool terminal;
    bool quiet;
    int printedTenths = 0;

    FrameProgress(uint32_t frames, bool quiet) : bar("compressing frames", frames, quiet), terminal(stderrIsTerminal()), quiet(quiet) {}
};

bool onFrame(float fraction, uint32_t done, uint32_t, void* userData)
{
    FrameProgress& progress = *static_cast<FrameProgress*>(userData);
    if (interrupted)
        return false;
    if (progress.quiet)
        return true;
    if (progress.terminal) {
        progress.bar.update(done);
    } else {
        const int tenths = std::min(10, int(fraction * 10.0f + 1e-4f));
        if (tenths > progress.printedTenths) {
            progress.printedTenths = tenths;
            std::fprintf(stderr, "compressing frames: %d%%\n", tenths * 10);
        }
    }
    return true;
}

uint64_t fileSize(const std::string& path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? uint64_t(file.tellg()) : 0;
}

// The attribute kinds of a static-attribute mask, by name.
std::string kindNames(uint32_t mask)
{
    std::string text;
    for (uint32_t k = 0; k < 32; ++k)
        if (mask & (1u << k))
            text += (text.empty() ? "" : " ") + kindName(int32_t(k));
    return text.empty() ? "none" : text;
}

} // namespace

int runSequenceCompress(const std::string& input, const std::string& output, const SequenceSettings& settings, uint32_t threads,
                        bool quiet, bool json)
{
    const auto start = std::chrono::steady_clock::now();
    uint32_t archiveFrames = 0;
    // The archive's frame count is known once the first report arrives; the bar is sized then.
    std::unique_ptr<FrameProgress> progress;
    struct Forward {
        std::unique_ptr<FrameProgress>* progress;
        uint32_t* frames;
        bool quiet;
    } forward{&progress, &archiveFrames, quiet};
    ProgressCallback callback = [](float fraction, uint32_t done, uint32_t count, void* userData) {
        Forward& f = *static_cast<Forward*>(userData);
        if (!*f.progress)
            *f.progress = std::make_unique<FrameProgress>(count, f.quiet);
        *f.frames = count;
        return onFrame(fraction, done, count, f.progress->get());
    };

    // What Pelku_Vmq_Compression_CompressAlembicFile does, with the importer's diagnostic lines
    // hidden under --quiet and the real reason named when the archive cannot be used.
    ToolArchive archive(input, settings, quiet);
    if (archive.importer->frameCount == 0)
        return reportFailure("compress", archive.problem());
    interrupted = 0;
    void (*previous)(int) = std::signal(SIGINT, onInterrupt);
    std::string error;
    CompressedSequence* raw = vmq::compressOpenedArchive(std::move(archive.importer), settings, threads, callback, &forward, error);
    std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
    if (progress)
        progress->bar.finish();
    std::unique_ptr<CompressedSequence, void (*)(CompressedSequence*)> sequence(raw, Pelku_Vmq_Compression_ReleaseCompressedSequence);
    if (!sequence) {
        if (interrupted)
            return reportFailure("compress", input + ": cancelled");
        return reportFailure("compress", input + ": " + (error.empty() ? "compression failed" : error));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ContainerHeader header;
    header.kind = ContainerKind::Sequence;
    header.settings = settings.compression;
    header.sourceName = input;
    SequenceFields& q = header.sequence;
    q.normalSmoothingThreshold = settings.normalSmoothingThreshold;
    q.negateTexcoordU = settings.negateTexcoordU;
    q.negateTexcoordV = settings.negateTexcoordV;
    q.removeDuplicateTriangles = settings.removeDuplicateTriangles;
    std::copy(settings.transform, settings.transform + 16, q.transform);
    q.generateTangents = settings.generateTangents;
    q.trimEmptyFrames = settings.trimEmptyFrames;

    uint64_t triangles = 0;
    uint32_t emptyFrames = 0;
    for (uint32_t f = 0; f < sequence->frameCount; ++f) {
        const CompressedMesh* mesh = sequence->frames[f];
        triangles += mesh ? mesh->triangleCount : 0;
        emptyFrames += mesh ? 0 : 1;
    }
    std::vector<uint8_t> bytes;
    if (!encodeSequenceContainer(header, *sequence, predictionModeFor(settings.compression), bytes, error))
        return reportFailure("compress", input + ": " + error);
    if (!writeContainerFile(output, bytes, error))
        return reportFailure("compress", error);

    const uint64_t outputBytes = bytes.size(), inputBytes = fileSize(input);
    const double bitsPerTriangle = triangles ? double(outputBytes) * 8 / double(triangles) : 0;
    const double ratio = outputBytes ? double(inputBytes) / double(outputBytes) : 0;
    const double framesPerSecond = seconds > 0 ? double(archiveFrames ? archiveFrames : sequence->frameCount) / seconds : 0;
    if (json) {
        std::printf("{\"input\": %s, \"output\": %s, \"frames\": %u, \"emptyFrames\": %u, \"staticTopology\": %s, "
                    "\"staticAttributeMask\": %u, \"triangles\": %llu, \"bytes\": %llu, \"bitsPerTriangle\": %s, \"ratio\": %s, "
                    "\"seconds\": %s, \"framesPerSecond\": %s}\n",
                    jsonText(input).c_str(), jsonText(output).c_str(), sequence->frameCount, emptyFrames,
                    sequence->staticTopology ? "true" : "false", sequence->staticAttributeMask, (unsigned long long)triangles,
                    (unsigned long long)outputBytes, jsonNumber(bitsPerTriangle).c_str(), jsonNumber(ratio).c_str(),
                    jsonNumber(seconds).c_str(), jsonNumber(framesPerSecond).c_str());
    } else if (!quiet) {
        std::printf("%s -> %s\n", input.c_str(), output.c_str());
        std::printf("  frames             %u (%u empty)\n", sequence->frameCount, emptyFrames);
        std::printf("  static topology    %s\n", sequence->staticTopology ? "yes" : "no");
        std::printf("  static attributes  %s\n", kindNames(sequence->staticAttributeMask).c_str());
        std::printf("  triangles          %llu over all frames\n", (unsigned long long)triangles);
        std::printf("  bits per triangle  %.2f\n", bitsPerTriangle);
        std::printf("  ratio              %.2f : 1 (%llu archive bytes, %llu container bytes)\n", ratio,
                    (unsigned long long)inputBytes, (unsigned long long)outputBytes);
        std::printf("  time               %.3f s\n", seconds);
        std::printf("  frames per second  %.1f\n", framesPerSecond);
    }
    return kExitOk;
}

} // namespace vmq_tool
