// The archive reader against archives written by the reference writer: the schema-level view of
// the format-coverage archives, sample clamping, and refusal of foreign archives. The dump of
// every fixture is checked with the tool's dump.
#include "alembic/archive/archive_reader.h"
#include "alembic/archive/geometry_schemas.h"
#include "archive_test_support.h"

#include <cinttypes>
#include <cstdio>

using namespace vmq::abc;
using archive_test::lines;
using archive_test::readText;

TEST(ArchiveReader, Hdf5ArchivesAreRefusedWithAClearMessage)
{
    const auto files = archive_test::fixtureFiles("fixtures/abc-hdf5");
    REQUIRE_FIXTURES(files, "fixtures/abc-hdf5");
    for (const std::string& file : files) {
        try {
            Archive::open(file);
            ADD_FAILURE() << file << " was opened";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(file + ": an HDF5 archive"), std::string::npos) << e.what();
        }
    }
}

TEST(ArchiveReader, MissingFileNamesTheFile)
{
    try {
        Archive::open("/nonexistent/dir/x.abc");
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/dir/x.abc: cannot open the file");
    }
}

TEST(ArchiveReader, SampleIndexIsClampedAndEmptyPropertiesCannotBeRead)
{
    const std::string file = archive_test::sharedDir() + "/fixtures/abc-format/fmt_sampling.abc";
    if (readText(file).empty()) {
        if (vmq_test::sharedDataRequired())
            FAIL() << "fixtures missing";
        GTEST_SKIP();
    }
    auto archive = Archive::open(file);
    const uint32_t props = archive->object(1).topCompound;
    const uint32_t repeats = archive->findProperty(props, "repeats");
    ASSERT_NE(repeats, kNoIndex);
    std::vector<int32_t> values;
    // Stored as 1 1 1 | 2 2 2 | 2 2 2 (repeat) | 3 3 3 for samples 0 1 | 2 | 3 | 4 ... 8.
    const struct {
        int64_t index;
        int32_t value;
    } cases[] = {{-5, 1}, {0, 1}, {1, 1}, {2, 2}, {3, 2}, {4, 3}, {8, 3}, {9, 3}, {1000, 3}};
    for (const auto& c : cases) {
        copyValues(archive->readSample(repeats, c.index), values);
        ASSERT_EQ(values.size(), 3u);
        EXPECT_EQ(values[0], c.value) << c.index;
    }
    const uint32_t empty = archive->findProperty(props, "noSamples");
    ASSERT_NE(empty, kNoIndex);
    EXPECT_TRUE(archive->header(empty).isConstant());
    EXPECT_THROW(archive->readSample(empty, 0), std::exception);
    const TimeSampling& acyclic = archive->timeSamplings()[2];
    EXPECT_EQ(acyclic.kind, TimeSamplingKind::Acyclic);
    EXPECT_EQ(acyclic.samplesPerCycle, kAcyclicSamplesPerCycle);
    EXPECT_EQ(acyclic.timePerCycle, kAcyclicTimePerCycle);
}

namespace {

std::string formatDouble(double v)
{
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "%.17g", v);
    return buffer;
}

std::string schemaLines(const Archive& archive, uint32_t object, const std::string& kind)
{
    std::string out;
    const ObjectRecord& record = archive.object(object);
    if (kind == "xform" && isXform(record)) {
        const XformSchema x = openXform(archive, object);
        const uint32_t n = sampleCount(archive, x);
        const uint32_t vals = x.vals == kNoIndex ? 0 : archive.header(x.vals).sampleCount;
        out += "  xform const=" + std::to_string(isConstant(archive, x)) + " numSamples=" + std::to_string(n) +
               " valsSamples=" + std::to_string(vals) + "\n";
        for (uint32_t k = 0; k <= std::max(1u, n); ++k) {
            out += "    m" + std::to_string(k) + " inherits=" + std::to_string(readXformInherits(archive, x, k)) + " ops=";
            const Sample ops = archive.readSample(x.ops, 0);
            for (uint64_t o = 0; o < ops.values.size; ++o) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), "%02x", ops.values.data[o]);
                out += (o ? "," : "") + std::string(hex);
            }
            const Imath::M44d m = readXformMatrix(archive, x, k);
            out += " M=[";
            for (int i = 0; i < 16; ++i)
                out += (i ? "," : "") + formatDouble(m[i / 4][i % 4]);
            out += "]\n";
        }
    }
    if (kind == "polymesh" && isPolyMesh(record)) {
        const PolyMeshSchema mesh = openPolyMesh(archive, object);
        const bool topo = hasConstantTopology(archive, mesh);
        const PropertyHeader& p = archive.header(mesh.positions);
        std::string sets;
        for (const FaceSet& f : mesh.faceSets)
            sets += (sets.empty() ? "" : ",") + f.name;
        out += "  polymesh samples=" + std::to_string(p.sampleCount) +
               " topo=" + std::to_string(topo ? (p.isConstant() ? 0 : 1) : 2) + " ts=" + std::to_string(p.timeSampling) +
               " facesets=" + sets + " uv=" + std::to_string(mesh.uvs.valid()) + " N=" + std::to_string(mesh.normals.valid()) +
               " vel=" + std::to_string(mesh.velocities != kNoIndex) + " arb=" + std::to_string(mesh.arbGeomParams != kNoIndex) +
               " usr=" + std::to_string(mesh.userProperties != kNoIndex) + "\n";
        for (const auto& [name, param] : {std::pair{"uv", mesh.uvs}, std::pair{"N", mesh.normals}})
            if (param.valid())
                out += std::string("    ") + name + " indexed=" + std::to_string(param.indexed()) +
                       " scope=" + std::to_string(int(param.scope)) + " const=" + std::to_string(isConstant(archive, param)) + "\n";
        if (mesh.arbGeomParams != kNoIndex)
            for (uint32_t c : archive.property(mesh.arbGeomParams).children) {
                const PropertyHeader& h = archive.header(c);
                out += "    arb " + h.name + " v2f=" + std::to_string(matchesGeomParam(h, TypedParam::Vector2f)) +
                       " c3f=" + std::to_string(matchesGeomParam(h, TypedParam::Color3f)) +
                       " c4f=" + std::to_string(matchesGeomParam(h, TypedParam::Color4f)) +
                       " str=" + std::to_string(matchesGeomParam(h, TypedParam::String)) + "\n";
            }
    }
    if (kind == "visible") {
        const uint32_t v = findVisibility(archive, object);
        if (v != kNoIndex) {
            const PropertyHeader& h = archive.header(v);
            out += "  visible const=" + std::to_string(h.isConstant()) + " samples=" + std::to_string(h.sampleCount) + " vals=";
            for (uint32_t i = 0; i < h.sampleCount; ++i)
                out += (i ? "," : "") + std::to_string(readVisibility(archive, v, i));
            out += "\n";
        }
    }
    return out;
}

} // namespace

