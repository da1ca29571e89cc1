// The CUDA decoder: the record's arrays and the prepared lookups copied to the device in one block,
// and a kernel that decodes one meshlet per warp with the shared per-meshlet routine (lane 0 walks
// the strips while the other lanes read the channels; see readMeshletOnLane).
#include "gpu/cuda_decoder.h"

#include "decode/decoder.h"
#include "decode/meshlet_decode.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

struct CudaMeshDecoder {
    MeshDecoder prepared;  // the host's checks, lookups and meshlet counts
    vmq::MeshView view;    // the same view, pointing into device memory
    void* block = nullptr; // the record's arrays, the lookups and the prepared meshlets
    uint32_t* triangles = nullptr;
    uint32_t* grid = nullptr;
    float* values = nullptr;
    unsigned long long* failure = nullptr; // the smallest (meshlet, channel, status) that failed
    vmq::TopologyScratchSize scratch{vmq::MeshletCounts{}}; // a warp's, for the largest meshlet
    bool decoded = false;

    ~CudaMeshDecoder()
    {
        cudaFree(block);
        cudaFree(triangles);
        cudaFree(grid);
        cudaFree(values);
        cudaFree(failure);
    }
};

namespace vmq {

namespace {

constexpr uint32_t kWarpSize = 32;
constexpr uint32_t kMaxWarpsPerBlock = 4;
constexpr size_t kSharedBytesPerBlock = 48 * 1024; // available without opting in, on every device
constexpr unsigned long long kNoFailure = ~0ull;

// One meshlet per warp, with the warp's topology scratch in shared memory.
__global__ void decodeMeshletsKernel(MeshView view, uint32_t* triangles, uint32_t* grid, float* values, TopologyScratchSize size,
                                     uint32_t warpsPerBlock, unsigned long long* failure)
{
    extern __shared__ uint32_t shared[];
    const uint32_t warp = threadIdx.x / kWarpSize, lane = threadIdx.x % kWarpSize;
    const uint32_t m = blockIdx.x * warpsPerBlock + warp;
    if (m >= view.meshletCount)
        return; // the whole warp
    const TopologyScratch scratch = size.lists(shared + size_t(warp) * size.words);
    uint32_t channel = 0;
    const DecodeStatus status = readMeshletOnLane(view, m, lane, kWarpSize, scratch, triangles, grid, channel);
    if (status != DECODED)
        atomicMin(failure, (static_cast<unsigned long long>(m) << 32) | (channel << 8) | status);
    if (__any_sync(0xffffffffu, status != DECODED))
        return;
    __syncwarp(); // orders lane 0's predictors before the other lanes read them
    finishMeshletOnLane(view, m, lane, kWarpSize, scratch.predictors, grid, values);
}

std::string cudaFailure(cudaError_t status)
{
    return std::string("Cannot decode on the GPU: ") + cudaGetErrorString(status) + ".";
}

// The arrays copied to the device, placed in one block at 16-byte aligned offsets.
struct BlockLayout {
    std::vector<unsigned char> host;

