#include "alembic/sequence_driver.h"

#include "mesh/compress_mesh.h"
#include "pipeline/compressed_record.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

namespace vmq {

namespace {

// Marks a frame settled when it leaves preparation, however it leaves; settling twice is harmless.
class SettleOnExit {
public:
    SettleOnExit(FrameSharing& sharing, uint32_t frame) : sharing(sharing), frame(frame) {}
    ~SettleOnExit()
    {
        {
            std::lock_guard<std::mutex> guard(sharing.lock);
            sharing.settled[frame] = 1;
            while (sharing.firstUnsettled < sharing.settled.size() && sharing.settled[sharing.firstUnsettled])
                ++sharing.firstUnsettled;
        }
        sharing.settledChanged.notify_all();
    }
    SettleOnExit(const SettleOnExit&) = delete;
    SettleOnExit& operator=(const SettleOnExit&) = delete;

private:
    FrameSharing& sharing;
    uint32_t frame;
};

// Waits until the shared weld exists or every lower frame is settled; true when the weld exists.
// Every lower frame was taken before this one and settles without waiting, so the wait ends.
bool waitForSharedRemap(FrameSharing& sharing, uint32_t frame)
{
    std::unique_lock<std::mutex> guard(sharing.lock);
    sharing.settledChanged.wait(guard, [&] { return sharing.remap.computed || sharing.firstUnsettled >= frame; });
    return sharing.remap.computed;
}

struct SequenceRun {
    AlembicImporter& importer;
    const SequenceSettings& settings; // frames are optimized while they are processed, never again
    ProgressCallback progress;
    void* userData;
    uint32_t frameCount;

    FrameSharing sharing;
    std::vector<CompressedMesh*> results;
    const MeshletPartition* sharedPartition = nullptr;
    const MeshletTopologyList* sharedTopology = nullptr;

