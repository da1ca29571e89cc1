#pragma once
// The settings record of an archive compression: the per-mesh CompressionSettings first, then
// the fields only the archive path reads. A plain C record; a value-initialised one in C++ holds
// the defaults.
#include "pelku_vmq_compression.h"

#include <stdint.h>

#define PELKU_VMQ_IDENTITY_4X4 { 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f }

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SequenceSettings {
    CompressionSettings compression;  /* per-frame compression; velocityMode, recomputeNormals and
                                         smoothAllNormals steer the archive reading */
    float normalSmoothingThreshold PELKU_VMQ_DEFAULT(0.9f); /* cosine above which neighbours share a smoothing group */
    uint8_t negateTexcoordU PELKU_VMQ_DEFAULT(0);  /* nonzero: flip the sign of every u */
    uint8_t negateTexcoordV PELKU_VMQ_DEFAULT(0);  /* nonzero: flip the sign of every v */
    uint8_t removeDuplicateTriangles PELKU_VMQ_DEFAULT(0);
    float transform[16] PELKU_VMQ_DEFAULT(PELKU_VMQ_IDENTITY_4X4); /* column-major, applied to every frame */
    uint8_t generateTangents PELKU_VMQ_DEFAULT(0);
    uint8_t trimEmptyFrames PELKU_VMQ_DEFAULT(0);
} SequenceSettings;

#ifdef __cplusplus
}
#endif
