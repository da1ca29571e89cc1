#pragma once
// A text listing of an archive: time samplings, the object tree in pre-order, every property
// header and every sample (element count, stored key, FNV-1a 64 hash and, for small samples, the
// values). The `vmq dump` command prints it.
#include <string>

namespace vmq::abc {

// Appends the listing of the archive at `path` to `out`. On a fault, appends what was read up to
// it, then a line "error: " with the message, and returns false.
bool dumpArchive(const std::string& path, std::string& out);

class Archive;
// Appends the listing of an opened archive (without the "archive:" line); raises on a fault.
void dumpOpenArchive(const Archive& archive, std::string& out);

} // namespace vmq::abc
