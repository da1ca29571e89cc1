// The exported archive compression and the release of its result.
#include "alembic/sequence_driver.h"
#include "api/last_error.h"

extern "C" PELKU_VMQ_API CompressedSequence* Pelku_Vmq_Compression_CompressAlembicFile(const char* path, const SequenceSettings* settings,
                                                                                        uint32_t threadCount, ProgressCallback progress,
                                                                                        void* userData)
{
    try {
        vmq::clearLastError();
        if (!path || !settings) {
            vmq::setLastError("Invalid arguments.");
            return nullptr;
        }
        std::unique_ptr<vmq::AlembicImporter> importer;
        try {
            importer = vmq::openArchive(path, *settings);
        } catch (...) {
            importer.reset(); // any failure while opening counts as a failure to open
        }
        return vmq::compressOpenedArchive(std::move(importer), *settings, threadCount, progress, userData);
    } catch (...) {
        return nullptr;
    }
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseCompressedSequence(CompressedSequence* sequence)
{
    if (!sequence)
        return;
    if (sequence->frames) {
        for (uint32_t f = 0; f < sequence->frameCount; ++f)
            Pelku_Vmq_Compression_ReleaseCompressedMesh(sequence->frames[f]);
        delete[] sequence->frames;
    }
    if (sequence->materialNamesBegin) {
        for (const char* const* name = sequence->materialNamesBegin; name != sequence->materialNamesEnd; ++name)
            delete[] *name;
        delete[] sequence->materialNamesBegin;
    }
    delete sequence;
}
