// The worked example of docs/format.md and the document's reading rules. The tiny mesh of the
// example compresses to exactly the words, tables, offsets and headers the document shows, and
// a reader written from the document alone (below; it uses no library header beyond the public
// record) decodes that record and others exactly as the library's decoder does.
#include "pelku_vmq_compression.h"
#include "pelku_vmq_decode.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- The reader of docs/format.md ---------------------------------------------------------

enum : uint32_t { ELEM_COUNTS, OTHER_DATA, EDGE_FLAGS, RESTART_FLAGS, IS_FIRST, INDEX_DATA };
enum : uint32_t { ATTRIB_DATA };

// One coder's bitstream and table blob.
struct Coder {
    const uint32_t* words;
    size_t wordCount;
    const uint32_t* blob;
    size_t blobLength;
    uint32_t streamCount;

    // Stream s's decode table: from header word s to header word s + 1 (the last to the end).
    std::vector<uint32_t> table(uint32_t s) const
    {
        const uint32_t end = s + 1 < streamCount ? blob[s + 1] : uint32_t(blobLength);
        return std::vector<uint32_t>(blob + blob[s], blob + end);
    }
};

Coder globalCoder(const CompressedMesh& mesh)
{
    return {mesh.streamWordsBegin, size_t(mesh.streamWordsEnd - mesh.streamWordsBegin), mesh.tableBlobBegin,
            size_t(mesh.tableBlobEnd - mesh.tableBlobBegin), 7};
}

Coder channelCoder(const CompressedMesh& mesh, uint32_t c)
{
    const ChannelStreams& ch = mesh.channels[c];
    return {ch.streamWordsBegin, size_t(ch.streamWordsEnd - ch.streamWordsBegin), ch.tableBlobBegin,
            size_t(ch.tableBlobEnd - ch.tableBlobBegin), 2};
}

// A read position in one coder's bitstream; keeps every symbol it reads, by stream.
struct SymbolReader {
    const Coder& coder;
    uint64_t position;
    std::map<uint32_t, std::vector<uint32_t>> read;

    uint32_t symbol(uint32_t stream)
    {
        const std::vector<uint32_t> t = coder.table(stream);
        if (t.empty()) {
            ADD_FAILURE() << "stream " << stream << " has no table";
            return 0;
        }
        uint32_t entry = t[0];
        while ((entry & 1) == 0) { // an inner node: one bit picks the child
            if (position >= uint64_t(coder.wordCount) * 32 || (entry >> 1) + 1 >= t.size()) {
                ADD_FAILURE() << "stream " << stream << " cannot be read at bit " << position;
                return 0;
            }
            const uint32_t bit = (coder.words[position >> 5] >> (31 - (position & 31))) & 1;
            ++position;
            entry = t[(entry >> 1) + bit];
        }
        read[stream].push_back(entry >> 1);
        return entry >> 1;
    }
    uint32_t value32(uint32_t stream)
    {
        const uint32_t low = symbol(stream), middle = symbol(stream), high = symbol(stream);
        return low | (middle << 11) | (high << 22);
    }
    uint32_t value22(uint32_t stream)
    {
        const uint32_t low = symbol(stream);
        return low | (symbol(stream) << 11);
    }
};

int32_t unzigzag(uint32_t z)
{
    return int32_t(z >> 1) ^ -int32_t(z & 1);
}

bool bitOf(const std::vector<uint32_t>& bytes, uint32_t k)
{
    return k / 8 < bytes.size() && ((bytes[k / 8] >> (k % 8)) & 1);
}

using Corners = std::array<uint32_t, 3>;

struct ReadMeshlet {
    uint32_t isFirstCount = 0, indexCount = 0, triangleCount = 0, vertexCount = 0;
    uint32_t triangleOffset = 0, vertexOffset = 0, indexWordOffset = 0, groupId = 0;
    std::vector<uint32_t> edgeBytes, restartBytes, isFirstBytes, index;
    bool everyReferenceHasBit = false;
    uint32_t restartCount = 0;               // restart bits set
    std::vector<Corners> triangles;          // meshlet vertex numbers
    std::vector<uint32_t> firstTriangle;     // per vertex: the triangle that numbered it
    std::vector<std::vector<uint32_t>> residuals, grid;
    std::vector<std::vector<float>> values;
    std::map<uint32_t, std::vector<uint32_t>> globalSymbols;
    std::vector<std::vector<uint32_t>> channelSymbols;
};

