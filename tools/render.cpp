#include "render.h"

#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace vmq_tool {

namespace {

struct Vec3 {
    float x, y, z;
};

Vec3 sub(Vec3 a, Vec3 b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
float dot(Vec3 a, Vec3 b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 cross(Vec3 a, Vec3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec3 normalised(Vec3 a)
{
    const float length = std::sqrt(dot(a, a));
    return length > 0 ? Vec3{a.x / length, a.y / length, a.z / length} : Vec3{0, 0, 0};
}

Rgb fromHsv(float h, float s, float v)
{
    const float i = std::floor(h * 6), f = h * 6 - i;
    const float p = v * (1 - s), q = v * (1 - f * s), t = v * (1 - (1 - f) * s);
    float r, g, b;
    switch (int(i) % 6) {
    case 0: r = v, g = t, b = p; break;
    case 1: r = q, g = v, b = p; break;
    case 2: r = p, g = v, b = t; break;
    case 3: r = p, g = q, b = v; break;
    case 4: r = t, g = p, b = v; break;
    default: r = v, g = p, b = q; break;
    }
    return {uint8_t(std::lround(r * 255)), uint8_t(std::lround(g * 255)), uint8_t(std::lround(b * 255))};
}

} // namespace

Rgb meshletColour(uint32_t meshlet)
{
    const double hue = std::fmod(double(meshlet) * 0.6180339887498949, 1.0);
    // Alternate saturation and value bands so neighbouring hues stay apart.
    const float saturation = (meshlet / 7) % 2 ? 0.45f : 0.7f;
    const float value = (meshlet / 3) % 2 ? 0.8f : 0.95f;
    return fromHsv(float(hue), saturation, value);
}

Rgb rampColour(float t)
{
    t = std::clamp(t, 0.0f, 1.0f);
    return fromHsv((1 - t) * 0.66f, 0.8f, 0.95f);
}

Image renderMesh(const RenderInput& input, const RenderOptions& options)
{
    Image image;
    image.width = options.width;
    image.height = options.height;
    const size_t pixels = size_t(image.width) * image.height;
    image.rgb.resize(pixels * 3);
    for (size_t p = 0; p < pixels; ++p)
        std::copy(options.background.begin(), options.background.end(), image.rgb.begin() + p * 3);
    image.meshletIds.assign(pixels, -1);
    const size_t vertexCount = input.positions.size() / 3;
    if (vertexCount == 0 || pixels == 0)
        return image;

    // View basis: the camera looks along -forward.
    const float az = options.azimuthDegrees * 3.14159265f / 180, el = options.elevationDegrees * 3.14159265f / 180;
    const Vec3 forward = {std::cos(el) * std::sin(az), std::sin(el), std::cos(el) * std::cos(az)};
    const Vec3 right = normalised(cross({0, 1, 0}, forward));
    const Vec3 up = cross(forward, right);
    const Vec3 light = normalised({forward.x + 0.3f * right.x + 0.5f * up.x, forward.y + 0.3f * right.y + 0.5f * up.y,
                                   forward.z + 0.3f * right.z + 0.5f * up.z});

    std::vector<Vec3> view(vertexCount);
    float lo[2] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
    float hi[2] = {-lo[0], -lo[1]};
    for (size_t v = 0; v < vertexCount; ++v) {
        const Vec3 p = {input.positions[v * 3], input.positions[v * 3 + 1], input.positions[v * 3 + 2]};
        view[v] = {dot(p, right), dot(p, up), dot(p, forward)};
        lo[0] = std::min(lo[0], view[v].x), hi[0] = std::max(hi[0], view[v].x);
        lo[1] = std::min(lo[1], view[v].y), hi[1] = std::max(hi[1], view[v].y);
    }
    // Fit the projected box into the picture with a margin, keeping the aspect ratio.
    const float margin = 0.05f;
    const float spanX = std::max(hi[0] - lo[0], 1e-20f), spanY = std::max(hi[1] - lo[1], 1e-20f);
    const float scale = std::min(float(image.width) * (1 - 2 * margin) / spanX, float(image.height) * (1 - 2 * margin) / spanY);
    const float cx = 0.5f * (lo[0] + hi[0]), cy = 0.5f * (lo[1] + hi[1]);
    for (Vec3& p : view) {
        p.x = (p.x - cx) * scale + 0.5f * float(image.width);
        p.y = 0.5f * float(image.height) - (p.y - cy) * scale;
    }

    std::vector<float> depth(pixels, -std::numeric_limits<float>::max());
    const size_t triangleCount = input.triangles.size() / 3;
    for (size_t t = 0; t < triangleCount; ++t) {
        const uint32_t i0 = input.triangles[t * 3], i1 = input.triangles[t * 3 + 1], i2 = input.triangles[t * 3 + 2];
        if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount)
            continue;
        const Vec3 a = view[i0], b = view[i1], c = view[i2];
        const float area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
        if (!(std::fabs(area) > 0))
            continue;
        const uint32_t meshlet = t < input.triangleMeshlet.size() ? input.triangleMeshlet[t] : 0;
        const Rgb base = meshlet < input.meshletColours.size() ? input.meshletColours[meshlet] : Rgb{128, 128, 128};
        // Two-sided flat shading from the face normal in world space.
        const Vec3 wa = {input.positions[i0 * 3], input.positions[i0 * 3 + 1], input.positions[i0 * 3 + 2]};
        const Vec3 wb = {input.positions[i1 * 3], input.positions[i1 * 3 + 1], input.positions[i1 * 3 + 2]};
        const Vec3 wc = {input.positions[i2 * 3], input.positions[i2 * 3 + 1], input.positions[i2 * 3 + 2]};
        const float shade = 0.35f + 0.65f * std::fabs(dot(normalised(cross(sub(wb, wa), sub(wc, wa))), light));
        const Rgb colour = {uint8_t(base[0] * shade), uint8_t(base[1] * shade), uint8_t(base[2] * shade)};

        const int x0 = std::max(0, int(std::floor(std::min({a.x, b.x, c.x}))));
        const int x1 = std::min(int(image.width) - 1, int(std::ceil(std::max({a.x, b.x, c.x}))));
        const int y0 = std::max(0, int(std::floor(std::min({a.y, b.y, c.y}))));
        const int y1 = std::min(int(image.height) - 1, int(std::ceil(std::max({a.y, b.y, c.y}))));
        const float inverseArea = 1.0f / area;
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const float px = float(x) + 0.5f, py = float(y) + 0.5f;
                const float w0 = ((b.x - px) * (c.y - py) - (b.y - py) * (c.x - px)) * inverseArea;
                const float w1 = ((c.x - px) * (a.y - py) - (c.y - py) * (a.x - px)) * inverseArea;
                const float w2 = 1 - w0 - w1;
                if (w0 < 0 || w1 < 0 || w2 < 0)
                    continue;
                const float z = w0 * a.z + w1 * b.z + w2 * c.z;
                const size_t at = size_t(y) * image.width + size_t(x);
                if (z <= depth[at])
                    continue;
                depth[at] = z;
                std::copy(colour.begin(), colour.end(), image.rgb.begin() + at * 3);
                image.meshletIds[at] = int32_t(meshlet);
            }
        }
    }
    return image;
}

bool writePng(const std::string& path, const Image& image, std::string& error)
{
    if (!stbi_write_png(path.c_str(), int(image.width), int(image.height), 3, image.rgb.data(), int(image.width) * 3)) {
        error = path + ": cannot write the PNG file";
        return false;
    }
    return true;
}

} // namespace vmq_tool
