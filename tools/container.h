#pragma once
// The .vmq container. Version 2 is the library's serialized form (pelku_vmq_serialize.h) with the
// tool's own data as its metadata: the settings used, the sequence-only settings, a mesh's
// material names and the source file name. Version 1 files (every array as it is in memory, in
// checksummed chunks) are still read. docs/container.md describes the bytes.
#include "pelku_vmq_serialize.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vmq_tool {

// The version this tool writes; it reads 1.x and 2.x.
constexpr uint16_t kContainerVersionMajor = 2;
constexpr uint16_t kContainerVersionMinor = 0;

enum class ContainerKind : uint32_t { Mesh = 0, Sequence = 1 };

// The sequence-only settings and the record fields of a compressed sequence.
struct SequenceFields {
    uint32_t frameCount = 0;
    uint8_t staticTopology = 0;
    uint32_t staticAttributeMask = 0;
    float frameDuration = 0;
    float normalSmoothingThreshold = 0.9f;
    uint8_t negateTexcoordU = 0;
    uint8_t negateTexcoordV = 0;
    uint8_t removeDuplicateTriangles = 0;
    float transform[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    uint8_t generateTangents = 0;
    uint8_t trimEmptyFrames = 0;
};

struct ContainerHeader {
    ContainerKind kind = ContainerKind::Mesh;
    CompressionSettings settings{};
    SequenceFields sequence; // for ContainerKind::Sequence; written from the sequence record
    std::vector<std::string> materialNames; // a sequence's come from its record
    std::string sourceName;
};

struct MeshRelease {
    void operator()(CompressedMesh* mesh) const { Pelku_Vmq_Compression_ReleaseCompressedMesh(mesh); }
};

// One mesh read from a file: a record allocated by the library, without partition or topology.
struct StoredMesh {
    uint32_t frameIndex = 0;
    int32_t predictionMode = 0;
    std::unique_ptr<CompressedMesh, MeshRelease> record;

    const CompressedMesh& mesh() const { return *record; }
};

struct Container {
    uint16_t versionMajor = kContainerVersionMajor;
    uint16_t versionMinor = kContainerVersionMinor;
    ContainerHeader header;
    std::vector<StoredMesh> meshes; // ascending frame index; a sequence's empty frames are absent
    // What the serialized form says of its parts (version 2 only; version 1 has none).
    bool hasStorage = false;
    SerializedInfo storage{};

    // The mesh of frame i, or null.
    const StoredMesh* frame(uint32_t frameIndex) const;
};

// The bytes of a file holding one mesh or a sequence; false with a message when the library
// refuses the record.
bool encodeMeshContainer(const ContainerHeader& header, const CompressedMesh& mesh, int32_t predictionMode, std::vector<uint8_t>& bytes,
                         std::string& error);
bool encodeSequenceContainer(const ContainerHeader& header, const CompressedSequence& sequence, int32_t predictionMode,
                             std::vector<uint8_t>& bytes, std::string& error);

// Parses a file's bytes of either version; false with a message (without the file name) when the
// bytes are truncated, corrupted or of an unknown version.
bool decodeContainer(const uint8_t* bytes, size_t size, Container& container, std::string& error);

// File helpers; messages name the file.
bool writeContainerFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);
bool readContainerFile(const std::string& path, Container& container, std::string& error);

} // namespace vmq_tool