ReadMeshlet readMeshlet(const CompressedMesh& mesh, uint32_t m, bool deltaPrediction)
{
    ReadMeshlet r;
    const Coder global = globalCoder(mesh);
    SymbolReader in{global, mesh.meshletBitOffsetsBegin[m], {}};
    r.isFirstCount = in.symbol(ELEM_COUNTS);
    r.indexCount = in.symbol(ELEM_COUNTS);
    r.triangleCount = in.symbol(ELEM_COUNTS);
    r.vertexCount = in.symbol(ELEM_COUNTS);
    r.triangleOffset = in.value32(OTHER_DATA);
    r.vertexOffset = in.value32(OTHER_DATA);
    r.indexWordOffset = in.value32(OTHER_DATA);
    r.groupId = in.symbol(OTHER_DATA);
    const uint32_t flagBytes = r.triangleCount > 1 ? (r.triangleCount - 1 + 7) / 8 : 0;
    for (uint32_t i = 0; i < flagBytes; ++i)
        r.edgeBytes.push_back(in.symbol(EDGE_FLAGS));
    for (uint32_t i = 0; i < flagBytes; ++i)
        r.restartBytes.push_back(in.symbol(RESTART_FLAGS));
    for (uint32_t i = 0; i < (r.isFirstCount + 7) / 8; ++i)
        r.isFirstBytes.push_back(in.symbol(IS_FIRST));
    uint32_t previous = 0;
    for (uint32_t k = 0; k < r.indexCount; ++k) {
        previous += uint32_t(unzigzag(in.symbol(INDEX_DATA)));
        r.index.push_back(previous);
    }
    r.globalSymbols = in.read;

    // Strip symbols to triangles.
    const uint32_t T = r.triangleCount;
    auto restart = [&](uint32_t i) { return i == 0 || bitOf(r.restartBytes, i - 1); };
    uint32_t references = 0;
    for (uint32_t i = 0; i < T; ++i) {
        references += restart(i) ? 3 : 1;
        r.restartCount += i > 0 && restart(i) ? 1 : 0;
    }
    r.everyReferenceHasBit = r.isFirstCount == references;
    EXPECT_TRUE(r.everyReferenceHasBit || r.isFirstCount + 3 == references) << "meshlet " << m;
    uint32_t numbered = 0, bitsRead = 0, indexRead = 0;
    auto reference = [&](uint32_t i) -> uint32_t {
        bool isNew = true;
        if (r.everyReferenceHasBit || numbered >= 3)
            isNew = bitOf(r.isFirstBytes, bitsRead++);
        if (isNew) {
            r.firstTriangle.push_back(i);
            return numbered++;
        }
        EXPECT_LT(indexRead, r.index.size());
        return indexRead < r.index.size() ? r.index[indexRead++] : 0;
    };
    for (uint32_t i = 0; i < T; ++i) {
        if (restart(i)) {
            const uint32_t a = reference(i), b = reference(i), c = reference(i);
            r.triangles.push_back({a, b, c});
            continue;
        }
        const Corners p = r.triangles[i - 1];
        const uint32_t n = reference(i);
        r.triangles.push_back(bitOf(r.edgeBytes, i - 1) ? Corners{p[2], p[1], n} : Corners{p[0], p[2], n});
    }
    EXPECT_EQ(numbered, r.vertexCount);
    EXPECT_EQ(bitsRead, r.isFirstCount);
    EXPECT_EQ(indexRead, r.indexCount);

    // Residuals, prediction, dequantisation.
    const uint32_t V = r.vertexCount;
    const uint32_t wideMask = mesh.meshletHeadersBegin[size_t(m) * 8 + 7];
    for (uint32_t c = 0; c < mesh.channelCount; ++c) {
        const Coder coder = channelCoder(mesh, c);
        SymbolReader ch{coder, mesh.channels[c].meshletBitOffsetsBegin[m], {}};
        std::vector<uint32_t> residual(V + 1, 0);
        residual[0] = ch.value22(ATTRIB_DATA);
        const bool wide = (wideMask >> (c % 32)) & 1;
        for (uint32_t v = 1; v < V;) {
            if (wide) {
                residual[v++] = ch.value22(ATTRIB_DATA);
                continue;
            }
            const uint32_t s = ch.symbol(ATTRIB_DATA);
            if (s & 1) { // a pair
                residual[v] = (s >> 1) & 31;
                residual[v + 1] = s >> 6;
                v += 2;
            } else {
                residual[v++] = s >> 1;
            }
        }
        residual.resize(V);
        std::vector<uint32_t> q(V);
        for (uint32_t k = 0; k < V; ++k) {
            uint32_t prediction = k == 0 ? 0 : q[k - 1];
            const uint32_t a = r.firstTriangle[k];
            if (k > 0 && !deltaPrediction && !restart(a)) {
                const Corners& t = r.triangles[a - 1];
                prediction = bitOf(r.edgeBytes, a - 1) ? q[t[1]] + q[t[2]] - q[t[0]] : q[t[0]] + q[t[2]] - q[t[1]];
            }
            q[k] = prediction + uint32_t(unzigzag(residual[k]));
        }
        const QuantParams& params = mesh.quantParamsBegin[c];
        std::vector<float> values(V);
        for (uint32_t k = 0; k < V; ++k) {
            const float scale = exp2f(-params.bits);
            const float range = params.max - params.min;
            values[k] = float(int32_t(q[k])) * scale * range + params.min;
        }
        r.residuals.push_back(residual);
        r.grid.push_back(q);
        r.values.push_back(values);
        r.channelSymbols.push_back(ch.read[ATTRIB_DATA]);
    }
    return r;
}

