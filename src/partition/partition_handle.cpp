// Copying a built partition out of a compressed mesh, and freeing the copy.
#include "format/format.h"
#include "partition/partition.h"

#include "api/last_error.h"

#include <algorithm>
#include <new>
#include <string>

extern "C" PELKU_VMQ_API MeshletPartitionHandle* Pelku_Vmq_Compression_GetMeshletPartition(const CompressedMesh* mesh)
{
    if (!mesh || !mesh->partition)
        return nullptr;
    try {
        auto* handle = new MeshletPartitionHandle{nullptr};
        try {
            handle->partition = new MeshletPartition(*mesh->partition);
        } catch (...) {
            delete handle;
            return nullptr;
        }
        return handle;
    } catch (...) {
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
        if (!meshletOffsets)
            return refuse("meshletOffsets is null");
        if ((!triangles && triangleCount) || meshletCount > UINT32_MAX || triangleCount > UINT32_MAX)
            return refuse(!triangles ? "triangles is null" : "too many meshlets or triangles");
        if (meshletOffsets[0] != 0)
            return refuse("meshletOffsets[0] is " + std::to_string(meshletOffsets[0]) + ", not 0");
        if (meshletOffsets[meshletCount] != triangleCount)
            return refuse("the last meshlet offset is " + std::to_string(meshletOffsets[meshletCount]) + " for " +
                          std::to_string(triangleCount) + " triangles");
        for (size_t m = 0; m < meshletCount; ++m) {
            const uint32_t begin = meshletOffsets[m], end = meshletOffsets[m + 1];
            if (end <= begin)
                return refuse("meshlet " + std::to_string(m) + (end < begin ? " has a decreasing offset" : " is empty"));
            if (end - begin > vmq::kMaxMeshletElements)
                return refuse("meshlet " + std::to_string(m) + " has " + std::to_string(end - begin) +
                              " triangles; a meshlet holds at most " + std::to_string(vmq::kMaxMeshletElements));
        }
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
        vmq::setLastError("Cannot create the partition: out of memory.");
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
        return 0;
    }
}
