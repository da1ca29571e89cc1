#pragma once
// A small software rasteriser: an orthographic view of a triangle mesh fitted to the picture,
// flat-shaded, one colour per meshlet, with a depth buffer; and the PNG writer.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vmq_tool {

using Rgb = std::array<uint8_t, 3>;

struct RenderInput {
    std::vector<float> positions;        // 3 per vertex
    std::vector<uint32_t> triangles;     // 3 per triangle
    std::vector<uint32_t> triangleMeshlet; // per triangle: index into meshletColours
    std::vector<Rgb> meshletColours;
};

struct RenderOptions {
    uint32_t width = 800;
    uint32_t height = 600;
    float azimuthDegrees = 35;   // view direction around the vertical axis
    float elevationDegrees = 25; // view direction above the horizontal plane
    Rgb background = {245, 245, 245};
};

struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;       // 3 bytes per pixel, rows top to bottom
    std::vector<int32_t> meshletIds; // per pixel: the meshlet seen there, -1 for background
};

Image renderMesh(const RenderInput& input, const RenderOptions& options);

// Well-separated colours for meshlet numbers (golden-angle hues).
Rgb meshletColour(uint32_t meshlet);
// A blue-to-red ramp over [0, 1].
Rgb rampColour(float t);

// False with a message naming the file.
bool writePng(const std::string& path, const Image& image, std::string& error);

} // namespace vmq_tool
