/* The public headers as a C99 program uses them. */
#include "pelku_vmq_compression.h"
#include "pelku_vmq_serialize.h"
#include "pelku_vmq_cuda.h"
#include "pelku_vmq_decode.h"

#include "c_check.h"

#include <stdio.h>
#include <string.h>

/* The records' 64-bit layout, checked at compile time in C too. */
#define LAYOUT(name, condition) typedef char layout_##name[(condition) ? 1 : -1]
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
LAYOUT(settings, sizeof(CompressionSettings) == 48);
LAYOUT(descriptor, sizeof(MeshDescriptor) == 64);
LAYOUT(compressed, sizeof(CompressedMesh) == 200);
LAYOUT(attribute, sizeof(MeshAttribute) == 32);
LAYOUT(sequence_settings, sizeof(SequenceSettings) == 124);
LAYOUT(sequence_transform, offsetof(SequenceSettings, transform) == 56);
LAYOUT(sequence_trim, offsetof(SequenceSettings, trimEmptyFrames) == 121);
LAYOUT(sequence, sizeof(CompressedSequence) == 40);
LAYOUT(sequence_frames, offsetof(CompressedSequence, frames) == 16);
LAYOUT(sequence_names, offsetof(CompressedSequence, materialNamesEnd) == 32);
LAYOUT(serialized_bytes, sizeof(SerializedBytes) == 16);
LAYOUT(serialized_info, sizeof(SerializedInfo) == 152);
LAYOUT(cuda_buffers, sizeof(CudaDecodedBuffers) == 40);
#endif

int main(void)
{
    CompressionSettings settings = PELKU_VMQ_COMPRESSION_SETTINGS_DEFAULT;
    float positions[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    Triangle triangle = {{0, 1, 2}};
    uint32_t group = 0;
    MeshAttribute position;
    MeshDescriptor mesh;
    CompressedMesh* result;

    CHECK(settings.maxMeshletVertices == 64 && settings.optimizeMesh == 1 && settings.meshletMergeBoxScale == 4.0f);

    memset(&mesh, 0, sizeof mesh);
    mesh.trianglesBegin = &triangle;
    mesh.trianglesEnd = &triangle + 1;
    mesh.triangleGroupsBegin = &group;
    mesh.triangleGroupsEnd = &group + 1;

    /* No attributes at all. */
    result = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
    CHECK(result == NULL);
    CHECK(strcmp(Pelku_Vmq_Compression_GetCompressionErrorString(), "Input geometry lacks position attribute.") == 0);

    /* A position with two components. */
    position.kind = POSITION;
    position.dataBegin = positions;
    position.dataEnd = positions + 9;
    position.componentCount = 2;
    mesh.attributesBegin = &position;
    mesh.attributesEnd = &position + 1;
    result = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
    CHECK(result == NULL);
    CHECK(strcmp(Pelku_Vmq_Compression_GetCompressionErrorString(), "Position attribute must have 3 components.") == 0);

    /* A null handle and partition: the call runs and either succeeds or reports why. */
    position.componentCount = 3;
    result = Pelku_Vmq_Compression_CompressMeshWithMeshlets(&mesh, &settings, NULL);
    if (result) {
        CHECK(result->triangleCount == 1);
        CHECK(Pelku_Vmq_Compression_GetCompressionErrorString()[0] == '\0');
        /* Stored and read back, with the host's metadata. */
        {
            const char metadata[] = "host";
            SerializedInfo info;
            int32_t mode = -1;
            SerializedBytes* bytes = Pelku_Vmq_Compression_SerializeMesh(result, PELKU_VMQ_PREDICTION_DELTA, metadata, 4);
            CompressedMesh* back;
            CHECK(bytes != NULL);
            CHECK(Pelku_Vmq_Compression_GetSerializedInfo(bytes->bytesBegin, (size_t)(bytes->bytesEnd - bytes->bytesBegin), &info));
            CHECK(info.kind == PELKU_VMQ_SERIALIZED_MESH && info.metadataEnd - info.metadataBegin == 4);
            back = Pelku_Vmq_Compression_DeserializeMesh(bytes->bytesBegin, (size_t)(bytes->bytesEnd - bytes->bytesBegin), &mode);
            CHECK(back != NULL && mode == PELKU_VMQ_PREDICTION_DELTA && back->triangleCount == 1);
            Pelku_Vmq_Compression_ReleaseCompressedMesh(back);
            CHECK(Pelku_Vmq_Compression_DeserializeMesh(bytes->bytesBegin, 10, &mode) == NULL);
            CHECK(strstr(Pelku_Vmq_Compression_GetCompressionErrorString(), "truncated") != NULL);
            Pelku_Vmq_Compression_ReleaseSerializedBytes(bytes);
        }
        Pelku_Vmq_Compression_ReleaseCompressedMesh(result);
    } else {
        CHECK(Pelku_Vmq_Compression_GetCompressionErrorString()[0] != '\0');
    }

    /* Archives: the defaults, and the argument checks. */
    {
        SequenceSettings sequenceSettings = PELKU_VMQ_SEQUENCE_SETTINGS_DEFAULT;
        CHECK(sequenceSettings.compression.optimizeMesh == 1 && sequenceSettings.normalSmoothingThreshold == 0.9f);
        CHECK(sequenceSettings.transform[0] == 1.0f && sequenceSettings.transform[12] == 0.0f && sequenceSettings.transform[15] == 1.0f);
        CHECK(sequenceSettings.trimEmptyFrames == 0);
        CHECK(Pelku_Vmq_Compression_CompressAlembicFile(NULL, &sequenceSettings, 1, NULL, NULL) == NULL);
        CHECK(strcmp(Pelku_Vmq_Compression_GetCompressionErrorString(), "Invalid arguments.") == 0);
        CHECK(Pelku_Vmq_Compression_CompressAlembicFile("missing.abc", NULL, 1, NULL, NULL) == NULL);
        CHECK(strcmp(Pelku_Vmq_Compression_GetCompressionErrorString(), "Invalid arguments.") == 0);
        Pelku_Vmq_Compression_ReleaseCompressedSequence(NULL);
    }

    CHECK(Pelku_Vmq_Compression_GetMeshletPartition(NULL) == NULL);
    Pelku_Vmq_Compression_ReleaseMeshletPartition(NULL);

    /* Decoding on threads and on a device: the argument checks. */
    CHECK(Pelku_Vmq_Compression_DecodeMeshWithThreads(NULL, PELKU_VMQ_PREDICTION_PARALLELOGRAM, 0) == NULL);
    CHECK(strcmp(Pelku_Vmq_Compression_GetCompressionErrorString(), "Cannot decode: the compressed mesh is null.") == 0);
    CHECK(Pelku_Vmq_Compression_CudaCreateMeshDecoder(NULL, PELKU_VMQ_PREDICTION_PARALLELOGRAM) == NULL);
    CHECK(strcmp(Pelku_Vmq_Compression_GetCompressionErrorString(), "Cannot decode: the compressed mesh is null.") == 0);
    CHECK(Pelku_Vmq_Compression_CudaDecodeMesh(NULL, NULL) == 0);
    CHECK(Pelku_Vmq_Compression_CudaDownloadDecodedMesh(NULL) == NULL);
    Pelku_Vmq_Compression_CudaReleaseMeshDecoder(NULL);
    printf("c interface: ok\n");
    return 0;
}