// The schema-level view (transform matrices bit for bit, mesh topology, face-set order, geometry
// parameters and their recognition, visibility) equals the reference library's.
TEST(ArchiveReader, SchemasEqualReferenceLibrary)
{
    const auto files = archive_test::fixtureFiles("fixtures/abc-format", ".txt");
    REQUIRE_FIXTURES(files, "fixtures/abc-format");
    size_t compared = 0;
    for (const std::string& schemaFile : files) {
        if (schemaFile.find(".schema.txt") == std::string::npos)
            continue;
        const std::string archiveFile = schemaFile.substr(0, schemaFile.size() - 11) + ".abc";
        auto archive = Archive::open(archiveFile);
        ASSERT_TRUE(archive->treeError().empty());
        // Our lines per object and kind, against the reference lines of the same kinds.
        std::string expected, actual;
        uint32_t object = kNoIndex;
        for (const std::string& line : lines(readText(schemaFile))) {
            if (line.rfind("object ", 0) == 0) {
                const std::string fullName = line.substr(7, line.find(' ', 7) - 7);
                object = kNoIndex;
                for (uint32_t o = 0; o < archive->objects().size(); ++o)
                    if (archive->object(o).fullName == fullName)
                        object = o;
                ASSERT_NE(object, kNoIndex) << fullName;
                for (const char* kind : {"xform", "polymesh", "visible"})
                    actual += schemaLines(*archive, object, kind);
                continue;
            }
            const bool schemaLine = line.rfind("  xform", 0) == 0 || line.rfind("    m", 0) == 0 ||
                                    line.rfind("  polymesh", 0) == 0 || line.rfind("    uv ", 0) == 0 ||
                                    line.rfind("    N ", 0) == 0 || line.rfind("    arb ", 0) == 0 ||
                                    line.rfind("  visible", 0) == 0;
            if (schemaLine) {
                std::string l = line;
                if (l.rfind("  xform", 0) == 0) // the identity test is not part of the layer
                    l.erase(l.find(" constIdentity="), l.find(" numSamples=") - l.find(" constIdentity="));
                expected += l + "\n";
            }
        }
        EXPECT_EQ(actual, expected) << schemaFile;
        compared += lines(expected).size();
    }
    EXPECT_GT(compared, 40u);
}

TEST(ArchiveReader, InstanceProxiesReadAsTheirTargetUnderTheirOwnPath)
{
    const std::string file = archive_test::sharedDir() + "/fixtures/abc-format/fmt_nested.abc";
    if (readText(file).empty()) {
        if (vmq_test::sharedDataRequired())
            FAIL() << "fixtures missing";
        GTEST_SKIP();
    }
    auto archive = Archive::open(file);
    uint32_t mesh = kNoIndex;
    for (uint32_t o = 0; o < archive->objects().size(); ++o)
        if (archive->object(o).fullName == "/holder/inst/tmesh")
            mesh = o;
    ASSERT_NE(mesh, kNoIndex);
    EXPECT_TRUE(isPolyMesh(archive->object(mesh)));
    const uint32_t parent = archive->object(mesh).parent;
    EXPECT_EQ(archive->object(parent).fullName, "/holder/inst");
    EXPECT_EQ(archive->object(archive->object(parent).parent).fullName, "/holder");
}
