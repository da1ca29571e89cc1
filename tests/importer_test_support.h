#pragma once
// Helpers of the importer tests: opening fixtures and in-memory archives with captured
// diagnostics, and reading attribute streams of frame meshes.
#include "alembic/alembic_importer.h"
#include "archive_writer.h"
#include "alembic/frame_mesh.h"
#include "archive_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace importer_test {

inline std::string fixturePath(const std::string& name) { return archive_test::sharedDir() + "/fixtures/abc/" + name; }

// An importer over an archive, with every diagnostic line it writes kept in `log`.
struct Opened {
    std::unique_ptr<std::ostringstream> log = std::make_unique<std::ostringstream>();
    std::vector<uint8_t> bytes; // the archive, for in-memory ones
    std::unique_ptr<vmq::AlembicImporter> importer;

    // The lines written since the last call.
    std::vector<std::string> takeLines()
    {
        std::vector<std::string> out = archive_test::lines(log->str());
        log->str("");
        return out;
    }
};

inline Opened openFixture(const std::string& name, const SequenceSettings& settings = SequenceSettings{})
{
    Opened o;
    o.importer = vmq::openArchive(fixturePath(name), settings, o.log.get());
    return o;
}

inline Opened openContents(const vmq::abc::ArchiveContents& contents, const SequenceSettings& settings = SequenceSettings{})
{
    Opened o;
    o.bytes = vmq::abc::writeArchive(contents);
    o.importer = vmq::openArchiveMemory(o.bytes, "memory.abc", settings, o.log.get());
    return o;
}

// The values of attribute `kind`, empty when the frame has none.
inline std::vector<float> stream(const vmq::Mesh& mesh, int32_t kind)
{
    const vmq::VertexAttribute* attribute = vmq::findAttribute(mesh, kind);
    return attribute ? attribute->values : std::vector<float>{};
}

// The values of attribute `kind`, which the mesh must have.
inline std::vector<float>& values(vmq::Mesh& mesh, int32_t kind)
{
    vmq::VertexAttribute* attribute = vmq::findAttribute(mesh, kind);
    EXPECT_NE(attribute, nullptr) << "kind " << kind;
    static std::vector<float> none;
    return attribute ? attribute->values : none;
}

// Sets attribute `kind`, keeping the attributes in ascending kind.
inline void setAttribute(vmq::Mesh& mesh, int32_t kind, std::vector<float> values, uint32_t componentCount)
{
    if (vmq::VertexAttribute* attribute = vmq::findAttribute(mesh, kind)) {
        attribute->values = std::move(values);
        attribute->componentCount = componentCount;
        return;
    }
    auto at = mesh.attributes.begin();
    while (at != mesh.attributes.end() && at->kind < kind)
        ++at;
    mesh.attributes.insert(at, vmq::VertexAttribute{kind, componentCount, std::move(values)});
}

// The corners of the mesh's triangles, three per triangle.
inline std::vector<uint32_t> corners(const vmq::Mesh& mesh)
{
    std::vector<uint32_t> out;
    for (const vmq::TriangleIndices& t : mesh.triangles)
        out.insert(out.end(), t.begin(), t.end());
    return out;
}

// Triangles over the given corners, three per triangle.
inline std::vector<vmq::TriangleIndices> trianglesOf(const std::vector<uint32_t>& corners)
{
    std::vector<vmq::TriangleIndices> out(corners.size() / 3);
    for (size_t t = 0; t < out.size(); ++t)
        out[t] = {corners[3 * t], corners[3 * t + 1], corners[3 * t + 2]};
    return out;
}

// Element `i` of a stream of `width` components.
inline std::vector<float> element(const std::vector<float>& values, size_t i, size_t width)
{
    return std::vector<float>(values.begin() + i * width, values.begin() + (i + 1) * width);
}

inline void expectNear(const std::vector<float>& actual, const std::vector<float>& expected, float tolerance = 1e-6f)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "at " << i;
}

// A w x h grid in the z = 0 plane: vertex (i, j) at index j * (w + 1) + i, quads (v00, v01, v11, v10).
inline vmq::abc::MeshFrames grid(uint32_t w, uint32_t h, float x0 = 0.0f, float y0 = 0.0f, uint32_t samples = 1)
{
    vmq::abc::MeshFrames frames;
    std::vector<float> p;
    for (uint32_t j = 0; j <= h; ++j)
        for (uint32_t i = 0; i <= w; ++i)
            p.insert(p.end(), {x0 + float(i), y0 + float(j), 0.0f});
    std::vector<int32_t> indices, counts;
    for (uint32_t j = 0; j < h; ++j)
        for (uint32_t i = 0; i < w; ++i) {
            const int32_t v00 = int32_t(j * (w + 1) + i), v10 = v00 + 1, v01 = v00 + int32_t(w + 1), v11 = v01 + 1;
            indices.insert(indices.end(), {v00, v01, v11, v10});
            counts.push_back(4);
        }
    frames.positions.assign(samples, p);
    frames.faceIndices.assign(samples, indices);
    frames.faceCounts.assign(samples, counts);
    return frames;
}

inline vmq::abc::ArchiveContents archiveOf(std::vector<vmq::abc::WriteObject> objects)
{
    vmq::abc::ArchiveContents contents;
    contents.top.children = std::move(objects);
    return contents;
}

} // namespace importer_test

// Fixture tests skip without the shared folder, and fail in CI.
#define REQUIRE_IMPORTER_FIXTURES()                                                           \
    do {                                                                                      \
        const auto files = archive_test::fixtureFiles("fixtures/abc");                        \
        REQUIRE_FIXTURES(files, "fixtures/abc");                                              \
    } while (0)
