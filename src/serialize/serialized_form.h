#pragma once
// The serialized form of a compressed mesh or sequence: a fixed header with the version, the
// kind, the prediction mode and the size of every part, the caller's metadata, the five parts
// (each compressed with zstd where that pays), and a checksum of everything before it.
// docs/container.md gives the bytes.
#include "pelku_vmq_serialize.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vmq {

constexpr uint16_t kSerializedVersionMajor = 2;
constexpr uint16_t kSerializedVersionMinor = 0;

// New bytes to free with releaseSerializedBytes, or null with a message (lower case, no full stop)
// for arguments or a record that cannot be serialized. Raise std::bad_alloc.
SerializedBytes* serializeMesh(const CompressedMesh& mesh, int32_t predictionMode, const void* metadata, size_t metadataSize,
                               std::string& error);
SerializedBytes* serializeSequence(const CompressedSequence& sequence, int32_t predictionMode, const void* metadata,
                                   size_t metadataSize, std::string& error);

// Null is ignored.
void releaseSerializedBytes(SerializedBytes* bytes);

// Checks the header, the sizes and both checksums and fills `info`; false with a message.
bool readSerializedInfo(const uint8_t* bytes, size_t size, SerializedInfo& info, std::string& error);

// Rebuild the record the bytes hold; null with a message (nothing left allocated). Raise
// std::bad_alloc.
CompressedMesh* deserializeMesh(const uint8_t* bytes, size_t size, int32_t* predictionMode, std::string& error);
CompressedSequence* deserializeSequence(const uint8_t* bytes, size_t size, int32_t* predictionMode, std::string& error);

} // namespace vmq
