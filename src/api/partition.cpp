// The exported partition handles: a built partition copied out of a compressed mesh, a host's
// own meshlets made into a partition, reading a handle, and freeing it.
#include "api/last_error.h"
#include "partition/partition.h"

#include <algorithm>
#include <new>
#include <string>

extern "C" PELKU_VMQ_API MeshletPartitionHandle* Pelku_Vmq_Compression_GetMeshletPartition(const CompressedMesh* mesh)
{
    if (!mesh || !mesh->partition)
        return nullptr;
    MeshletPartitionHandle* handle = nullptr;
    try {
        handle = new MeshletPartitionHandle{nullptr};
        handle->partition = new MeshletPartition(*mesh->partition);
        return handle;
    } catch (...) {
        delete handle;
        vmq::setLastErrorLiteral("Cannot copy the partition: out of memory.");
        return nullptr;
    }
}

extern "C" PELKU_VMQ_API void Pelku_Vmq_Compression_ReleaseMeshletPartition(MeshletPartitionHandle* handle)
{
    if (!handle)
        return;
    delete handle->partition;
    delete handle;
}

extern "C" PELKU_VMQ_API MeshletPartitionHandle* Pelku_Vmq_Compression_CreateMeshletPartition(const uint32_t* triangles, size_t triangleCount,
                                                                                              const uint32_t* meshletOffsets, size_t meshletCount)
{
    try {
        vmq::clearLastError();
        auto refuse = [](const std::string& message) -> MeshletPartitionHandle* {
            vmq::setLastError("Cannot create the partition: " + message + ".");
            return nullptr;
        };
        const std::string problem = vmq::checkMeshletOffsets(triangles, triangleCount, meshletOffsets, meshletCount);
        if (!problem.empty())
            return refuse(problem);
        auto* partition = new MeshletPartition();
        try {
            partition->meshlets.resize(meshletCount);
            for (size_t m = 0; m < meshletCount; ++m)
                partition->meshlets[m].assign(triangles + meshletOffsets[m], triangles + meshletOffsets[m + 1]);
            return new MeshletPartitionHandle{partition};
        } catch (...) {
            delete partition;
            throw;
        }
    } catch (...) {
        vmq::setLastErrorLiteral("Cannot create the partition: out of memory.");
        return nullptr;
    }
}

extern "C" PELKU_VMQ_API uint32_t Pelku_Vmq_Compression_GetPartitionMeshletCount(const MeshletPartitionHandle* handle)
{
    return handle && handle->partition ? uint32_t(handle->partition->meshlets.size()) : 0;
}

extern "C" PELKU_VMQ_API uint32_t Pelku_Vmq_Compression_GetPartitionMeshletTriangles(const MeshletPartitionHandle* handle, uint32_t meshlet,
                                                                                     uint32_t* destination, size_t capacity)
{
    try {
        if (!handle || !handle->partition) {
            vmq::setLastError("Cannot read the partition: the handle is null or empty.");
            return 0;
        }
        const auto& meshlets = handle->partition->meshlets;
        if (meshlet >= meshlets.size()) {
            vmq::setLastError("Cannot read the partition: meshlet " + std::to_string(meshlet) + " does not exist; it has " +
                              std::to_string(meshlets.size()) + ".");
            return 0;
        }
        const std::vector<uint32_t>& list = meshlets[meshlet];
        if (destination) {
            if (capacity < list.size()) {
                vmq::setLastError("Cannot read the partition: meshlet " + std::to_string(meshlet) + " has " + std::to_string(list.size()) +
                                  " triangles, more than the destination holds.");
                return 0;
            }
            std::copy(list.begin(), list.end(), destination);
        }
        return uint32_t(list.size());
    } catch (...) {
        vmq::setLastErrorLiteral("Cannot read the partition: out of memory.");
        return 0;
    }
}
