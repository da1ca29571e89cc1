#pragma once
// Decode-table blobs stored as shapes: every tree as one bit per entry (set for a leaf) in the
// order the stream coder lays its entries out, each leaf's symbol right after its bit, instead of
// 32-bit entries. The coder places the two children of an inner node at the next free entries
// and lays out the right subtree first, so the shape fixes where every entry goes and the blob
// comes back word for word.
#include "serialize/byte_coding.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmq {

// Appends the shape form of a blob. False, with nothing appended, when the blob is not laid out
// as the coder lays it out (header words, tables back to back, trees in the coder's order); the
// caller then stores its words as they are. `stack` is scratch.
bool writeTableShapes(const uint32_t* blob, size_t length, std::vector<uint8_t>& out, std::vector<uint32_t>& stack);

// Rebuilds a blob from its shape form into a new span (allocated as the record's release frees
// it). False with a message when the form is cut short or its shapes do not match their counts.
bool readTableShapes(ByteReader& in, const uint32_t*& begin, const uint32_t*& end, std::vector<uint32_t>& stack, std::string& error);

} // namespace vmq
