#pragma once
// Hashes of every field of compressed records, to compare the compressed bytes between builds,
// compilers and platforms: one line per shared mesh or fixture archive, one hash per setting.
#include "pelku_vmq_compression.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmq_support {

// FNV-1a 64 over bytes, to check that a change keeps an output bit for bit.
struct Digest {
    uint64_t value = 1469598103934665603ull;
    void add(const void* data, size_t bytes)
    {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t k = 0; k < bytes; ++k)
            value = (value ^ p[k]) * 1099511628211ull;
    }
    template <typename T>
    void add(const T* begin, const T* end) { add(begin, size_t(end - begin) * sizeof(T)); }
};

// FNV-1a 64 over everything the record holds, the built partition included.
uint64_t recordDigest(const CompressedMesh& record);

// FNV-1a 64 over the sequence's header fields, the digest of every frame record (0 for a frame
// without geometry) and the material names.
uint64_t sequenceDigest(const CompressedSequence& sequence);

// The mesh settings of the digests: the defaults; no optimization pass with small meshlets; delta
// prediction at full position quality with a low small-meshlet threshold.
std::vector<CompressionSettings> digestMeshSettings();

// The shared meshes in a stable order, and every fixture archive of the shared folder.
const std::vector<std::string>& digestMeshes();
std::vector<std::string> fixtureArchives();

// For each mesh of the shared folder (a file name), prints its name and one record digest per
// mesh setting. Returns false when a mesh cannot be read or compressed.
bool printMeshDigests(const std::vector<std::string>& meshes);

// For each archive (a path), prints its file name and one sequence digest per sequence setting,
// or "failed" where the compression fails (some fixtures are meant to).
void printArchiveDigests(const std::vector<std::string>& archives);

} // namespace vmq_support
