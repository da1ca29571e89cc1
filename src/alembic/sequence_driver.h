#pragma once
// Whole archives: frame 0 on the calling thread, then the other frames on worker threads pulling
// frame numbers from a counter; for constant topology every frame reuses frame 0's weld,
// meshlet partition and strip topology. Results land in frame order.
#include "alembic/alembic_importer.h"
#include "alembic/frame_processing.h"
#include "pelku_vmq_compression.h"

#include <condition_variable>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vmq {

// What the frames of one sequence share: the weld and, once frame 0 is processed, the triangle
// list that frame 0's partition and topology describe.
struct FrameSharing {
    bool sharedMode = false; // constant topology over more than one frame
    SharedRemap remap;
    bool hasReference = false;
    std::vector<TriangleIndices> referenceTriangles;
    std::vector<uint32_t> referenceMaterials;

    // The weld is computed by the lowest-numbered frame with triangles: a frame waits until the
    // weld exists or every lower frame is settled (read empty, or processed). The weld is
    // published under the lock, whole, by the frame that made it.
    std::mutex lock;
    std::condition_variable settledChanged;
    std::vector<uint8_t> settled;
    uint32_t firstUnsettled = 0;
};

void beginFrameSharing(FrameSharing& sharing, bool sharedMode, uint32_t frameCount);

enum class PreparedFrame {
    Empty,  // no triangles: the frame stays without result
    Shared, // the frame has frame 0's triangle list and uses its partition and topology
    Alone,  // compressed on its own
};

// Transforms and processes frame `frame` (already read into `mesh`) as the sequence does. A
// frame that no longer matches frame 0's triangle list (a triangle dropped for a non-finite
// position keeps the shared weld off) is welded and optimized on its own instead.
// With `spareValues`, the value lists the shared weld replaces are kept there for the next read.
PreparedFrame prepareFrame(Mesh& mesh, uint32_t frame, const SequenceSettings& settings, const AlembicImporter& importer,
                           FrameSharing& sharing, std::vector<std::vector<float>>* spareValues = nullptr);

// Compresses every frame of an opened archive (frameCount > 0). Returns the sequence, or null
// with the reason in `error` (left empty when `progress` asked to stop). Never throws.
CompressedSequence* compressSequence(AlembicImporter& importer, const SequenceSettings& settings, uint32_t threadCount,
                                     ProgressCallback progress, void* userData, std::string& error);

// The exported call's body after the archive is opened: fails on an importer without frames,
// else compresses. Returns the sequence, or null with the reason in `error` (left empty when
// `progress` asked to stop). Never throws.
CompressedSequence* compressOpenedArchive(std::unique_ptr<AlembicImporter> importer, const SequenceSettings& settings,
                                          uint32_t threadCount, ProgressCallback progress, void* userData, std::string& error);

// The same over an archive in memory, for tests and tools.
CompressedSequence* compressAlembicMemory(const std::vector<uint8_t>& bytes, const SequenceSettings* settings, uint32_t threadCount,
                                          ProgressCallback progress, void* userData, std::string& error,
                                          std::ostream* diagnostics = &std::cerr);

// A new sequence of `frameCount` null frames with copies of the material names (both name
// pointers null when there are none); the other fields are 0. Raises std::bad_alloc after
// releasing what it made.
CompressedSequence* allocateCompressedSequence(uint32_t frameCount, const std::vector<std::string>& materialNames);

// Frees a sequence, every frame record and every material name; null is ignored.
void releaseCompressedSequence(CompressedSequence* sequence);

} // namespace vmq
