// Copying a built partition out of a compressed mesh, and freeing the copy.
#include "partition/partition.h"

#include <new>

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
