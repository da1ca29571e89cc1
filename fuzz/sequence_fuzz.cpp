// libFuzzer target over the archive entry point: a mutated Alembic archive is written to a
// scratch file and compressed whole, with settings and a thread count taken from the input's
// last byte. A compression either fails with a message or gives one record per frame (or none
// for a frame without geometry), each without partition or topology attachments, each decoding
// into a mesh that holds together.
#include "fuzz_support.h"

#include <string>
#include <unistd.h>

using namespace vmq_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/vmq_sequence_fuzz_" + std::to_string(getpid()) + ".abc";
    writeFile(path, std::vector<uint8_t>(data, data + size));

    const uint8_t choice = size ? data[size - 1] : 0;
    SequenceSettings settings{};
    settings.compression.optimizeMesh = choice & 1;
    settings.removeDuplicateTriangles = (choice >> 1) & 1;
    settings.generateTangents = (choice >> 2) & 1;
    settings.trimEmptyFrames = (choice >> 3) & 1;
    settings.compression.recomputeNormals = (choice >> 4) & 1;
    settings.compression.velocityMode = int32_t((choice >> 5) & 3) % 3;
    const uint32_t threads = 1 + (choice >> 7);

    CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, threads, nullptr, nullptr);
    if (!sequence) {
        requireMessage("CompressAlembicFile");
        return 0;
    }
    require(Pelku_Vmq_Compression_GetCompressionErrorString()[0] == 0, "a successful archive compression left an error text");
    require(sequence->frameCount == 0 || sequence->frames, "a sequence without its frame list");
    for (uint32_t f = 0; f < sequence->frameCount; ++f) {
        const CompressedMesh* frame = sequence->frames[f];
        if (!frame)
            continue;
        require(!frame->partition && !frame->topology, "a sequence frame keeps a partition or topology");
        const int32_t mode = settings.compression.disableParallelogramPrediction ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
        DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(frame, mode);
        if (!decoded)
            finding("frame " + std::to_string(f) + " does not decode: " + Pelku_Vmq_Compression_GetCompressionErrorString());
        checkDecoded(*frame, *decoded, mode);
        Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    }
    Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
    return 0;
}
