// Compile-time checks that the boundary records keep their 64-bit C layout.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_serialize.h"

#include <cstddef>

#define VMQ_AT(record, field, offset) static_assert(offsetof(record, field) == (offset), #record "." #field)

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(Triangle) == 12);
VMQ_AT(MeshAttribute, kind, 0);
VMQ_AT(MeshAttribute, dataBegin, 8);
VMQ_AT(MeshAttribute, dataEnd, 16);
VMQ_AT(MeshAttribute, componentCount, 24);
static_assert(sizeof(MeshAttribute) == 32);

VMQ_AT(MeshDescriptor, trianglesBegin, 0);
VMQ_AT(MeshDescriptor, trianglesEnd, 8);
VMQ_AT(MeshDescriptor, attributesBegin, 16);
VMQ_AT(MeshDescriptor, attributesEnd, 24);
VMQ_AT(MeshDescriptor, triangleGroupsBegin, 32);
VMQ_AT(MeshDescriptor, triangleGroupsEnd, 40);
VMQ_AT(MeshDescriptor, partition, 48);
VMQ_AT(MeshDescriptor, reuseTopology, 56);
static_assert(sizeof(MeshDescriptor) == 64);

VMQ_AT(CompressionSettings, positionQuality, 0);
VMQ_AT(CompressionSettings, normalQuality, 4);
VMQ_AT(CompressionSettings, texcoordQuality, 8);
VMQ_AT(CompressionSettings, colorQuality, 12);
VMQ_AT(CompressionSettings, velocityQuality, 16);
VMQ_AT(CompressionSettings, velocityMode, 20);
VMQ_AT(CompressionSettings, maxMeshletVertices, 24);
VMQ_AT(CompressionSettings, minMeshletTriangles, 28);
VMQ_AT(CompressionSettings, firstPassMeshletTriangles, 32);
VMQ_AT(CompressionSettings, reserved, 36);
VMQ_AT(CompressionSettings, meshletMergeBoxScale, 40);
VMQ_AT(CompressionSettings, optimizeMesh, 44);
VMQ_AT(CompressionSettings, disableParallelogramPrediction, 45);
VMQ_AT(CompressionSettings, recomputeNormals, 46);
VMQ_AT(CompressionSettings, smoothAllNormals, 47);
static_assert(sizeof(CompressionSettings) == 48);

VMQ_AT(QuantParams, min, 0);
VMQ_AT(QuantParams, max, 4);
VMQ_AT(QuantParams, bits, 8);
static_assert(sizeof(QuantParams) == 12);

VMQ_AT(ChannelStreams, streamWordsBegin, 0);
VMQ_AT(ChannelStreams, tableBlobBegin, 16);
VMQ_AT(ChannelStreams, meshletBitOffsetsBegin, 32);
static_assert(sizeof(ChannelStreams) == 48);

VMQ_AT(CompressedMesh, meshletCount, 0);
VMQ_AT(CompressedMesh, triangleCount, 4);
VMQ_AT(CompressedMesh, vertexCount, 8);
VMQ_AT(CompressedMesh, indexWordCount, 12);
VMQ_AT(CompressedMesh, channelCount, 16);
VMQ_AT(CompressedMesh, valueCount, 20);
VMQ_AT(CompressedMesh, streamWordsBegin, 24);
VMQ_AT(CompressedMesh, streamWordsEnd, 32);
VMQ_AT(CompressedMesh, tableBlobBegin, 40);
VMQ_AT(CompressedMesh, meshletBitOffsetsBegin, 56);
VMQ_AT(CompressedMesh, channels, 72);
VMQ_AT(CompressedMesh, meshletValueOffsetsBegin, 80);
VMQ_AT(CompressedMesh, meshletTriangleOffsetsBegin, 96);
VMQ_AT(CompressedMesh, quantParamsBegin, 112);
VMQ_AT(CompressedMesh, channelKindsBegin, 128);
VMQ_AT(CompressedMesh, boundsMin, 144);
VMQ_AT(CompressedMesh, boundsMax, 156);
VMQ_AT(CompressedMesh, meshletHeadersBegin, 168);
VMQ_AT(CompressedMesh, meshletHeadersEnd, 176);
VMQ_AT(CompressedMesh, partition, 184);
VMQ_AT(CompressedMesh, topology, 192);
static_assert(sizeof(CompressedMesh) == 200);

VMQ_AT(MeshletPartitionHandle, partition, 0);
static_assert(sizeof(MeshletPartitionHandle) == 8);
VMQ_AT(SequenceSettings, compression, 0);
VMQ_AT(SequenceSettings, normalSmoothingThreshold, 48);
VMQ_AT(SequenceSettings, negateTexcoordU, 52);
VMQ_AT(SequenceSettings, negateTexcoordV, 53);
VMQ_AT(SequenceSettings, removeDuplicateTriangles, 54);
VMQ_AT(SequenceSettings, transform, 56);
VMQ_AT(SequenceSettings, generateTangents, 120);
VMQ_AT(SequenceSettings, trimEmptyFrames, 121);
static_assert(sizeof(SequenceSettings) == 124);

VMQ_AT(CompressedSequence, frameCount, 0);
VMQ_AT(CompressedSequence, staticTopology, 4);
VMQ_AT(CompressedSequence, staticAttributeMask, 8);
VMQ_AT(CompressedSequence, frameDuration, 12);
VMQ_AT(CompressedSequence, frames, 16);
VMQ_AT(CompressedSequence, materialNamesBegin, 24);
VMQ_AT(CompressedSequence, materialNamesEnd, 32);
static_assert(sizeof(CompressedSequence) == 40);

VMQ_AT(SerializedBytes, bytesEnd, 8);
static_assert(sizeof(SerializedBytes) == 16);
VMQ_AT(SerializedInfo, kind, 8);
VMQ_AT(SerializedInfo, predictionMode, 12);
VMQ_AT(SerializedInfo, metadataBegin, 16);
VMQ_AT(SerializedInfo, recordBytes, 32);
VMQ_AT(SerializedInfo, compactBytes, 72);
VMQ_AT(SerializedInfo, storedBytes, 112);
static_assert(sizeof(SerializedInfo) == 152);
#endif
