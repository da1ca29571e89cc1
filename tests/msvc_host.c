/* A host translation unit as MSVC and clang-cl see the headers: every call must go through the
 * import table (an __imp_ symbol) under the function's plain C name, in C and in C++. It is only
 * compiled, with clang-cl for the MSVC target; nothing links it. */
#include "pelku_vmq_decode.h"

int host(const MeshDescriptor* mesh, const CompressionSettings* settings)
{
    CompressedMesh* compressed = Pelku_Vmq_Compression_CompressMesh(mesh, settings);
    DecodedMesh* decoded = compressed ? Pelku_Vmq_Compression_DecodeMesh(compressed, PELKU_VMQ_PREDICTION_PARALLELOGRAM) : 0;
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    Pelku_Vmq_Compression_ReleaseCompressedMesh(compressed);
    return Pelku_Vmq_Compression_GetCompressionErrorString()[0];
}