    std::atomic<uint32_t> nextFrame{1};
    std::atomic<uint32_t> framesDone{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> failed{false};
    std::mutex progressLock;
    std::mutex failureLock;
    std::string failureMessage;

    SequenceRun(AlembicImporter& importer, const SequenceSettings& settings, ProgressCallback progress, void* userData)
        : importer(importer), settings(settings), progress(progress), userData(userData), frameCount(importer.frameCount),
          results(importer.frameCount, nullptr)
    {
    }
};

// One report per frame; false once the host asked to stop.
bool reportProgress(SequenceRun& run)
{
    if (run.cancelled.load())
        return false;
    if (!run.progress)
        return true;
    const uint32_t done = run.framesDone.fetch_add(1) + 1;
    try {
        std::lock_guard<std::mutex> guard(run.progressLock);
        if (!run.progress(float(done) / float(run.frameCount), done, run.frameCount, run.userData))
            run.cancelled.store(true);
    } catch (...) {
        run.cancelled.store(true); // a host callback that throws stops the work
    }
    return !run.cancelled.load();
}

constexpr const char* kOutOfMemory = "Compression failed: out of memory.";

void recordFailure(SequenceRun& run, uint32_t frame, const std::string& error, bool outOfMemory)
{
    std::lock_guard<std::mutex> guard(run.failureLock);
    if (run.failed.load())
        return;
    run.failed.store(true);
    try {
        run.failureMessage = outOfMemory ? kOutOfMemory : !error.empty() ? error : "Failed to compress frame " + std::to_string(frame) + ".";
    } catch (...) {
        run.failureMessage.clear(); // out of memory: the caller reports that
    }
}

// Read (into the calling worker's buffers), transform, process and compress frame `frame` into its slot.
void compressFrame(SequenceRun& run, uint32_t frame, FrameReadBuffers& buffers)
{
    std::string error;
    try {
        // Settles the frame even when reading throws, so that no later frame waits for it.
        SettleOnExit settle(run.sharing, frame);
        Mesh mesh = readFrame(run.importer, frame, buffers);
        const PreparedFrame prepared = prepareFrame(mesh, frame, run.settings, run.importer, run.sharing, &buffers.spareValues);
        if (prepared == PreparedFrame::Empty)
            return;

        const bool shared = prepared == PreparedFrame::Shared && frame > 0;
        // A shared frame has frame 0's triangles and groups (prepareFrame compared them).
        CompressedMesh* result = compressOwnedMesh(std::move(mesh), run.settings.compression, shared ? run.sharedPartition : nullptr,
                                                   shared ? run.sharedTopology : nullptr, error,
                                                   shared ? ReuseCheck::SameTriangles : ReuseCheck::Full);
        run.results[frame] = result;
        if (result && frame > 0)
            releaseMeshletAttachments(result);
        if (result)
            return;
    } catch (const std::bad_alloc&) {
        recordFailure(run, frame, error, true);
        return;
    } catch (...) {
        error.clear();
    }
    recordFailure(run, frame, error, false);
}

void runWorker(SequenceRun& run)
{
    FrameReadBuffers buffers;
    while (!run.cancelled.load() && !run.failed.load()) {
        const uint32_t frame = run.nextFrame.fetch_add(1);
        if (frame >= run.frameCount)
            return;
        compressFrame(run, frame, buffers);
        if (!run.cancelled.load() && run.progress)
            reportProgress(run);
    }
}

void releaseResults(std::vector<CompressedMesh*>& results)
{
    for (CompressedMesh*& result : results) {
        releaseCompressedMesh(result);
        result = nullptr;
    }
}

// The record holding results[first .. last], which it takes over.
CompressedSequence* assembleSequence(SequenceRun& run, uint32_t first, uint32_t last)
{
    CompressedSequence* sequence = allocateCompressedSequence(last - first + 1, run.importer.materialNames);
    sequence->staticTopology = run.importer.staticTopology;
    sequence->staticAttributeMask = run.importer.staticAttributeMask;
    sequence->frameDuration = run.importer.frameDuration;
    for (uint32_t f = first; f <= last; ++f) {
        sequence->frames[f - first] = run.results[f];
        run.results[f] = nullptr;
    }
    return sequence;
}

} // namespace

void beginFrameSharing(FrameSharing& sharing, bool sharedMode, uint32_t frameCount)
{
    sharing.sharedMode = sharedMode;
    sharing.remap = SharedRemap{};
    sharing.hasReference = false;
    sharing.referenceTriangles.clear();
    sharing.referenceMaterials.clear();
    sharing.settled.assign(frameCount, 0);
    sharing.firstUnsettled = 0;
}

PreparedFrame prepareFrame(Mesh& mesh, uint32_t frame, const SequenceSettings& settings, const AlembicImporter& importer,
                           FrameSharing& sharing, std::vector<std::vector<float>>* spareValues)
{
    if (!sharing.sharedMode) {
        applyFrameTransform(mesh, settings.transform);
        if (mesh.triangles.empty())
            return PreparedFrame::Empty;
        processFrameMesh(mesh, settings, importer.staticTopology != 0, nullptr);
        return PreparedFrame::Alone;
    }

    SettleOnExit settle(sharing, frame);
    applyFrameTransform(mesh, settings.transform);
    if (mesh.triangles.empty())
        return PreparedFrame::Empty;
    if (waitForSharedRemap(sharing, frame)) {
        processFrameMesh(mesh, settings, importer.staticTopology != 0, &sharing.remap, spareValues);
    } else {
        // This frame makes the weld; later frames see it only once it is published whole.
        SharedRemap weld;
        processFrameMesh(mesh, settings, importer.staticTopology != 0, &weld);
        std::lock_guard<std::mutex> guard(sharing.lock);
        sharing.remap = std::move(weld);
    }

    if (frame == 0) {
        sharing.referenceTriangles = mesh.triangles;
        sharing.referenceMaterials = mesh.triangleGroups;
        sharing.hasReference = true;
        return PreparedFrame::Shared;
    }
    if (!sharing.hasReference)
        return PreparedFrame::Alone;
    if (mesh.triangles == sharing.referenceTriangles && mesh.triangleGroups == sharing.referenceMaterials)
        return PreparedFrame::Shared;
    // Frame 0's partition names triangles this frame does not have.
    optimizeFrameAlone(mesh, settings.compression.optimizeMesh != 0);
    return PreparedFrame::Alone;
}

CompressedSequence* compressSequence(AlembicImporter& importer, const SequenceSettings& settings, uint32_t threadCount,
                                     ProgressCallback progress, void* userData, std::string& error)
{
    error.clear();
    std::unique_ptr<SequenceRun> owned;
    try {
        owned = std::make_unique<SequenceRun>(importer, settings, progress, userData);
    } catch (...) {
        error = kOutOfMemory;
        return nullptr;
    }
    SequenceRun& run = *owned;
    const uint32_t frameCount = run.frameCount;
    bool outOfMemory = false;
    try {
        beginFrameSharing(run.sharing, importer.staticTopology != 0 && frameCount > 1, frameCount);

        {
            FrameReadBuffers buffers; // frame 0's lists are not kept while the workers run
            compressFrame(run, 0, buffers);
        }
        if (!reportProgress(run)) {
            if (run.failed.load())
                error = run.failureMessage.empty() ? kOutOfMemory : run.failureMessage;
            releaseResults(run.results);
            return nullptr;
        }

        if (frameCount > 1 && !run.failed.load()) {
            if (run.sharing.sharedMode && run.results[0]) {
                run.sharedPartition = run.results[0]->partition;
                run.sharedTopology = run.results[0]->topology;
            }
            uint32_t workers = threadCount ? threadCount : std::thread::hardware_concurrency();
            workers = std::clamp<uint32_t>(workers, 1u, frameCount - 1);
            std::vector<std::thread> threads;
            threads.reserve(workers);
            try {
                for (uint32_t w = 0; w < workers; ++w)
                    threads.emplace_back(runWorker, std::ref(run));
            } catch (...) {
                // Fewer threads than asked for: the ones started (or this thread) take every frame.
            }
            if (threads.empty())
                runWorker(run);
            for (std::thread& thread : threads)
                thread.join();
        }
        releaseMeshletAttachments(run.results[0]);

        if (run.cancelled.load() || run.failed.load()) {
            if (run.failed.load())
                error = run.failureMessage.empty() ? kOutOfMemory : run.failureMessage;
            releaseResults(run.results);
            return nullptr;
        }

        uint32_t first = 0;
        while (first < frameCount && !run.results[first])
            ++first;
        if (first == frameCount) {
            error = "All frames in the Alembic file are empty (no geometry).";
            return nullptr;
        }
        uint32_t last = frameCount - 1;
        while (!run.results[last])
            --last;
        if (!settings.trimEmptyFrames) {
            first = 0;
            last = frameCount - 1;
        }
        CompressedSequence* sequence = assembleSequence(run, first, last);
        releaseResults(run.results);
        return sequence;
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    } catch (...) {
    }
    // Released before the message is made, which may itself run out of memory.
    releaseResults(run.results);
    error = outOfMemory ? kOutOfMemory : "Compression failed with an unknown internal error.";
    return nullptr;
}

CompressedSequence* compressOpenedArchive(std::unique_ptr<AlembicImporter> importer, const SequenceSettings& settings,
                                          uint32_t threadCount, ProgressCallback progress, void* userData, std::string& error)
{
    error.clear();
    if (!importer || importer->frameCount == 0) {
        error = "Failed to open the Alembic file or it contains no polygon meshes.";
        return nullptr;
    }
    return compressSequence(*importer, settings, threadCount, progress, userData, error);
}

CompressedSequence* compressAlembicMemory(const std::vector<uint8_t>& bytes, const SequenceSettings* settings, uint32_t threadCount,
                                          ProgressCallback progress, void* userData, std::string& error, std::ostream* diagnostics)
{
    try {
        error.clear();
        if (!settings) {
            error = "Invalid arguments.";
            return nullptr;
        }
        std::unique_ptr<AlembicImporter> importer;
        try {
            importer = openArchiveMemory(bytes, "memory.abc", *settings, diagnostics);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            importer.reset();
        }
        return compressOpenedArchive(std::move(importer), *settings, threadCount, progress, userData, error);
    } catch (...) {
        error = "Compression failed: out of memory.";
        return nullptr;
    }
}

CompressedSequence* allocateCompressedSequence(uint32_t frameCount, const std::vector<std::string>& materialNames)
{
    CompressedSequence* sequence = new CompressedSequence{};
    try {
        sequence->frameCount = frameCount;
        sequence->frames = new CompressedMesh*[frameCount]();
        if (!materialNames.empty()) {
            const char** table = new const char*[materialNames.size()]();
            sequence->materialNamesBegin = table;
            sequence->materialNamesEnd = table + materialNames.size();
            for (size_t i = 0; i < materialNames.size(); ++i) {
                char* copy = new char[materialNames[i].size() + 1];
                std::memcpy(copy, materialNames[i].c_str(), materialNames[i].size() + 1);
                table[i] = copy;
            }
        }
    } catch (...) {
        releaseCompressedSequence(sequence);
        throw;
    }
    return sequence;
}

void releaseCompressedSequence(CompressedSequence* sequence)
{
    if (!sequence)
        return;
    if (sequence->frames) {
        for (uint32_t f = 0; f < sequence->frameCount; ++f)
            releaseCompressedMesh(sequence->frames[f]);
        delete[] sequence->frames;
    }
    if (sequence->materialNamesBegin) {
        for (const char* const* name = sequence->materialNamesBegin; name != sequence->materialNamesEnd; ++name)
            delete[] *name;
        delete[] sequence->materialNamesBegin;
    }
    delete sequence;
}

} // namespace vmq
