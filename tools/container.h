#pragma once
// The .vmq container: compressed meshes (one, or the frames of a sequence) with the prediction
// mode, the settings used and the material names, in checksummed chunks. docs/container.md
// describes the bytes.
#include "pelku_vmq_compression.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vmq_tool {

constexpr uint16_t kContainerVersionMajor = 1;
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

// One stored mesh as the writer takes it: a record owned elsewhere.
struct FrameRef {
    uint32_t frameIndex = 0;
    int32_t predictionMode = 0;
    const CompressedMesh* mesh = nullptr;
};

struct ContainerHeader {
    ContainerKind kind = ContainerKind::Mesh;
    CompressionSettings settings{};
    SequenceFields sequence; // written for ContainerKind::Sequence only
    std::vector<std::string> materialNames;
    std::string sourceName;
};

// One mesh read back from a file: owned arrays and a CompressedMesh view into them that the
// decoder takes (no partition or topology attachments). Moving keeps the view valid; copying is
// not allowed.
class StoredMesh {
public:
    uint32_t frameIndex = 0;
    int32_t predictionMode = 0;

    StoredMesh() = default;
    StoredMesh(StoredMesh&&) = default;
    StoredMesh& operator=(StoredMesh&&) = default;
    StoredMesh(const StoredMesh&) = delete;
    StoredMesh& operator=(const StoredMesh&) = delete;

    // Copies every array of a record.
    static StoredMesh copyOf(const CompressedMesh& mesh, uint32_t frameIndex, int32_t predictionMode);

    // The record view; valid while this object lives.
    const CompressedMesh& mesh() const;

private:
    friend bool readMeshChunk(const uint8_t*, size_t, StoredMesh&, std::string&);
    struct Channel {
        std::vector<uint32_t> streamWords, tableBlob, meshletBitOffsets;
    };
    CompressedMesh counts_{}; // totals and bounds; its pointers are filled by mesh()
    std::vector<uint32_t> streamWords_, tableBlob_, meshletBitOffsets_, meshletValueOffsets_, meshletTriangleOffsets_, meshletHeaders_;
    std::vector<QuantParams> quantParams_;
    std::vector<int32_t> channelKinds_;
    std::vector<Channel> channels_;
    mutable std::vector<ChannelStreams> channelViews_;
    mutable CompressedMesh view_{};
};

struct Container {
    ContainerHeader header;
    std::vector<StoredMesh> meshes; // ascending frame index; a sequence's empty frames are absent

    // The mesh of frame i, or null.
    const StoredMesh* frame(uint32_t frameIndex) const;
    std::vector<FrameRef> frameRefs() const;
};

// The file's bytes for a header and its meshes (ascending, distinct frame indices).
std::vector<uint8_t> encodeContainer(const ContainerHeader& header, const std::vector<FrameRef>& frames);

// Parses a file's bytes; false with a message (without the file name) when the bytes are
// truncated, corrupted or of an unknown version.
bool decodeContainer(const uint8_t* bytes, size_t size, Container& container, std::string& error);

// File helpers; messages name the file.
bool writeContainerFile(const std::string& path, const ContainerHeader& header, const std::vector<FrameRef>& frames, std::string& error);
bool readContainerFile(const std::string& path, Container& container, std::string& error);

// CRC-32 (IEEE 802.3, reflected, as zlib and PNG compute it).
uint32_t crc32(const uint8_t* bytes, size_t size);

} // namespace vmq_tool
