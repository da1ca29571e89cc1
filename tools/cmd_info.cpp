// vmq info FILE: what a container holds and where its bits go.
#include "commands.h"
#include "container.h"
#include "mesh_import.h"
#include "stream_stats.h"
#include "pelku_vmq_decode.h"

#include "serialize/record_coding.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

namespace vmq_tool {

namespace {

const char* const kComponentNames = "xyzw";

std::string channelName(const std::vector<int32_t>& kinds, uint32_t channel)
{
    uint32_t component = 0;
    for (uint32_t k = channel; k > 0 && kinds[k - 1] == kinds[channel]; --k)
        ++component;
    return kindName(kinds[channel]) + "." + (component < 4 ? std::string(1, kComponentNames[component]) : std::to_string(component));
}

double perTriangle(uint64_t bits, uint32_t triangles)
{
    return triangles ? double(bits) / triangles : 0;
}

void printSettingsText(const CompressionSettings& s)
{
    std::printf("settings     positionQuality %g, normalQuality %g, texcoordQuality %g, colorQuality %g, velocityQuality %g,\n"
                "             velocityMode %d, maxMeshletVertices %u, minMeshletTriangles %d, firstPassMeshletTriangles %d,\n"
                "             meshletMergeBoxScale %g, optimizeMesh %u, disableParallelogramPrediction %u\n",
                s.positionQuality, s.normalQuality, s.texcoordQuality, s.colorQuality, s.velocityQuality, s.velocityMode,
                s.maxMeshletVertices, s.minMeshletTriangles, s.firstPassMeshletTriangles, s.meshletMergeBoxScale, s.optimizeMesh,
                s.disableParallelogramPrediction);
}

std::string settingsJson(const CompressionSettings& s)
{
    return "{\"positionQuality\": " + jsonNumber(s.positionQuality) + ", \"normalQuality\": " + jsonNumber(s.normalQuality) +
           ", \"texcoordQuality\": " + jsonNumber(s.texcoordQuality) + ", \"colorQuality\": " + jsonNumber(s.colorQuality) +
           ", \"velocityQuality\": " + jsonNumber(s.velocityQuality) + ", \"velocityMode\": " + std::to_string(s.velocityMode) +
           ", \"maxMeshletVertices\": " + std::to_string(s.maxMeshletVertices) +
           ", \"minMeshletTriangles\": " + std::to_string(s.minMeshletTriangles) +
           ", \"firstPassMeshletTriangles\": " + std::to_string(s.firstPassMeshletTriangles) +
           ", \"reserved\": " + std::to_string(s.reserved) + ", \"meshletMergeBoxScale\": " + jsonNumber(s.meshletMergeBoxScale) +
           ", \"optimizeMesh\": " + std::to_string(s.optimizeMesh) +
           ", \"disableParallelogramPrediction\": " + std::to_string(s.disableParallelogramPrediction) +
           ", \"recomputeNormals\": " + std::to_string(s.recomputeNormals) +
           ", \"smoothAllNormals\": " + std::to_string(s.smoothAllNormals) + "}";
}

// One mesh record: totals, bounds, and the bits of every stream and channel.
bool meshInfo(const StoredMesh& stored, bool json, std::string& out, std::string& error)
{
    const CompressedMesh& m = stored.mesh();
    // A record the decoder refuses (meshlets that do not tile the totals, tables that point
    // outside themselves) is reported as such, not walked for statistics.
    MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(&m, stored.predictionMode);
    if (!decoder) {
        error = "frame " + std::to_string(stored.frameIndex) + ": " + Pelku_Vmq_Compression_GetCompressionErrorString();
        return false;
    }
    Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
    RecordStats stats;
    if (!computeRecordStats(m, stats, error)) {
        error = "frame " + std::to_string(stored.frameIndex) + ": " + error;
        return false;
    }
    const uint32_t t = m.triangleCount;
    const std::vector<int32_t> kinds(m.channelKindsBegin, m.channelKindsEnd);
    char line[512];
    if (json) {
        out += "{\"frame\": " + std::to_string(stored.frameIndex) + ", \"predictionMode\": " +
               jsonText(stored.predictionMode ? "delta" : "parallelogram") + ", \"meshlets\": " + std::to_string(m.meshletCount) +
               ", \"triangles\": " + std::to_string(t) + ", \"vertices\": " + std::to_string(m.vertexCount) +
               ", \"indexWords\": " + std::to_string(m.indexWordCount) + ", \"channels\": " + std::to_string(m.channelCount) +
               ", \"boundsMin\": [" + jsonNumber(m.boundsMin[0]) + ", " + jsonNumber(m.boundsMin[1]) + ", " + jsonNumber(m.boundsMin[2]) +
               "], \"boundsMax\": [" + jsonNumber(m.boundsMax[0]) + ", " + jsonNumber(m.boundsMax[1]) + ", " + jsonNumber(m.boundsMax[2]) +
               "], \"streams\": [";
        for (uint32_t s = 0; s < vmq::kGlobalStreamCount; ++s)
            out += std::string(s ? ", " : "") + "{\"name\": " + jsonText(vmq::kGlobalStreamNames[s]) +
                   ", \"symbols\": " + std::to_string(stats.globalStreamSymbols[s]) + ", \"bits\": " + std::to_string(stats.globalStreamBits[s]) +
                   ", \"bitsPerTriangle\": " + jsonNumber(perTriangle(stats.globalStreamBits[s], t)) + "}";
        out += "], \"channelStreams\": [";
        for (uint32_t c = 0; c < m.channelCount; ++c)
            out += std::string(c ? ", " : "") + "{\"channel\": " + jsonText(channelName(kinds, c)) +
                   ", \"gridBits\": " + jsonNumber(m.quantParamsBegin[c].bits) + ", \"min\": " + jsonNumber(m.quantParamsBegin[c].min) +
                   ", \"max\": " + jsonNumber(m.quantParamsBegin[c].max) + ", \"bits\": " + std::to_string(stats.channelBits[c]) +
                   ", \"bitsPerTriangle\": " + jsonNumber(perTriangle(stats.channelBits[c], t)) + "}";
        out += "], \"tableBits\": " + std::to_string(stats.tableBits) + ", \"headerBits\": " + std::to_string(stats.headerBits) +
               ", \"offsetBits\": " + std::to_string(stats.offsetBits) + ", \"paddingBits\": " + std::to_string(stats.paddingBits) +
               ", \"symbolBitsPerTriangle\": " + jsonNumber(perTriangle(stats.symbolBits(), t)) + "}";
        return true;
    }
    std::snprintf(line, sizeof line, "mesh         frame %u, %s prediction\n", stored.frameIndex,
                  stored.predictionMode ? "delta" : "parallelogram");
    out += line;
    std::snprintf(line, sizeof line, "meshlets     %u (%.1f triangles, %.1f vertices on average)\n", m.meshletCount,
                  m.meshletCount ? double(t) / m.meshletCount : 0.0, m.meshletCount ? double(m.vertexCount) / m.meshletCount : 0.0);
    out += line;
    std::snprintf(line, sizeof line, "triangles    %u, meshlet vertices %u, index words %u, channels %u\n", t, m.vertexCount,
                  m.indexWordCount, m.channelCount);
    out += line;
    std::snprintf(line, sizeof line, "bounds       (%g, %g, %g) .. (%g, %g, %g)\n", m.boundsMin[0], m.boundsMin[1], m.boundsMin[2], m.boundsMax[0],
                  m.boundsMax[1], m.boundsMax[2]);
    out += line;
    std::snprintf(line, sizeof line, "%-24s %10s %12s %10s\n", "stream", "symbols", "bits", "bits/tri");
    out += line;
    for (uint32_t s = 0; s < vmq::kGlobalStreamCount; ++s) {
        std::snprintf(line, sizeof line, "  %-22s %10llu %12llu %10.3f\n", vmq::kGlobalStreamNames[s], (unsigned long long)stats.globalStreamSymbols[s],
                      (unsigned long long)stats.globalStreamBits[s], perTriangle(stats.globalStreamBits[s], t));
        out += line;
    }
    std::snprintf(line, sizeof line, "%-24s %10s %12s %10s  %s\n", "channel", "grid bits", "bits", "bits/tri", "range");
    out += line;
    for (uint32_t c = 0; c < m.channelCount; ++c) {
        const QuantParams& q = m.quantParamsBegin[c];
        std::snprintf(line, sizeof line, "  %-22s %10g %12llu %10.3f  [%g, %g]\n", channelName(kinds, c).c_str(), q.bits,
                      (unsigned long long)stats.channelBits[c], perTriangle(stats.channelBits[c], t), q.min, q.max);
        out += line;
    }
    for (auto [name, bits] : {std::pair<const char*, uint64_t>{"decode tables", stats.tableBits}, {"meshlet headers", stats.headerBits},
                              {"meshlet offsets", stats.offsetBits}, {"word padding", stats.paddingBits}}) {
        std::snprintf(line, sizeof line, "  %-22s %10s %12llu %10.3f\n", name, "", (unsigned long long)bits, perTriangle(bits, t));
        out += line;
    }
    const uint64_t total = stats.symbolBits() + stats.tableBits + stats.headerBits + stats.offsetBits + stats.paddingBits;
    std::snprintf(line, sizeof line, "  %-22s %10s %12llu %10.3f\n", "total", "", (unsigned long long)total, perTriangle(total, t));
    out += line;
    return true;
}

// Bytes per part of the stored form: what the records hold, then (version 2) after the compact
// encodings and as stored. Version 1 files store the records' arrays as they are.
std::string storageInfo(const Container& container, bool json)
{
    uint64_t recordBytes[vmq::kRecordPartCount] = {};
    if (container.hasStorage)
        std::copy_n(container.storage.recordBytes, vmq::kRecordPartCount, recordBytes);
    else
        for (const StoredMesh& stored : container.meshes)
            vmq::addRecordBytes(stored.mesh(), recordBytes);
    const SerializedInfo& s = container.storage;
    uint64_t totals[3] = {};
    std::string out = json ? "{" : "";
    char line[256];
    if (!json) {
        std::snprintf(line, sizeof line, "%-24s %12s %14s %13s\n", "storage", "record bytes", "compact bytes", "stored bytes");
        out += line;
    }
    auto number = [&](bool known, uint64_t value) { return known ? std::to_string(value) : std::string(json ? "null" : "-"); };
    for (uint32_t p = 0; p <= vmq::kRecordPartCount; ++p) {
        const bool total = p == vmq::kRecordPartCount;
        const uint64_t record = total ? totals[0] : recordBytes[p];
        const uint64_t compact = total ? totals[1] : s.compactBytes[p], storedBytes = total ? totals[2] : s.storedBytes[p];
        if (!total) {
            totals[0] += record, totals[1] += compact, totals[2] += storedBytes;
        }
        const char* name = total ? "total" : vmq::kRecordPartNames[p];
        if (json) {
            out += std::string(p ? ", " : "") + jsonText(name) + ": {\"recordBytes\": " + std::to_string(record) +
                   ", \"compactBytes\": " + number(container.hasStorage, compact) + ", \"storedBytes\": " + number(container.hasStorage, storedBytes) + "}";
        } else {
            std::snprintf(line, sizeof line, "  %-22s %12llu %14s %13s\n", name, (unsigned long long)record, number(container.hasStorage, compact).c_str(),
                          number(container.hasStorage, storedBytes).c_str());
            out += line;
        }
    }
    return json ? out + "}" : out;
}

} // namespace

} // namespace vmq_tool

