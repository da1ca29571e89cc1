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
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            importer.reset(); // any other failure while opening counts as a failure to open
        }
        std::string error;
        CompressedSequence* sequence = vmq::compressOpenedArchive(std::move(importer), *settings, threadCount, progress, userData, error);
        if (!error.empty())
            vmq::setLastError(std::move(error));
        return sequence;
    } catch (...) {
        vmq::setLastErrorLiteral("Compression failed: out of memory.");
        return nullptr;
    }
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseCompressedSequence(CompressedSequence* sequence)
{
    vmq::releaseCompressedSequence(sequence);
}
