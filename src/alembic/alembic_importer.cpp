#include "alembic/alembic_importer.h"

#include "alembic/archive/geometry_schemas.h"
#include "alembic/static_analysis.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <new>

namespace vmq {

namespace {

using abc::Archive;
using abc::kNoIndex;

bool isPolyMeshObject(const abc::ObjectRecord& object) { return object.metadata.get("schema") == "AbcGeom_PolyMesh_v1"; }

// Every polygon mesh in pre-order (children of a mesh included); returns the largest positions
// sample count.
uint32_t scanObjects(const Archive& archive, std::vector<MeshEntry>& meshes)
{
    uint32_t frames = 0;
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        const uint32_t o = stack.back();
        stack.pop_back();
        const abc::ObjectRecord& object = archive.object(o);
        if (isPolyMeshObject(object)) {
            meshes.push_back({abc::openPolyMesh(archive, o)});
            frames = std::max(frames, archive.header(meshes.back().schema.positions).sampleCount);
        }
        for (auto it = object.children.rbegin(); it != object.children.rend(); ++it)
            stack.push_back(*it);
    }
    return frames;
}

// Visibility at one sample: the nearest property that is not deferred (-1) decides; 0 hides.
uint8_t visibleAt(const Archive& archive, const std::vector<uint32_t>& chain, uint32_t frame)
{
    for (uint32_t property : chain) {
        const int8_t value = abc::readVisibility(archive, property, frame);
        if (value == 0)
            return 0;
        if (value != -1)
            return 1;
    }
    return 1;
}

void computeVisibility(AlembicImporter& importer)
{
    const Archive& archive = *importer.archive;
    const uint32_t frames = importer.frameCount;
    importer.visibilityTable.assign(importer.meshes.size() * size_t(frames), 1);
    for (size_t m = 0; m < importer.meshes.size(); ++m) {
        // The "visible" properties from the mesh outward; one without samples holds no value.
        std::vector<uint32_t> chain;
        bool constant = true;
        for (uint32_t o = importer.meshes[m].schema.object; o != kNoIndex; o = archive.object(o).parent) {
            const uint32_t property = abc::findVisibility(archive, o);
            if (property == kNoIndex || archive.header(property).sampleCount == 0)
                continue;
            chain.push_back(property);
            constant = constant && archive.header(property).isConstant();
        }
        if (chain.empty())
            continue;
        uint8_t* row = &importer.visibilityTable[m * frames];
        if (constant)
            std::fill(row, row + frames, visibleAt(archive, chain, 0));
        else
            for (uint32_t f = 0; f < frames; ++f)
                row[f] = visibleAt(archive, chain, f);
    }
}

void dropHiddenMeshes(AlembicImporter& importer)
{
    const uint32_t frames = importer.frameCount;
    size_t kept = 0;
    for (size_t m = 0; m < importer.meshes.size(); ++m) {
        const uint8_t* row = &importer.visibilityTable[m * frames];
        if (std::find(row, row + frames, uint8_t(1)) == row + frames)
            continue;
        if (kept != m) {
            importer.meshes[kept] = std::move(importer.meshes[m]);
            std::copy(row, row + frames, &importer.visibilityTable[kept * frames]);
        }
        ++kept;
    }
    importer.meshes.resize(kept);
    importer.visibilityTable.resize(kept * frames);
}

float frameDurationOf(const AlembicImporter& importer)
{
    const std::vector<abc::TimeSampling>& samplings = importer.archive->timeSamplings();
    uint32_t index = importer.archive->header(importer.meshes.front().schema.positions).timeSampling;
    if (index >= samplings.size())
        index = 0;
    if (samplings.empty())
        return 0.0f;
    const abc::TimeSampling& ts = samplings[index];
    if (ts.samplesPerCycle != abc::kAcyclicSamplesPerCycle && ts.timePerCycle > 0.0)
        return float(ts.timePerCycle);
    return 0.0f;
}

// Everything after the archive opened; returns false after writing the line that says why.
bool scanArchive(AlembicImporter& importer)
{
    DiagnosticSink& out = importer.diagnostics;
    const uint32_t sampled = scanObjects(*importer.archive, importer.meshes);
    if (importer.meshes.empty()) {
        out.line("Error: No polygon meshes found in Alembic file.");
        return false;
    }
    importer.frameCount = std::max(sampled, 1u);
    computeVisibility(importer);
    dropHiddenMeshes(importer);
    importer.animatedVisibility =
        std::find(importer.visibilityTable.begin(), importer.visibilityTable.end(), uint8_t(0)) !=
        importer.visibilityTable.end();
    if (importer.meshes.empty()) {
        out.line("Error: All polygon meshes in the Alembic file are hidden.");
        return false;
    }
    out.line("Found " + std::to_string(importer.meshes.size()) + " mesh(es), " + std::to_string(importer.frameCount) +
             " frame(s)");
    if (importer.animatedVisibility)
        out.line("Animated visibility detected; hidden meshes will be excluded per frame.");
    importer.frameDuration = frameDurationOf(importer);
    if (importer.frameCount > 1 && !importer.animatedVisibility) {
        const StaticAnalysis analysis =
            analyseStaticAttributes(*importer.archive, importer.meshes, importer.frameCount, out);
        importer.staticTopology = analysis.topologyConstant ? 1 : 0;
        for (const auto& [kind, constant] : analysis.constantByKind)
            if (constant)
                importer.staticAttributeMask |= 1u << kind;
        if (importer.staticTopology && !(importer.staticAttributeMask & 1u) &&
            hasUnstableTransform(*importer.archive, importer.meshes, importer.frameCount)) {
            importer.staticTopology = 0;
            importer.staticAttributeMask = 0;
        }
    }
    return true;
}

std::unique_ptr<AlembicImporter> openWith(const std::string& path, const SequenceSettings& settings,
                                          std::ostream* diagnostics,
                                          const std::function<std::unique_ptr<Archive>()>& open)
{
    auto importer = std::make_unique<AlembicImporter>(settings, diagnostics);
    bool ok = false;
    bool opened = false;
    try {
        importer->archive = open();
        opened = importer->archive && importer->archive->treeError().empty();
        ok = opened && scanArchive(*importer);
    } catch (const std::bad_alloc&) {
        throw; // out of memory is no failure to open
    } catch (const std::exception&) {
        opened = false;
    }
    if (!opened)
        importer->diagnostics.line("Error: Failed to open Alembic file: " + path);
    if (!ok) {
        importer->frameCount = 0;
        importer->staticTopology = 0;
        importer->staticAttributeMask = 0;
    }
    return importer;
}

} // namespace

std::unique_ptr<AlembicImporter> openArchive(const std::string& path, const SequenceSettings& settings,
                                             std::ostream* diagnostics)
{
    return openWith(path, settings, diagnostics, [&] { return Archive::open(path); });
}

std::unique_ptr<AlembicImporter> openArchiveMemory(const std::vector<uint8_t>& bytes, const std::string& name,
                                                   const SequenceSettings& settings, std::ostream* diagnostics)
{
    return openWith(name, settings, diagnostics, [&] { return Archive::openMemory(bytes.data(), bytes.size(), name); });
}

} // namespace vmq
