// libFuzzer target over the decode entry points: records made by the library, then changed by
// the input (words set, bits flipped, arrays cut or grown, counts and channels altered). A
// decode either fails with a message or succeeds with a mesh that holds together: whole and
// meshlet-by-meshlet decodes agree, meshlets tile the totals, every corner names a vertex of
// the mesh, and buffers too small are refused. An unchanged record decodes to what went in.
#include "fuzz_support.h"

#include <cmath>
#include <memory>

using namespace vmq_fuzz;

namespace {

struct Source {
    std::shared_ptr<CompressedMesh> record;
    int32_t mode;
    std::vector<GridTriangle> expected;
};

// A bumpy grid with two groups, quantised finely enough that some channels need wide values.
std::vector<Source> makeSources()
{
    std::vector<Source> sources;
    for (int variant = 0; variant < 4; ++variant) {
        const uint32_t n = variant == 3 ? 1 : 9;
        std::vector<float> positions, normals;
        std::vector<Triangle> triangles;
        std::vector<uint32_t> groups;
        for (uint32_t y = 0; y <= n; ++y)
            for (uint32_t x = 0; x <= n; ++x) {
                const float u = float(x) / float(n), v = float(y) / float(n);
                positions.insert(positions.end(), {u, v, (variant == 2 ? 50.0f : 0.2f) * std::sin(7.0f * u * v)});
                normals.insert(normals.end(), {std::sin(3 * u), std::cos(2 * v), 0.5f});
            }
        for (uint32_t y = 0; y < n; ++y)
            for (uint32_t x = 0; x < n; ++x) {
                const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
                triangles.push_back({{a, b, d}});
                triangles.push_back({{a, d, c}});
                groups.insert(groups.end(), 2, x < n / 2 ? 3u : 1u);
            }
        const MeshAttribute attributes[] = {{POSITION, positions.data(), positions.data() + positions.size(), 3},
                                            {NORMAL, normals.data(), normals.data() + normals.size(), 3}};
        MeshDescriptor mesh{};
        mesh.trianglesBegin = triangles.data();
        mesh.trianglesEnd = triangles.data() + triangles.size();
        mesh.attributesBegin = attributes;
        mesh.attributesEnd = attributes + 2;
        mesh.triangleGroupsBegin = groups.data();
        mesh.triangleGroupsEnd = groups.data() + groups.size();
        CompressionSettings settings{};
        settings.optimizeMesh = 0;
        settings.maxMeshletVertices = variant == 0 ? 64 : 16;
        settings.disableParallelogramPrediction = variant == 1;
        settings.positionQuality = variant == 2 ? 1.2f : 0.4f;
        CompressedMesh* record = Pelku_Vmq_Compression_CompressMesh(&mesh, &settings);
        require(record != nullptr, std::string("a seed mesh does not compress: ") + Pelku_Vmq_Compression_GetCompressionErrorString());
        std::vector<std::array<uint32_t, 3>> list;
        for (const Triangle& t : triangles)
            list.push_back({t.indices[0], t.indices[1], t.indices[2]});
        const int32_t mode = variant == 1 ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM;
        std::vector<MeshAttribute> views(attributes, attributes + 2);
        sources.push_back({std::shared_ptr<CompressedMesh>(record, Pelku_Vmq_Compression_ReleaseCompressedMesh), mode,
                           expectedTriangles(views, settings, list, groups)});
    }
    return sources;
}

// Applies one change read from the input; false when the input has run out.
bool change(Bytes& in, OwnedRecord& r)
{
    if (in.left() == 0)
        return false;
    std::vector<std::vector<uint32_t>*> arrays = r.wordArrays();
    std::vector<uint32_t>& words = *arrays[in.below(uint32_t(arrays.size()))];
    switch (in.below(8)) {
    case 0: // set a word
        if (!words.empty())
            words[in.u16() % words.size()] = in.pick({0u, 1u, 2047u, 2048u, 0xFFFFFFFFu, 0x80000000u, in.u32()});
        break;
    case 1: // flip a bit
        if (!words.empty())
            words[in.u16() % words.size()] ^= 1u << in.below(32);
        break;
    case 2: // cut
        words.resize(words.empty() ? 0 : in.u16() % words.size());
        break;
    case 3: // grow
        words.push_back(in.u32());
        break;
    case 4: { // a count of the record
        uint32_t* counts[] = {&r.counts.meshletCount, &r.counts.triangleCount, &r.counts.vertexCount,
                              &r.counts.indexWordCount, &r.counts.channelCount, &r.counts.valueCount};
        uint32_t& count = *counts[in.below(6)];
        count = in.flag() ? count + uint32_t(int8_t(in.byte())) : in.u32();
        break;
    }
    case 5: // a dequantisation record
        if (!r.quantParams.empty()) {
            QuantParams& q = r.quantParams[in.below(uint32_t(r.quantParams.size()))];
            (in.flag() ? q.bits : q.max) = in.f32();
        }
        break;
    case 6: // a channel lost or doubled
        if (!r.channels.empty())
            in.flag() ? r.channels.pop_back() : r.channels.push_back(r.channels.back());
        break;
    default: // a meshlet's offsets swapped with the next one's
        if (r.meshletBitOffsets.size() >= 2) {
            const size_t m = in.below(uint32_t(r.meshletBitOffsets.size() - 1));
            std::swap(r.meshletBitOffsets[m], r.meshletBitOffsets[m + 1]);
        }
        break;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<Source> sources = makeSources();
    Bytes in(data, size);
    const Source& source = sources[in.below(uint32_t(sources.size()))];
    const uint8_t modeByte = in.byte();
    const int32_t mode = modeByte == 0xFF ? 7 : modeByte & 1 ? source.mode : 1 - source.mode;
    OwnedRecord record(*source.record);
    bool changed = false;
    for (int k = 0; k < 8 && change(in, record); ++k)
        changed = true;
    const CompressedMesh& view = record.view();

    if (!changed && mode == source.mode) {
        requireRoundTrip(view, mode, source.expected, "an unchanged record");
        return 0;
    }
    DecodedMesh* decoded = Pelku_Vmq_Compression_DecodeMesh(&view, mode);
    if (!decoded) {
        checkMessage("DecodeMesh");
        if (std::string(Pelku_Vmq_Compression_GetCompressionErrorString()).find("out of memory") != std::string::npos)
            return 0;
        MeshDecoder* decoder = Pelku_Vmq_Compression_CreateMeshDecoder(&view, mode);
        if (!decoder) {
            checkMessage("CreateMeshDecoder");
            return 0;
        }
        // Some meshlet must fail on its own, with a message, when it is decoded as fully as the
        // whole mesh is (triangles, grid values and floats).
        bool failed = false;
        std::vector<uint32_t> corners(3 * PELKU_VMQ_MAX_MESHLET_ELEMENTS);
        std::vector<uint32_t> grid(size_t(PELKU_VMQ_MAX_MESHLET_ELEMENTS) * view.channelCount);
        std::vector<float> values(grid.size());
        for (uint32_t m = 0; m < view.meshletCount && !failed; ++m)
            if (!Pelku_Vmq_Compression_DecodeMeshlet(decoder, m, corners.data(), PELKU_VMQ_MAX_MESHLET_ELEMENTS, grid.data(), values.data(),
                                                     PELKU_VMQ_MAX_MESHLET_ELEMENTS, nullptr)) {
                checkMessage("DecodeMeshlet");
                failed = true;
            }
        Pelku_Vmq_Compression_ReleaseMeshDecoder(decoder);
        require(failed, "a record that does not decode whole decodes meshlet by meshlet");
        return 0;
    }
    require(Pelku_Vmq_Compression_GetCompressionErrorString()[0] == 0, "a successful decode left an error text");
    checkDecoded(view, *decoded, mode);
    Pelku_Vmq_Compression_ReleaseDecodedMesh(decoded);
    return 0;
}