int runInfo(int argc, char** argv)
{
    using namespace vmq_tool;
    CLI::App app("Show what a .vmq container holds: meshlets, streams and their bits per triangle, channels, bounds.", "vmq info");
    std::string path;
    bool json = false;
    app.add_option("file", path, "container to read")->required();
    app.add_flag("--json", json, "print JSON");
    if (const int status = parseArguments(app, argc, argv); status >= 0)
        return status;

    Container container;
    std::string error;
    if (!readContainerFile(path, container, error))
        return reportFailure("info", error);
    struct stat fileStat {};
    const long long bytes = stat(path.c_str(), &fileStat) == 0 ? (long long)fileStat.st_size : -1;
    const ContainerHeader& h = container.header;
    std::string meshes;
    for (size_t k = 0; k < container.meshes.size(); ++k) {
        std::string one;
        if (!meshInfo(container.meshes[k], json, one, error))
            return reportFailure("info", path + ": " + error);
        meshes += json ? (k ? ", " : "") + one : one;
    }
    const bool sequence = h.kind == ContainerKind::Sequence;
    if (json) {
        std::string materials;
        for (size_t k = 0; k < h.materialNames.size(); ++k)
            materials += (k ? ", " : "") + jsonText(h.materialNames[k]);
        std::printf("{\"file\": %s, \"bytes\": %lld, \"version\": \"%u.%u\", \"kind\": %s, \"source\": %s, \"settings\": %s, "
                    "\"materials\": [%s], \"storage\": %s, ",
                    jsonText(path).c_str(), bytes, container.versionMajor, container.versionMinor, jsonText(sequence ? "sequence" : "mesh").c_str(),
                    jsonText(h.sourceName).c_str(), settingsJson(h.settings).c_str(), materials.c_str(), storageInfo(container, true).c_str());
        if (sequence)
            std::printf("\"frameCount\": %u, \"frameDuration\": %s, \"staticTopology\": %u, \"staticAttributeMask\": %u, ",
                        h.sequence.frameCount, jsonNumber(h.sequence.frameDuration).c_str(), h.sequence.staticTopology,
                        h.sequence.staticAttributeMask);
        std::printf("\"meshes\": [%s]}\n", meshes.c_str());
        return kExitOk;
    }
    std::printf("file         %s (%lld bytes, container %u.%u, %s)\n", path.c_str(), bytes, container.versionMajor, container.versionMinor,
                sequence ? "sequence" : "mesh");
    if (!h.sourceName.empty())
        std::printf("source       %s\n", h.sourceName.c_str());
    printSettingsText(h.settings);
    std::printf("materials    %zu", h.materialNames.size());
    for (size_t k = 0; k < h.materialNames.size(); ++k)
        std::printf("%s%zu \"%s\"", k ? ", " : ": ", k, h.materialNames[k].c_str());
    std::printf("\n");
    if (sequence)
        std::printf("sequence     %u frames (%zu with geometry), %g s per frame, static topology %u, static attribute mask 0x%x\n",
                    h.sequence.frameCount, container.meshes.size(), h.sequence.frameDuration, h.sequence.staticTopology,
                    h.sequence.staticAttributeMask);
    std::fputs(storageInfo(container, false).c_str(), stdout);
    std::fputs(meshes.c_str(), stdout);
    return kExitOk;
}
