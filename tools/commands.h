#pragma once
// The tool's subcommands and what they share: argument parsing with the exit statuses, the
// compression settings as options, error lines and JSON text.
#include "pelku_vmq_compression.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace vmq_tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Parses argv (argv[0] is the command name). Returns -1 to go on, else the status to exit with:
// 0 after --help, 2 after a usage error (reported on standard error).
int parseArguments(CLI::App& app, int argc, char** argv);

// Writes "vmq <command>: message" to standard error; returns kExitFailure.
int reportFailure(const std::string& command, const std::string& message);

// Every CompressionSettings field as an option, with its default and range in --help.
struct SettingsOptions {
    CompressionSettings settings{};
    int optimizeMesh = 1, disableParallelogramPrediction = 0, recomputeNormals = 0, smoothAllNormals = 0;

    void addTo(CLI::App& app);
    // The settings with the flag options folded in.
    CompressionSettings resolved() const;
};

// The prediction mode a decoder needs for records compressed with these settings.
int32_t predictionModeFor(const CompressionSettings& settings);

// "1 meshlet", "2 meshlets": a count and its noun, in the plural (the noun and an s, or the given
// plural) unless the count is 1.
std::string counted(uint64_t count, const std::string& noun, const std::string& plural = "");

// A JSON string literal.
std::string jsonText(const std::string& text);
// A JSON number (finite values; others become null).
std::string jsonNumber(double value);

struct SourceMesh;
struct StoredMesh;
struct Container;

// What one compression did, for the summary line or its JSON.
struct CompressSummary {
    std::string input, output;
    size_t inputTriangles = 0, inputVertices = 0;
    std::vector<std::string> attributes; // the kinds compressed, in the record's order
    std::string cut;                     // "library" or "positions"
    std::string note;                    // why the cut changed, or empty
    uint32_t meshlets = 0, triangles = 0, vertices = 0;
    uint64_t fileBytes = 0;
    double seconds = 0;
};

// Compresses a source mesh with the meshlet cut asked for (meshlet_cut.h) and writes its
// container. False with a message naming the input or output file.
enum class MeshletCut;
bool compressToFile(const SourceMesh& source, const CompressionSettings& settings, MeshletCut cut, const std::string& sourceName,
                    const std::string& outputPath, CompressSummary& summary, std::string& error);
void printCompressSummary(const CompressSummary& summary, bool json);

// Compresses every frame of an Alembic archive into a sequence container and prints its summary
// (frames, empty frames, static topology and attributes, bits per triangle, ratio to the archive,
// time, frames per second). Returns the exit status.
int runSequenceCompress(const std::string& input, const std::string& output, const SequenceSettings& settings, uint32_t threads,
                        bool quiet, bool json);

// The stored mesh of the chosen frame (-1: the first stored one), or null with a message.
const StoredMesh* chooseFrame(const Container& container, const std::string& path, int64_t frame, std::string& error);

// Decodes a stored mesh and renders it to a PNG; colourByBits colours meshlets by their bits per
// triangle instead of one colour each. False with a message.
struct RenderOptions;
bool renderToFile(const StoredMesh& mesh, const RenderOptions& options, bool colourByBits, bool quiet, const std::string& outputPath,
                  std::string& note, std::string& error);

} // namespace vmq_tool

// Subcommands: each takes its own arguments, argv[0] being the command name.
int runSample(int argc, char** argv);
int runCompress(int argc, char** argv);
int runInfo(int argc, char** argv);
int runDecode(int argc, char** argv);
int runVerify(int argc, char** argv);
int runRender(int argc, char** argv);
int runDump(int argc, char** argv);
// `vmq frames ARCHIVE [options]`: opens an archive as the sequence compression does and prints
// the importer's results and a hash of every frame mesh. 0 once a report was printed, 1 when the
// archive cannot be used (the report says "result: error"), 2 for a bad command line.
int runFrames(int argc, char** argv);
// `vmq tangents [INPUT]`: generated tangents of a small text mesh (standard input without
// INPUT), one line per vertex. 0, or 2 for unreadable or malformed input.
int runTangents(int argc, char** argv);
// More subcommands are declared here and listed in the table in vmq.cpp; --help prints a
// command's usage on standard output and returns 0.
