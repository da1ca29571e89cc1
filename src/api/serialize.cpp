// The exported serialized form: meshes and sequences to bytes and back.
#include "api/last_error.h"
#include "serialize/serialized_form.h"

#include <cctype>
#include <new>
#include <string>

namespace {

// Runs one call with the error text emptied first; a failure's message becomes a sentence.
template <typename Result, typename Call>
Result reportFailure(const char* doing, Call&& call)
{
    try {
        vmq::clearLastError();
        std::string error;
        const Result result = call(error);
        if (!result) {
            if (error.empty())
                error = std::string(doing) + " failed";
            error[0] = char(std::toupper(static_cast<unsigned char>(error[0])));
            vmq::setLastError(error + ".");
        }
        return result;
    } catch (const std::bad_alloc&) {
        vmq::setLastError(std::string(doing) + " failed: out of memory.");
    } catch (...) {
        vmq::setLastError(std::string(doing) + " failed with an unknown internal error.");
    }
    return Result{};
}

} // namespace

extern "C" PELKU_VMQ_API SerializedBytes* Pelku_Vmq_Compression_SerializeMesh(const CompressedMesh* mesh, int32_t predictionMode,
                                                                              const void* metadata, size_t metadataSize)
{
    return reportFailure<SerializedBytes*>("Serializing", [&](std::string& error) -> SerializedBytes* {
        if (!mesh) {
            error = "cannot serialize: the compressed mesh is null";
            return nullptr;
        }
        return vmq::serializeMesh(*mesh, predictionMode, metadata, metadataSize, error);
    });
}

extern "C" PELKU_VMQ_API SerializedBytes* Pelku_Vmq_Compression_SerializeSequence(const CompressedSequence* sequence,
                                                                                  int32_t predictionMode, const void* metadata,
                                                                                  size_t metadataSize)
{
    return reportFailure<SerializedBytes*>("Serializing", [&](std::string& error) -> SerializedBytes* {
        if (!sequence) {
            error = "cannot serialize: the compressed sequence is null";
            return nullptr;
        }
        return vmq::serializeSequence(*sequence, predictionMode, metadata, metadataSize, error);
    });
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseSerializedBytes(SerializedBytes* bytes)
{
    vmq::releaseSerializedBytes(bytes);
}

extern "C" PELKU_VMQ_API bool Pelku_Vmq_Compression_GetSerializedInfo(const void* bytes, size_t size, SerializedInfo* info)
{
    return reportFailure<bool>("Reading the serialized record", [&](std::string& error) {
        if (!info) {
            error = "the info record to fill is null";
            return false;
        }
        return vmq::readSerializedInfo(static_cast<const uint8_t*>(bytes), size, *info, error);
    });
}

extern "C" PELKU_VMQ_API CompressedMesh* Pelku_Vmq_Compression_DeserializeMesh(const void* bytes, size_t size, int32_t* predictionMode)
{
    return reportFailure<CompressedMesh*>("Reading the serialized record", [&](std::string& error) {
        return vmq::deserializeMesh(static_cast<const uint8_t*>(bytes), size, predictionMode, error);
    });
}

extern "C" PELKU_VMQ_API CompressedSequence* Pelku_Vmq_Compression_DeserializeSequence(const void* bytes, size_t size,
                                                                                      int32_t* predictionMode)
{
    return reportFailure<CompressedSequence*>("Reading the serialized record", [&](std::string& error) {
        return vmq::deserializeSequence(static_cast<const uint8_t*>(bytes), size, predictionMode, error);
    });
}