// Symbol -> code of one decode table, by walking it (bit 0 to the first child).
std::map<uint32_t, std::string> codesOf(const std::vector<uint32_t>& table, uint32_t node = 0, const std::string& prefix = "")
{
    std::map<uint32_t, std::string> codes;
    if (table[node] & 1) {
        codes[table[node] >> 1] = prefix;
        return codes;
    }
    for (uint32_t bit = 0; bit < 2; ++bit)
        codes.merge(codesOf(table, (table[node] >> 1) + bit, prefix + char('0' + bit)));
    return codes;
}

// ---- Meshes -------------------------------------------------------------------------------

struct Released {
    void operator()(CompressedMesh* m) const { Pelku_Vmq_Compression_ReleaseCompressedMesh(m); }
    void operator()(DecodedMesh* d) const { Pelku_Vmq_Compression_ReleaseDecodedMesh(d); }
};
using Record = std::unique_ptr<CompressedMesh, Released>;
using Decoded = std::unique_ptr<DecodedMesh, Released>;

struct Mesh {
    std::vector<float> positions;
    std::vector<Triangle> triangles;
    std::vector<uint32_t> groups;
    std::vector<float> extra; // a second attribute, when not empty
    int32_t extraKind = TEXCOORD;
    uint32_t extraComponents = 2;
};

Record compress(const Mesh& mesh, const CompressionSettings& settings)
{
    std::vector<MeshAttribute> attributes = {
        {POSITION, mesh.positions.data(), mesh.positions.data() + mesh.positions.size(), 3}};
    if (!mesh.extra.empty())
        attributes.push_back({mesh.extraKind, mesh.extra.data(), mesh.extra.data() + mesh.extra.size(), mesh.extraComponents});
    MeshDescriptor d{};
    d.trianglesBegin = mesh.triangles.data();
    d.trianglesEnd = mesh.triangles.data() + mesh.triangles.size();
    d.attributesBegin = attributes.data();
    d.attributesEnd = attributes.data() + attributes.size();
    d.triangleGroupsBegin = mesh.groups.data();
    d.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
    Record record(Pelku_Vmq_Compression_CompressMesh(&d, &settings));
    EXPECT_TRUE(record) << Pelku_Vmq_Compression_GetCompressionErrorString();
    return record;
}

