#pragma once
// The opened archive of one sequence compression: its polygon meshes in tree order, which of
// them is visible in which frame, the frame count and duration, whether topology and attributes
// stay constant, and the material table that frames fill as they are read.
#include "alembic/archive/archive_reader.h"
#include "alembic/diagnostics.h"
#include "alembic/mesh_sample.h"
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vmq {

class AlembicImporter {
public:
    explicit AlembicImporter(const SequenceSettings& settings, std::ostream* diagnostics = &std::cerr)
        : settings(settings), diagnostics(diagnostics)
    {
    }
    AlembicImporter(const AlembicImporter&) = delete;
    AlembicImporter& operator=(const AlembicImporter&) = delete;

    std::unique_ptr<abc::Archive> archive;
    std::vector<MeshEntry> meshes;
    SequenceSettings settings;

    // Global material table, guarded by materialLock; both lists only grow.
    std::mutex materialLock;
    std::unordered_map<std::string, uint32_t> materialIndex;
    std::vector<std::string> materialNames;

    // One byte per (mesh, frame): entry m * frameCount + f, 1 visible, 0 hidden.
    std::vector<uint8_t> visibilityTable;
    uint32_t frameCount = 0; // 0 when the archive could not be opened or has nothing to read
    bool animatedVisibility = false;
    uint8_t staticTopology = 0;
    uint32_t staticAttributeMask = 0; // bit k: attribute kind k is the same in every frame
    float frameDuration = 0.0f;       // seconds

    DiagnosticSink diagnostics;
};

// Opens the archive at `path`, finds its polygon meshes and their visibility and analyses which
// attributes stay constant. Never fails: on any failure the importer holds frameCount 0 and a
// diagnostic line says why. Diagnostics go to `diagnostics` (the standard error stream).
std::unique_ptr<AlembicImporter> openArchive(const std::string& path, const SequenceSettings& settings,
                                             std::ostream* diagnostics = &std::cerr);
// The same over an archive held in memory (`bytes` must outlive the importer); `name` stands
// for the path in diagnostics.
std::unique_ptr<AlembicImporter> openArchiveMemory(const std::vector<uint8_t>& bytes, const std::string& name,
                                                   const SequenceSettings& settings,
                                                   std::ostream* diagnostics = &std::cerr);

} // namespace vmq
