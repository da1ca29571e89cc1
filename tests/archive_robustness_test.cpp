// Damaged archives: every truncation and byte corruption of a written archive is refused or read
// safely (the sanitizer build checks the reads), cycles in the group graph end the walk, and
// shared groups cannot blow the tree up without bound.
#include "alembic/archive/archive_reader.h"
#include "archive_writer.h"
#include "alembic/archive/geometry_schemas.h"
#include "core/error.h"

#include <gtest/gtest.h>

using namespace vmq::abc;

namespace {

ArchiveContents smallContents()
{
    MeshFrames frames;
    frames.positions = {{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, {0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1}};
    frames.faceIndices = {{0, 1, 2, 3}};
    frames.faceCounts = {{4}};
    std::vector<WriteProperty> geom;
    geom.push_back(floatGeomParam("uv", TypedParam::Vector2f, GeomScope::FaceVarying, {{0, 0, 1, 0}}, {{0, 1, 1, 0}}));
    geom.push_back(compoundProperty(".arbGeomParams", {stringGeomParam("material", GeomScope::Uniform, {{"m"}})}));
    WriteObject mesh = polyMeshObject("mesh", frames, std::move(geom));
    mesh.children.push_back(faceSetObject("set", {{0}}));
    WriteObject xform = xformObject("xf", {Imath::M44d(), Imath::M44d()});
    addVisibility(xform, {1, 0});
    xform.children.push_back(std::move(mesh));
    ArchiveContents contents;
    contents.top.children.push_back(std::move(xform));
    return contents;
}

// Opens and reads everything the layer offers; returns false when the archive was refused.
bool readEverything(const std::vector<uint8_t>& bytes)
{
    std::unique_ptr<Archive> archive;
    try {
        archive = Archive::openMemory(bytes.data(), bytes.size(), "damaged.abc");
    } catch (const vmq::CompressionError&) {
        return false;
    }
    for (uint32_t p = 0; p < archive->properties().size(); ++p) {
        const PropertyHeader& h = archive->header(p);
        if (h.kind == PropertyKind::Compound)
            continue;
        for (int64_t i = 0; i < int64_t(std::min(h.sampleCount, 4u)); ++i) {
            try {
                const Sample s = archive->readSample(p, i);
                if (h.pod == Pod::String)
                    archive->readStrings(p, s);
                if (h.pod == Pod::WString)
                    archive->readWideStrings(p, s);
            } catch (const vmq::CompressionError&) {
            }
        }
    }
    for (uint32_t o = 0; o < archive->objects().size(); ++o) {
        try {
            if (isPolyMesh(archive->object(o))) {
                const PolyMeshSchema mesh = openPolyMesh(*archive, o);
                PolyMeshSample sample;
                readPolyMesh(*archive, mesh, 1, sample);
                if (mesh.uvs.valid()) {
                    GeomParamSample uv;
                    readGeomParam(*archive, mesh.uvs, 0, uv);
                }
            }
            if (isXform(archive->object(o)))
                readXformMatrix(*archive, openXform(*archive, o), 1);
            if (const uint32_t v = findVisibility(*archive, o); v != kNoIndex)
                readVisibility(*archive, v, 0);
        } catch (const vmq::CompressionError&) {
        }
    }
    return true;
}

uint64_t load64(const std::vector<uint8_t>& bytes, uint64_t at)
{
    uint64_t v;
    std::memcpy(&v, bytes.data() + at, 8);
    return v;
}

void store64(std::vector<uint8_t>& bytes, uint64_t at, uint64_t v) { std::memcpy(bytes.data() + at, &v, 8); }

// Offset of child reference `i` of the group at `group`.
uint64_t childSlot(uint64_t group, uint64_t i) { return group + 8 + 8 * i; }

} // namespace

TEST(ArchiveRobustness, EveryTruncationIsRefusedOrReadSafely)
{
    const std::vector<uint8_t> bytes = writeArchive(smallContents());
    ASSERT_TRUE(readEverything(bytes));
    for (size_t size = 0; size < bytes.size(); ++size)
        readEverything(std::vector<uint8_t>(bytes.begin(), bytes.begin() + ptrdiff_t(size)));
}

TEST(ArchiveRobustness, EveryByteCorruptionIsRefusedOrReadSafely)
{
    const std::vector<uint8_t> bytes = writeArchive(smallContents());
    // Every byte inverted, and the top bit of every eighth byte (where it turns a group reference
    // into a data reference and back).
    std::vector<uint8_t> damaged = bytes;
    for (size_t at = 0; at < bytes.size(); ++at) {
        for (uint8_t pattern : {uint8_t(0xFF), uint8_t(0x80)}) {
            if (pattern == 0x80 && at % 8 != 7)
                continue;
            damaged[at] ^= pattern;
            readEverything(damaged);
            damaged[at] = bytes[at];
        }
    }
}

TEST(ArchiveRobustness, CyclesInTheObjectGraphEndTheWalk)
{
    std::vector<uint8_t> bytes = writeArchive(smallContents());
    const uint64_t root = load64(bytes, 8);
    const uint64_t top = load64(bytes, childSlot(root, 2));
    const uint64_t xf = load64(bytes, childSlot(top, 1));
    const uint64_t mesh = load64(bytes, childSlot(xf, 1));
    // The mesh's face-set child now refers back to the transform above it.
    store64(bytes, childSlot(mesh, 1), xf);
    auto archive = Archive::openMemory(bytes.data(), bytes.size(), "cycle.abc");
    EXPECT_EQ(archive->treeError(), "cycle.abc: the object tree contains a cycle");
    // The tree read up to the cycle stays usable.
    EXPECT_EQ(archive->object(2).fullName, "/xf/mesh");
}

TEST(ArchiveRobustness, SharedGroupsCannotExpandWithoutBound)
{
    // A chain of 48 objects, each with children "l" and "r"; pointing every "r" at its sibling "l"
    // makes a graph that would expand to 2^48 objects.
    ArchiveContents contents;
    WriteObject* level = &contents.top;
    for (int depth = 0; depth < 48; ++depth) {
        level->children.resize(2);
        level->children[0].name = "l";
        level->children[1].name = "r";
        level = &level->children[0];
    }
    std::vector<uint8_t> bytes = writeArchive(contents);
    uint64_t group = load64(bytes, childSlot(load64(bytes, 8), 2));
    for (int depth = 0; depth < 48; ++depth) {
        const uint64_t left = load64(bytes, childSlot(group, 1));
        store64(bytes, childSlot(group, 2), left);
        group = left;
    }
    auto archive = Archive::openMemory(bytes.data(), bytes.size(), "dag.abc");
    EXPECT_EQ(archive->treeError(), "dag.abc: the object tree expands to more records than the file can hold");
    EXPECT_LE(archive->objects().size(), bytes.size() / 8 + 4096);
}