// The document's example: a tetrahedron in group 1 and a quad, slightly lifted at one corner, in
// group 0; default settings with optimizeMesh off.
Mesh exampleMesh()
{
    Mesh mesh;
    mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 3, 0, 0.001f, 3.25f, 0, 0, 3.25f, 0.25f, 0, 3, 0.25f, 0};
    mesh.triangles = {{{0, 2, 1}}, {{0, 1, 3}}, {{1, 2, 3}}, {{0, 3, 2}}, {{4, 5, 6}}, {{4, 6, 7}}};
    mesh.groups = {1, 1, 1, 1, 0, 0};
    return mesh;
}

CompressionSettings exampleSettings()
{
    CompressionSettings settings{};
    settings.optimizeMesh = 0;
    return settings;
}

template <typename T>
std::vector<T> list(const T* begin, const T* end)
{
    return std::vector<T>(begin, end);
}

using Words = std::vector<uint32_t>;

// ---- The example ----------------------------------------------------------------------------

TEST(FormatExample, RecordFieldsOffsetsAndHeaders)
{
    const Record record = compress(exampleMesh(), exampleSettings());
    ASSERT_TRUE(record);
    const CompressedMesh& m = *record;
    EXPECT_EQ((Words{m.meshletCount, m.triangleCount, m.vertexCount, m.indexWordCount, m.channelCount, m.valueCount}),
              (Words{2, 6, 8, 1, 3, 24}));
    const QuantParams expectedParams[3] = {{0.0f, 3.25f, 12.0f}, {0.0f, 1.0f, 12.0f}, {0.0f, 1.0f, 12.0f}};
    ASSERT_EQ(m.quantParamsEnd - m.quantParamsBegin, 3);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(m.quantParamsBegin[c].min, expectedParams[c].min);
        EXPECT_EQ(m.quantParamsBegin[c].max, expectedParams[c].max);
        EXPECT_EQ(m.quantParamsBegin[c].bits, expectedParams[c].bits);
        EXPECT_EQ(m.channelKindsBegin[c], POSITION);
    }
    EXPECT_EQ(list(m.boundsMin, m.boundsMin + 3), (std::vector<float>{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(list(m.boundsMax, m.boundsMax + 3), (std::vector<float>{3.24920654296875f, 0.999755859375f, 0.999755859375f}));

    EXPECT_EQ(list(m.meshletBitOffsetsBegin, m.meshletBitOffsetsEnd), (Words{0, 21}));
    EXPECT_EQ(list(m.meshletValueOffsetsBegin, m.meshletValueOffsetsEnd), (Words{0, 12}));
    EXPECT_EQ(list(m.meshletTriangleOffsetsBegin, m.meshletTriangleOffsetsEnd), (Words{0, 2}));
    const Words channelOffsets[3] = {{0, 15}, {0, 15}, {0, 10}};
    for (uint32_t c = 0; c < 3; ++c)
        EXPECT_EQ(list(m.channels[c].meshletBitOffsetsBegin, m.channels[c].meshletBitOffsetsEnd), channelOffsets[c]) << c;

    EXPECT_EQ(list(m.meshletHeadersBegin, m.meshletHeadersEnd),
              (Words{3780, 0, 0, 315, 1024, 4, 0x80FF8080, 2, /**/ 0, 0, 0, 1260, 4095, 4095, 0xFF727272, 7}));
}

TEST(FormatExample, BitstreamsTablesAndCodes)
{
    const Record record = compress(exampleMesh(), exampleSettings());
    ASSERT_TRUE(record);
    const CompressedMesh& m = *record;
    struct CoderCase {
        Coder coder;
        Words blob, words;
        std::vector<std::map<uint32_t, std::string>> codes; // per stream
    };
    const CoderCase cases[] = {
        {globalCoder(m),
         {7, 16, 23, 26, 27, 28, 31, 2, 14, 6, 10, 9, 1, 3, 7, 5, 2, 6, 1, 9, 10, 3, 5, 2, 3, 11, 1, 3, 2, 1, 5, 1},
         {0xB1FFF0FB, 0xCFAA0000},
         {{{0, "100"}, {1, "101"}, {2, "01"}, {3, "00"}, {4, "11"}},
          {{0, "1"}, {1, "010"}, {2, "011"}, {4, "00"}},
          {{1, "0"}, {5, "1"}},
          {{0, ""}},
          {{1, ""}},
          {{0, "0"}, {2, "1"}},
          {{0, ""}}}},
        {channelCoder(m, 0),
         {2, 15, 2, 18, 6, 1, 10, 14, 943, 7, 2521, 22, 3, 2833, 945, 1},
         {0x196D45EF, 0x40000000},
         {{{0, "10"}, {1, "01"}, {3, "1100"}, {471, "111"}, {472, "001"}, {1260, "1101"}, {1416, "000"}}, {{0, ""}}}},
        {channelCoder(m, 1),
         {2, 13, 2, 6, 1, 18, 10, 14, 3, 4091, 4095, 4093, 7, 1},
         {0xB5DFE0A1},
         {{{0, "1"}, {1, "011"}, {3, "001"}, {2045, "0100"}, {2046, "000"}, {2047, "0101"}}, {{0, ""}}}},
        {channelCoder(m, 2),
         {2, 13, 2, 14, 6, 10, 1, 4091, 4093, 18, 7, 29, 931, 1},
         {0xF22B1FA8},
         {{{0, "11"}, {3, "01"}, {14, "000"}, {465, "001"}, {2045, "100"}, {2046, "101"}}, {{0, ""}}}},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k == 0 ? std::string("global coder") : "channel " + std::to_string(k - 1));
        const CoderCase& c = cases[k];
        EXPECT_EQ(list(c.coder.blob, c.coder.blob + c.coder.blobLength), c.blob);
        EXPECT_EQ(list(c.coder.words, c.coder.words + c.coder.wordCount), c.words);
        for (uint32_t s = 0; s < c.coder.streamCount; ++s)
            EXPECT_EQ(codesOf(c.coder.table(s)), c.codes[s]) << "stream " << s;
    }
}

TEST(FormatExample, SymbolsOfEachMeshletAndTheirDecoding)
{
    const Record record = compress(exampleMesh(), exampleSettings());
    ASSERT_TRUE(record);
    using Streams = std::map<uint32_t, Words>;
    struct MeshletCase {
        Streams global;
        std::vector<Words> channels;
        Words isFirstBits, index;
        std::vector<Corners> triangles;
        std::vector<Words> residuals, grid; // per channel
    };
    const MeshletCase cases[2] = {
        {{{ELEM_COUNTS, {1, 0, 2, 4}}, {OTHER_DATA, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, {EDGE_FLAGS, {1}}, {RESTART_FLAGS, {0}}, {IS_FIRST, {1}}},
         {{1416, 3, 0, 1260, 0}, {0, 1, 2047, 0, 0, 1, 0, 0}, {0, 0, 465, 14}},
         {1},
         {},
         {{0, 1, 2}, {2, 1, 3}},
         {{7560, 0, 630, 0}, {2048, 2047, 2048, 0}, {0, 8, 7, 7}},
         {{3780, 3780, 4095, 4095}, {1024, 0, 1024, 0}, {0, 4, 0, 0}}},
        {{{ELEM_COUNTS, {3, 2, 4, 4}}, {OTHER_DATA, {2, 0, 0, 4, 0, 0, 0, 0, 0, 1}}, {EDGE_FLAGS, {5}}, {RESTART_FLAGS, {0}}, {IS_FIRST, {1}}, {INDEX_DATA, {0, 2}}},
         {{0, 0, 472, 1, 471, 1, 471, 1}, {0, 0, 0, 0, 2046, 3, 2045, 3}, {2046, 3, 2045, 3, 0, 0, 2046, 3}},
         {1},
         {0, 1},
         {{0, 1, 2}, {2, 1, 3}, {2, 3, 0}, {0, 3, 1}},
         {{0, 2520, 2519, 2519}, {0, 0, 8190, 8189}, {8190, 8189, 0, 8190}},
         {{0, 1260, 0, 0}, {0, 0, 4095, 0}, {4095, 0, 0, 0}}},
    };
    const Decoded library(Pelku_Vmq_Compression_DecodeMesh(record.get(), PELKU_VMQ_PREDICTION_PARALLELOGRAM));
    ASSERT_TRUE(library);
    for (uint32_t m = 0; m < 2; ++m) {
        SCOPED_TRACE("meshlet " + std::to_string(m));
        const MeshletCase& c = cases[m];
        const ReadMeshlet r = readMeshlet(*record, m, false);
        EXPECT_EQ(r.globalSymbols, c.global);
        EXPECT_EQ(r.channelSymbols, c.channels);
        EXPECT_FALSE(r.everyReferenceHasBit);
        EXPECT_EQ(r.isFirstBytes, c.isFirstBits);
        EXPECT_EQ(r.index, c.index);
        EXPECT_EQ(r.triangles, c.triangles);
        EXPECT_EQ(r.residuals, c.residuals);
        EXPECT_EQ(r.grid, c.grid);
        // The library's decoder gives the same triangles (shifted by the vertex offset) and values.
        for (uint32_t i = 0; i < r.triangleCount; ++i)
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(library->trianglesBegin[(r.triangleOffset + i) * 3 + k], r.vertexOffset + r.triangles[i][k]);
        for (uint32_t v = 0; v < r.vertexCount; ++v)
            for (uint32_t ch = 0; ch < 3; ++ch)
                EXPECT_EQ(library->gridValuesBegin[(r.vertexOffset + v) * 3 + ch], r.grid[ch][v]);
    }
    // Two decoded values as the document works them out: 0.0009765625 for the lifted corner's
    // grid value 4, 3.24920654296875 for x = 4095 on [0, 3.25].
    EXPECT_EQ(library->valuesBegin[1 * 3 + 2], 0.0009765625f);
    EXPECT_EQ(library->valuesBegin[2 * 3 + 0], 3.24920654296875f);
}

// ---- The document's reader against the library's decoder ------------------------------------

Mesh gridMesh(uint32_t n, uint32_t groupCount, int32_t extraKind, uint32_t extraComponents)
{
    Mesh mesh;
    mesh.extraKind = extraKind;
    for (uint32_t y = 0; y <= n; ++y)
        for (uint32_t x = 0; x <= n; ++x) {
            const float u = float(x) / float(n), v = float(y) / float(n);
            mesh.positions.insert(mesh.positions.end(), {u, v, 0.2f * std::sin(7.0f * u) * std::cos(5.0f * v)});
            for (uint32_t c = 0; c < extraComponents; ++c)
                mesh.extra.push_back(std::sin(float(c + 1) * u) + (c % 3 == 0 ? 40.0f * v : v));
        }
    mesh.extraComponents = extraComponents;
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x) {
            const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
            const uint32_t group = (n - 1 - x) * groupCount / n; // later columns get smaller ids
            mesh.triangles.push_back({{a, b, d}});
            mesh.triangles.push_back({{a, d, c}});
            mesh.groups.insert(mesh.groups.end(), {group, group});
        }
    return mesh;
}

Mesh smallMesh(std::vector<Triangle> triangles)
{
    Mesh mesh;
    for (uint32_t v = 0; v < 5; ++v)
        mesh.positions.insert(mesh.positions.end(), {float(v), float(v * v % 3), float(v % 2)});
    mesh.triangles = std::move(triangles);
    mesh.groups.assign(mesh.triangles.size(), 0);
    return mesh;
}

TEST(FormatExample, DocumentReaderDecodesAsTheLibraryDoes)
{
    struct Case {
        const char* name;
        Mesh mesh;
        bool delta;
        uint32_t maxMeshletVertices;
        bool wantRepeatedCornerForm, wantRestart;
    };
    const Case cases[] = {
        {"the example", exampleMesh(), false, 64, false, false},
        {"the example, delta prediction", exampleMesh(), true, 64, false, false},
        {"first triangle repeats a corner", smallMesh({{{0, 0, 1}}}), false, 64, true, false},
        {"three triangles on one edge", smallMesh({{{0, 1, 2}}, {{2, 1, 3}}, {{1, 2, 4}}}), false, 64, false, true},
        {"grid, three groups, 16-vertex meshlets", gridMesh(10, 3, TEXCOORD, 2), false, 16, false, false},
        // COLOR has 5 grid bits: channels 3 .. 32 are narrow on their own, but channel 32 shares
        // channel 0's wide bit.
        {"grid, 33 channels", gridMesh(6, 1, COLOR, 30), false, 64, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompressionSettings settings = exampleSettings();
        settings.disableParallelogramPrediction = c.delta ? 1 : 0;
        settings.maxMeshletVertices = c.maxMeshletVertices;
        const Record record = compress(c.mesh, settings);
        ASSERT_TRUE(record);
        const Decoded library(Pelku_Vmq_Compression_DecodeMesh(
            record.get(), c.delta ? PELKU_VMQ_PREDICTION_DELTA : PELKU_VMQ_PREDICTION_PARALLELOGRAM));
        ASSERT_TRUE(library) << Pelku_Vmq_Compression_GetCompressionErrorString();
        const CompressedMesh& m = *record;
        const uint32_t C = m.channelCount;
        bool sawRepeatedCornerForm = false, sawRestart = false, sawSharedWideBit = false;
        uint32_t triangleSum = 0, vertexSum = 0, indexWordSum = 0;
        for (uint32_t k = 0; k < m.meshletCount; ++k) {
            const ReadMeshlet r = readMeshlet(m, k, c.delta);
            sawRepeatedCornerForm |= r.everyReferenceHasBit;
            sawRestart |= r.restartCount > 0;
            const uint32_t mask = m.meshletHeadersBegin[size_t(k) * 8 + 7];
            sawSharedWideBit |= C > 32 && (mask & 1) && !(mask & 8);
            EXPECT_EQ(r.triangleOffset, triangleSum);
            EXPECT_EQ(r.vertexOffset, vertexSum);
            EXPECT_EQ(r.indexWordOffset, indexWordSum);
            EXPECT_EQ(m.meshletTriangleOffsetsBegin[k], triangleSum);
            EXPECT_EQ(m.meshletValueOffsetsBegin[k], vertexSum * C);
            if (k > 0) {
                EXPECT_LE(readMeshlet(m, k - 1, c.delta).groupId, r.groupId) << "stream order";
            }
            triangleSum += r.triangleCount;
            vertexSum += r.vertexCount;
            indexWordSum += (r.indexCount + 3) / 4;
            for (uint32_t i = 0; i < r.triangleCount; ++i)
                for (int j = 0; j < 3; ++j)
                    ASSERT_EQ(library->trianglesBegin[(r.triangleOffset + i) * 3 + j], r.vertexOffset + r.triangles[i][j]);
            for (uint32_t v = 0; v < r.vertexCount; ++v)
                for (uint32_t ch = 0; ch < C; ++ch) {
                    const size_t at = size_t(r.vertexOffset + v) * C + ch;
                    ASSERT_EQ(library->gridValuesBegin[at], r.grid[ch][v]) << "meshlet " << k << " vertex " << v << " channel " << ch;
                    ASSERT_EQ(std::memcmp(&library->valuesBegin[at], &r.values[ch][v], sizeof(float)), 0);
                }
        }
        EXPECT_EQ((Words{triangleSum, vertexSum, indexWordSum}), (Words{m.triangleCount, m.vertexCount, m.indexWordCount}));
        EXPECT_EQ(sawRepeatedCornerForm, c.wantRepeatedCornerForm);
        if (c.wantRestart) {
            EXPECT_TRUE(sawRestart);
        }
        if (C > 32) {
            EXPECT_TRUE(sawSharedWideBit);
        }
    }
}

} // namespace