    size_t place(size_t bytes)
    {
        const size_t at = (host.size() + 15) & ~size_t(15);
        host.resize(at + bytes);
        return at;
    }
    template <typename T>
    size_t copy(const T* data, size_t count)
    {
        const size_t at = place(count * sizeof(T));
        if (count > 0)
            std::memcpy(host.data() + at, data, count * sizeof(T));
        return at;
    }
};

template <typename T>
const T* onDevice(void* block, size_t offset)
{
    return reinterpret_cast<const T*>(static_cast<unsigned char*>(block) + offset);
}

template <typename T>
cudaError_t allocate(T*& pointer, size_t count)
{
    return cudaMalloc(reinterpret_cast<void**>(&pointer), std::max<size_t>(count, 1) * sizeof(T));
}

} // namespace

CudaMeshDecoder* createCudaDecoder(const CompressedMesh& mesh, int32_t predictionMode, std::string& error)
{
    auto decoder = std::make_unique<CudaMeshDecoder>();
    MeshDecoder& prepared = decoder->prepared;
    if (!prepareDecoder(mesh, predictionMode, prepared, error))
        return nullptr;
    int devices = 0;
    if (cudaGetDeviceCount(&devices) != cudaSuccess || devices == 0) {
        error = "Cannot decode on the GPU: no CUDA device is available.";
        return nullptr;
    }
    const MeshView& host = prepared.view;
    const uint32_t m = host.meshletCount, c = host.channelCount;

    // Everything the kernel reads, in one block: the bitstreams, the tables (whole blobs, so that
    // the trees keep their places), the lookups, the prepared meshlets, the headers and the
    // dequantisation; then the channel records, which point into the block.
    BlockLayout layout;
    const size_t globalWords = layout.copy(host.global.words, host.global.wordCount);
    const size_t globalBlob = layout.copy(mesh.tableBlobBegin, size_t(mesh.tableBlobEnd - mesh.tableBlobBegin));
    const size_t lookups = layout.copy(prepared.lookups.get(), prepared.lookupEntries);
    const size_t meshlets = layout.copy(host.meshlets, m);
    const size_t headers = layout.copy(host.headers, size_t(m) * kMeshletHeaderWords);
    const size_t dequantisation = layout.copy(prepared.dequantisation.data(), prepared.dequantisation.size());
    std::vector<size_t> channelWords(c), channelOffsets(c), channelBlobs(c);
    for (uint32_t k = 0; k < c; ++k) {
        const ChannelStreams& channel = mesh.channels[k];
        channelWords[k] = layout.copy(host.channels[k].stream.words, host.channels[k].stream.wordCount);
        channelOffsets[k] = layout.copy(host.channels[k].meshletBitOffsets, m);
        channelBlobs[k] = layout.copy(channel.tableBlobBegin, size_t(channel.tableBlobEnd - channel.tableBlobBegin));
    }
    const size_t channels = layout.place(size_t(c) * sizeof(ChannelStream));

    if (const cudaError_t status = cudaMalloc(&decoder->block, layout.host.size()); status != cudaSuccess) {
        error = cudaFailure(status);
        return nullptr;
    }
    void* block = decoder->block;
    auto deviceLookup = [&](const StreamLookup& lookup, const uint32_t* blobBegin, size_t blob) {
        StreamLookup moved = lookup;
        moved.tree = onDevice<uint32_t>(block, blob) + (lookup.tree - blobBegin);
        moved.lookup = lookup.lookup >= prepared.lookups.get() && lookup.lookup < prepared.lookups.get() + prepared.lookupEntries
                           ? onDevice<uint32_t>(block, lookups) + (lookup.lookup - prepared.lookups.get())
                           : nullptr; // the heads' lookups serve the host alone
        return moved;
    };
    MeshView& view = decoder->view;
    view = host;
    view.global.words = onDevice<uint32_t>(block, globalWords);
    for (uint32_t s = 0; s < kGlobalStreamCount; ++s)
        view.globalStreams[s] = deviceLookup(host.globalStreams[s], mesh.tableBlobBegin, globalBlob);
    std::vector<ChannelStream> deviceChannels(c);
    for (uint32_t k = 0; k < c; ++k) {
        deviceChannels[k].stream = {onDevice<uint32_t>(block, channelWords[k]), host.channels[k].stream.wordCount};
        deviceChannels[k].meshletBitOffsets = onDevice<uint32_t>(block, channelOffsets[k]);
        deviceChannels[k].residuals = deviceLookup(host.channels[k].residuals, mesh.channels[k].tableBlobBegin, channelBlobs[k]);
    }
    if (c > 0)
        std::memcpy(layout.host.data() + channels, deviceChannels.data(), size_t(c) * sizeof(ChannelStream));
    view.meshlets = onDevice<PreparedMeshlet>(block, meshlets);
    view.headers = onDevice<uint32_t>(block, headers);
    view.channels = onDevice<ChannelStream>(block, channels);
    view.scales = onDevice<float>(block, dequantisation);
    view.ranges = view.scales + c;
    view.mins = view.ranges + c;

    const size_t values = size_t(prepared.vertexCount) * c;
    cudaError_t status = cudaMemcpy(block, layout.host.data(), layout.host.size(), cudaMemcpyHostToDevice);
    if (status == cudaSuccess)
        status = allocate(decoder->triangles, size_t(prepared.triangleCount) * 3);
    if (status == cudaSuccess)
        status = allocate(decoder->grid, values);
    if (status == cudaSuccess)
        status = allocate(decoder->values, values);
    if (status == cudaSuccess)
        status = allocate(decoder->failure, 1);
    if (status != cudaSuccess) {
        error = cudaFailure(status);
        return nullptr;
    }

    decoder->scratch = TopologyScratchSize(prepared.largest);
    return decoder.release();
}

void releaseCudaDecoder(CudaMeshDecoder* decoder)
{
    delete decoder;
}

bool cudaDecodeMesh(CudaMeshDecoder& decoder, CudaDecodedBuffers& buffers, std::string& error)
{
    const MeshView& view = decoder.view;
    const size_t sharedPerWarp = size_t(decoder.scratch.words) * sizeof(uint32_t);
    const uint32_t warpsPerBlock = uint32_t(std::clamp<size_t>(kSharedBytesPerBlock / sharedPerWarp, 1, kMaxWarpsPerBlock));
    cudaError_t status = cudaMemset(decoder.failure, 0xFF, sizeof(unsigned long long));
    if (status == cudaSuccess && view.meshletCount > 0) {
        const uint32_t blocks = (view.meshletCount + warpsPerBlock - 1) / warpsPerBlock;
        decodeMeshletsKernel<<<blocks, warpsPerBlock * kWarpSize, warpsPerBlock * sharedPerWarp>>>(
            view, decoder.triangles, decoder.grid, decoder.values, decoder.scratch, warpsPerBlock, decoder.failure);
        status = cudaGetLastError();
    }
    unsigned long long failure = kNoFailure;
    if (status == cudaSuccess)
        status = cudaMemcpy(&failure, decoder.failure, sizeof failure, cudaMemcpyDeviceToHost); // waits for the kernel
    if (status != cudaSuccess) {
        error = cudaFailure(status);
        return false;
    }
    decoder.decoded = failure == kNoFailure;
    if (!decoder.decoded) {
        error = decodeFailureMessage(uint32_t(failure >> 32), uint32_t(failure >> 8) & 0xFFFFFFu, DecodeStatus(failure & 0xFF));
        return false;
    }
    buffers.triangleCount = decoder.prepared.triangleCount;
    buffers.vertexCount = decoder.prepared.vertexCount;
    buffers.channelCount = view.channelCount;
    buffers.triangles = decoder.triangles;
    buffers.gridValues = decoder.grid;
    buffers.values = decoder.values;
    return true;
}

DecodedMesh* downloadDecodedMesh(const CudaMeshDecoder& decoder, std::string& error)
{
    if (!decoder.decoded) {
        error = "Cannot decode on the GPU: the decoder holds no decoded mesh.";
        return nullptr;
    }
    DecodedBuffers buffers;
    DecodedMesh* decoded = newDecodedMesh(decoder.prepared, buffers);
    const size_t values = size_t(decoded->vertexCount) * decoded->channelCount;
    cudaError_t status = cudaMemcpy(buffers.triangles, decoder.triangles, size_t(decoded->triangleCount) * 3 * sizeof(uint32_t),
                                    cudaMemcpyDeviceToHost);
    if (status == cudaSuccess)
        status = cudaMemcpy(buffers.grid, decoder.grid, values * sizeof(uint32_t), cudaMemcpyDeviceToHost);
    if (status == cudaSuccess)
        status = cudaMemcpy(buffers.values, decoder.values, values * sizeof(float), cudaMemcpyDeviceToHost);
    if (status != cudaSuccess) {
        releaseDecodedMesh(decoded);
        error = cudaFailure(status);
        return nullptr;
    }
    return decoded;
}

} // namespace vmq
