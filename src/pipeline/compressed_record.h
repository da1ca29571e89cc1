#pragma once
// Building, attaching and releasing the compressed mesh record.
#include "pelku_vmq_compression.h"

namespace vmq {

struct CompressionContext;

// A new record filled from the driver's context; attachments are moved out of the context.
// Raises std::bad_alloc on allocation failure after releasing what it made.
CompressedMesh* buildCompressedMesh(CompressionContext& context);

// Frees a record's partition and topology attachments and sets both to null; null is ignored.
void releaseMeshletAttachments(CompressedMesh* record);

// Frees a record and everything it owns, attachments included; null is ignored.
void releaseCompressedMesh(CompressedMesh* record);

} // namespace vmq
