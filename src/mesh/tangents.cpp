#include "mesh/tangents.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace vmq {

namespace {

struct Vec3 {
    float x, y, z;
};

Vec3 add(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 subtract(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 scale(float s, Vec3 v) { return {s * v.x, s * v.y, s * v.z}; }
float dot(Vec3 a, Vec3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
float length(Vec3 v) { return std::sqrt(dot(v, v)); }
bool equal(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
float component(Vec3 v, int axis) { return axis == 0 ? v.x : (axis == 1 ? v.y : v.z); }

// Nonzero: beyond the smallest normal float, so that denormal lengths are never divided by.
bool isNonzero(float value) { return std::fabs(value) > FLT_MIN; }
bool isNonzero(Vec3 v) { return isNonzero(v.x) || isNonzero(v.y) || isNonzero(v.z); }

// One reciprocal, then three products.
Vec3 normalise(Vec3 v) { return scale(1.0f / length(v), v); }
Vec3 normaliseIfNonzero(Vec3 v) { return isNonzero(v) ? normalise(v) : v; }

// v minus its component along n, with n as given (not normalised).
Vec3 projectOntoPlane(Vec3 v, Vec3 n) { return subtract(v, scale(dot(n, v), n)); }

// The axis of the largest extent: y over x and z, then z over x, else x.
int widestAxis(Vec3 extent)
{
    if (extent.y > extent.x && extent.y > extent.z)
        return 1;
    if (extent.z > extent.x)
        return 2;
    return 0;
}

// Corner ids name a face corner as 4 * face + corner.
int cornerId(int face, int corner) { return 4 * face + corner; }

// The host's mesh, read through the getters by corner id. Texture coordinates carry z = 0.
struct MeshReader {
    const TangentSpaceContext& context;

    Vec3 position(int id) const
    {
        float value[3];
        context.callbacks->getPosition(&context, value, id >> 2, id & 3);
        return {value[0], value[1], value[2]};
    }
    Vec3 normal(int id) const
    {
        float value[3];
        context.callbacks->getNormal(&context, value, id >> 2, id & 3);
        return {value[0], value[1], value[2]};
    }
    Vec3 texcoord(int id) const
    {
        float value[2];
        context.callbacks->getTexCoord(&context, value, id >> 2, id & 3);
        return {value[0], value[1], 0.0f};
    }
};

enum TriangleFlags : uint8_t {
    kDegenerate = 1,            // two corners at one position
    kQuadOneDegenerateHalf = 2, // from a quad whose other half is degenerate (or this one is)
    kUnusable = 4,              // zero UV area or a collapsed UV direction: joins any group
    kOrientationPreserving = 8, // positive signed UV area
};

struct TriangleInfo {
    int neighbours[3] = {-1, -1, -1}; // across edge i, from corner i to corner i + 1
    int groups[3] = {-1, -1, -1};     // vertex group of corner i
    Vec3 tangent{0, 0, 0};
    Vec3 bitangent{0, 0, 0};
    float magnitudeS = 0;
    float magnitudeT = 0;
    int face = 0;
    int slotOffset = 0;             // first output slot of the face
    uint8_t faceCorners[3] = {0, 0, 0}; // the face corner each triangle corner stands for
    uint8_t flags = 0;

    bool has(uint8_t flag) const { return (flags & flag) != 0; }
    bool orientation() const { return has(kOrientationPreserving); }
    void setOrientation(bool preserving)
    {
        flags = uint8_t(preserving ? (flags | kOrientationPreserving) : (flags & ~kOrientationPreserving));
    }
};

struct TangentSlot {
    Vec3 tangent{1, 0, 0};
    Vec3 bitangent{0, 1, 0};
    float magnitudeS = 1;
    float magnitudeT = 1;
    bool orientation = false;
    int writes = 0;
};

struct VertexGroup {
    int rep;
    bool orientation;
    size_t firstMember;
    size_t memberCount;
};

// The working state of one call: the triangle list holds three corner ids per triangle (the
// class representatives after welding), parallel to the per-triangle records.
struct TangentMesh {
    std::vector<int> corners;
    std::vector<TriangleInfo> triangles;
    int goodCount = 0;
};

// Triangles of every 3- and 4-corner face; a quad is split along its shorter UV diagonal (the
// shorter position diagonal on a tie). Returns the number of output slots.
int buildTriangleList(TangentMesh& mesh, const MeshReader& reader, const std::vector<uint8_t>& faceCornerCounts)
{
    int slotOffset = 0;
    for (int f = 0; f < int(faceCornerCounts.size()); ++f) {
        const int count = faceCornerCounts[f];
        if (count != 3 && count != 4)
            continue;
        auto addTriangle = [&](uint8_t c0, uint8_t c1, uint8_t c2) {
            TriangleInfo info;
            info.face = f;
            info.slotOffset = slotOffset;
            info.faceCorners[0] = c0;
            info.faceCorners[1] = c1;
            info.faceCorners[2] = c2;
            mesh.triangles.push_back(info);
            mesh.corners.insert(mesh.corners.end(), {cornerId(f, c0), cornerId(f, c1), cornerId(f, c2)});
        };
        if (count == 3) {
            addTriangle(0, 1, 2);
        } else {
            auto squaredLength = [](Vec3 v) { return dot(v, v); };
            const float uv02 = squaredLength(subtract(reader.texcoord(cornerId(f, 2)), reader.texcoord(cornerId(f, 0))));
            const float uv13 = squaredLength(subtract(reader.texcoord(cornerId(f, 3)), reader.texcoord(cornerId(f, 1))));
            bool diagonal02;
            if (uv02 < uv13) {
                diagonal02 = true;
            } else if (uv13 < uv02) {
                diagonal02 = false;
            } else {
                const float p02 = squaredLength(subtract(reader.position(cornerId(f, 2)), reader.position(cornerId(f, 0))));
                const float p13 = squaredLength(subtract(reader.position(cornerId(f, 3)), reader.position(cornerId(f, 1))));
                diagonal02 = !(p13 < p02);
            }
            if (diagonal02) {
                addTriangle(0, 1, 2);
                addTriangle(0, 2, 3);
            } else {
                addTriangle(0, 1, 3);
                addTriangle(1, 2, 3);
            }
        }
        slotOffset += count;
    }
    return slotOffset;
}

// 2048 cells along the welding axis. A NaN or out-of-range product lands in cell 0, as the
// x86 float-to-int conversion (which gives INT_MIN there) followed by the clamp puts it.
int gridCell(float low, float high, float value)
{
    constexpr int kCells = 2048;
    const float scaled = float(kCells) * ((value - low) / (high - low));
    const int cell = (scaled >= -2147483648.0f && scaled < 2147483648.0f) ? int(scaled) : INT_MIN;
    return cell < kCells ? (cell >= 0 ? cell : 0) : kCells - 1;
}

struct WeldEntry {
    float position[3];
    int listIndex; // position in the triangle list
};

// Equality key of a corner's eight attribute floats: +0 and -0 alike. Corners with a NaN never
// weld and get no key.
struct CornerKey {
    uint32_t bits[8];
    bool operator==(const CornerKey& other) const { return std::memcmp(bits, other.bits, sizeof(bits)) == 0; }
};

struct CornerKeyHash {
    size_t operator()(const CornerKey& key) const
    {
        uint64_t h = 0xcbf29ce484222325ull;
        for (uint32_t word : key.bits)
            h = (h ^ word) * 0x100000001b3ull;
        return size_t(h ^ (h >> 29));
    }
};

bool cornerKey(const MeshReader& reader, int id, CornerKey& key)
{
    const Vec3 p = reader.position(id), n = reader.normal(id), t = reader.texcoord(id);
    const float values[8] = {p.x, p.y, p.z, n.x, n.y, n.z, t.x, t.y};
    for (int k = 0; k < 8; ++k) {
        if (std::isnan(values[k]))
            return false;
        const float value = values[k] == 0.0f ? 0.0f : values[k];
        std::memcpy(&key.bits[k], &value, 4);
    }
    return true;
}

bool sameCorner(const MeshReader& reader, int a, int b)
{
    const Vec3 pa = reader.position(a), pb = reader.position(b);
    const Vec3 na = reader.normal(a), nb = reader.normal(b);
    const Vec3 ta = reader.texcoord(a), tb = reader.texcoord(b);
    return pa.x == pb.x && pa.y == pb.y && pa.z == pb.z && na.x == nb.x && na.y == nb.y && na.z == nb.z && ta.x == tb.x &&
           ta.y == tb.y;
}

// Welds the entries of a leaf (positions no longer separable): each entry takes the value of
// the first earlier entry with equal attributes. Only the first member of a class is ever such
// an entry, so the search runs over class heads; large leaves find them by key.
void weldLeaf(std::vector<int>& corners, const std::vector<WeldEntry>& entries, int first, int last, const MeshReader& reader,
              std::vector<int>& heads)
{
    constexpr int kLinearLeafSize = 32;
    if (last - first + 1 <= kLinearLeafSize) {
        heads.clear();
        for (int l = first; l <= last; ++l) {
            const int i = entries[l].listIndex;
            bool found = false;
            for (int head : heads) {
                if (sameCorner(reader, corners[i], corners[head])) {
                    corners[i] = corners[head];
                    found = true;
                    break;
                }
            }
            if (!found)
                heads.push_back(i);
        }
        return;
    }
    std::unordered_map<CornerKey, int, CornerKeyHash> classRep;
    classRep.reserve(size_t(last - first + 1));
    for (int l = first; l <= last; ++l) {
        const int i = entries[l].listIndex;
        CornerKey key;
        if (!cornerKey(reader, corners[i], key))
            continue;
        auto [it, inserted] = classRep.try_emplace(key, corners[i]);
        if (!inserted)
            corners[i] = it->second;
    }
}

// Splits a cell's entries at the middle of their widest extent until a range can no longer be
// separated, then welds that range. Ranges are disjoint, so the order they are taken in does
// not matter and an explicit stack replaces recursion.
void weldCell(std::vector<int>& corners, std::vector<WeldEntry>& entries, int count, const MeshReader& reader,
              std::vector<std::pair<int, int>>& ranges, std::vector<int>& heads)
{
    ranges.clear();
    ranges.push_back({0, count - 1});
    while (!ranges.empty()) {
        const auto [first, last] = ranges.back();
        ranges.pop_back();
        float low[3], high[3];
        for (int c = 0; c < 3; ++c)
            low[c] = high[c] = entries[first].position[c];
        for (int l = first + 1; l <= last; ++l) {
            for (int c = 0; c < 3; ++c) {
                if (low[c] > entries[l].position[c])
                    low[c] = entries[l].position[c];
                if (high[c] < entries[l].position[c])
                    high[c] = entries[l].position[c];
            }
        }
        const int axis = widestAxis({high[0] - low[0], high[1] - low[1], high[2] - low[2]});
        const float separator = 0.5f * (high[axis] + low[axis]);
        if (!std::isfinite(separator))
            continue;
        if (separator >= high[axis] || separator <= low[axis]) {
            weldLeaf(corners, entries, first, last, reader, heads);
            continue;
        }
        int left = first, right = last;
        while (left < right) {
            bool leftReady = false, rightReady = false;
            while (!leftReady && left < right) {
                leftReady = !(entries[left].position[axis] < separator);
                if (!leftReady)
                    ++left;
            }
            while (!rightReady && left < right) {
                rightReady = entries[right].position[axis] < separator;
                if (!rightReady)
                    --right;
            }
            if (leftReady && rightReady) {
                std::swap(entries[left], entries[right]);
                ++left;
                --right;
            }
        }
        if (left == right) {
            if (entries[right].position[axis] < separator)
                ++left;
            else
                --right;
        }
        // Pushed right first so that the left part is taken first; either order gives the same.
        if (left < last)
            ranges.push_back({left, last});
        if (first < right)
            ranges.push_back({first, right});
    }
}

// Gives every class of corners with equal position, normal and texture coordinate one
// representative corner id, the one of its member that comes first in its leaf.
void weldCorners(std::vector<int>& corners, const MeshReader& reader)
{
    const int total = int(corners.size());
    Vec3 low = reader.position(0), high = low;
    for (int i = 1; i < total; ++i) {
        const Vec3 p = reader.position(corners[i]);
        if (low.x > p.x) low.x = p.x; else if (high.x < p.x) high.x = p.x;
        if (low.y > p.y) low.y = p.y; else if (high.y < p.y) high.y = p.y;
        if (low.z > p.z) low.z = p.z; else if (high.z < p.z) high.z = p.z;
    }
    const int axis = widestAxis(subtract(high, low));
    const float axisLow = component(low, axis), axisHigh = component(high, axis);

    constexpr int kCells = 2048;
    std::vector<int> cellOfEntry(static_cast<size_t>(total));
    std::vector<int> cellCount(kCells, 0);
    for (int i = 0; i < total; ++i) {
        cellOfEntry[i] = gridCell(axisLow, axisHigh, component(reader.position(corners[i]), axis));
        ++cellCount[cellOfEntry[i]];
    }
    std::vector<int> cellStart(kCells + 1, 0);
    for (int c = 0; c < kCells; ++c)
        cellStart[c + 1] = cellStart[c] + cellCount[c];
    std::vector<int> cellEntries(static_cast<size_t>(total));
    std::vector<int> fill(cellStart.begin(), cellStart.end() - 1);
    for (int i = 0; i < total; ++i)
        cellEntries[fill[cellOfEntry[i]]++] = i;

    const int largestCell = *std::max_element(cellCount.begin(), cellCount.end());
    std::vector<WeldEntry> entries(static_cast<size_t>(largestCell));
    std::vector<std::pair<int, int>> ranges;
    std::vector<int> heads;
    for (int c = 0; c < kCells; ++c) {
        if (cellCount[c] < 2)
            continue;
        for (int e = 0; e < cellCount[c]; ++e) {
            const int i = cellEntries[cellStart[c] + e];
            const Vec3 p = reader.position(corners[i]);
            entries[e] = {{p.x, p.y, p.z}, i};
        }
        weldCell(corners, entries, cellCount[c], reader, ranges, heads);
    }
}

// Marks degenerate triangles and quads with one degenerate half, then moves the degenerate
// triangles behind the good ones, which keep their order.
void separateDegenerateTriangles(TangentMesh& mesh, const MeshReader& reader)
{
    const int total = int(mesh.triangles.size());
    for (int t = 0; t < total; ++t) {
        const Vec3 p0 = reader.position(mesh.corners[3 * t]);
        const Vec3 p1 = reader.position(mesh.corners[3 * t + 1]);
        const Vec3 p2 = reader.position(mesh.corners[3 * t + 2]);
        if (equal(p0, p1) || equal(p0, p2) || equal(p1, p2))
            mesh.triangles[t].flags |= kDegenerate;
    }
    for (int t = 0; t + 1 < total;) {
        TriangleInfo& a = mesh.triangles[t];
        TriangleInfo& b = mesh.triangles[t + 1];
        if (a.face != b.face) {
            ++t;
            continue;
        }
        if (a.has(kDegenerate) != b.has(kDegenerate)) {
            a.flags |= kQuadOneDegenerateHalf;
            b.flags |= kQuadOneDegenerateHalf;
        }
        t += 2;
    }

    std::vector<int> order;
    order.reserve(size_t(total));
    for (int t = 0; t < total; ++t)
        if (!mesh.triangles[t].has(kDegenerate))
            order.push_back(t);
    mesh.goodCount = int(order.size());
    if (mesh.goodCount == total)
        return;
    for (int t = 0; t < total; ++t)
        if (mesh.triangles[t].has(kDegenerate))
            order.push_back(t);
    std::vector<int> corners(mesh.corners.size());
    std::vector<TriangleInfo> triangles(mesh.triangles.size());
    for (int t = 0; t < total; ++t) {
        triangles[t] = mesh.triangles[order[t]];
        for (int k = 0; k < 3; ++k)
            corners[3 * t + k] = mesh.corners[3 * order[t] + k];
    }
    mesh.corners.swap(corners);
    mesh.triangles.swap(triangles);
}

float absoluteUvArea(const MeshReader& reader, const int* corners)
{
    const Vec3 t0 = reader.texcoord(corners[0]), t1 = reader.texcoord(corners[1]), t2 = reader.texcoord(corners[2]);
    const float area = (t1.x - t0.x) * (t2.y - t0.y) - (t1.y - t0.y) * (t2.x - t0.x);
    return area < 0 ? -area : area;
}

// Tangent and bitangent direction, magnitudes and UV orientation of every good triangle; then
// both halves of a quad are given one orientation.
void computeTriangleFrames(TangentMesh& mesh, const MeshReader& reader)
{
    for (int t = 0; t < mesh.goodCount; ++t) {
        TriangleInfo& info = mesh.triangles[t];
        info.flags |= kUnusable;
        const int* c = &mesh.corners[3 * t];
        const Vec3 p0 = reader.position(c[0]), p1 = reader.position(c[1]), p2 = reader.position(c[2]);
        const Vec3 t0 = reader.texcoord(c[0]), t1 = reader.texcoord(c[1]), t2 = reader.texcoord(c[2]);
        const float du1 = t1.x - t0.x, dv1 = t1.y - t0.y;
        const float du2 = t2.x - t0.x, dv2 = t2.y - t0.y;
        const Vec3 e1 = subtract(p1, p0), e2 = subtract(p2, p0);
        const float area = du1 * dv2 - dv1 * du2;
        const Vec3 s = subtract(scale(dv2, e1), scale(dv1, e2));
        const Vec3 b = add(scale(-du2, e1), scale(du1, e2));
        info.setOrientation(area > 0);
        if (!isNonzero(area))
            continue;
        const float absoluteArea = std::fabs(area);
        const float lengthS = length(s), lengthB = length(b);
        const float sign = info.orientation() ? 1.0f : -1.0f;
        if (isNonzero(lengthS))
            info.tangent = scale(sign / lengthS, s);
        if (isNonzero(lengthB))
            info.bitangent = scale(sign / lengthB, b);
        info.magnitudeS = lengthS / absoluteArea;
        info.magnitudeT = lengthB / absoluteArea;
        if (isNonzero(info.magnitudeS) && isNonzero(info.magnitudeT))
            info.flags &= uint8_t(~kUnusable);
    }

    for (int t = 0; t + 1 < mesh.goodCount; ++t) {
        TriangleInfo& a = mesh.triangles[t];
        TriangleInfo& b = mesh.triangles[t + 1];
        if (a.face != b.face)
            continue;
        if (a.orientation() != b.orientation()) {
            const bool keepFirst =
                b.has(kUnusable) || absoluteUvArea(reader, &mesh.corners[3 * t]) >= absoluteUvArea(reader, &mesh.corners[3 * (t + 1)]);
            if (keepFirst)
                b.setOrientation(a.orientation());
            else
                a.setOrientation(b.orientation());
        }
        ++t;
    }
}

struct EdgeRecord {
    int smaller;  // the smaller representative of the edge
    int larger;
    int triangle;
};

// Quicksort of edge records by their smaller representative, with a pseudo-random pivot from a
// seed passed down to both halves. Both halves are disjoint, so a stack replaces recursion.
void sortEdgesBySmaller(std::vector<EdgeRecord>& edges)
{
    struct Range {
        int left, right;
        uint32_t seed;
    };
    std::vector<Range> ranges;
    ranges.push_back({0, int(edges.size()) - 1, 39871946u});
    while (!ranges.empty()) {
        const Range range = ranges.back();
        ranges.pop_back();
        const int count = range.right - range.left + 1;
        if (count < 2)
            continue;
        if (count == 2) {
            if (edges[range.left].smaller > edges[range.right].smaller)
                std::swap(edges[range.left], edges[range.right]);
            continue;
        }
        const uint32_t r = range.seed & 31u;
        const uint32_t rotated = r ? (range.seed << r) | (range.seed >> (32u - r)) : range.seed;
        const uint32_t seed = range.seed + rotated + 3u;
        const int pivot = edges[range.left + int(seed % uint32_t(count))].smaller;
        int i = range.left, j = range.right;
        do {
            while (edges[i].smaller < pivot)
                ++i;
            while (edges[j].smaller > pivot)
                --j;
            if (i <= j) {
                std::swap(edges[i], edges[j]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (i < range.right)
            ranges.push_back({i, range.right, seed});
        if (range.left < j)
            ranges.push_back({range.left, j, seed});
    }
}

// Which edge of a triangle joins the two representatives, and its direction in the triangle's
// own corner order.
void findEdge(const int* corners, int a, int b, int& edge, int& from, int& to)
{
    if (corners[0] == a || corners[0] == b) {
        if (corners[1] == a || corners[1] == b) {
            edge = 0;
            from = corners[0];
            to = corners[1];
        } else {
            edge = 2;
            from = corners[2];
            to = corners[0];
        }
    } else {
        edge = 1;
        from = corners[1];
        to = corners[2];
    }
}

// Pairs triangles that hold one edge in opposite directions, greedily in the sorted edge order.
// The edge records are sorted by smaller representative; every run of one smaller
// representative but the last is then ordered by larger one and triangle, and within the last
// run only the blocks of one edge before the final block are ordered by triangle.
void findNeighbours(TangentMesh& mesh)
{
    const int count = 3 * mesh.goodCount;
    if (count == 0)
        return;
    std::vector<EdgeRecord> edges(static_cast<size_t>(count));
    for (int t = 0; t < mesh.goodCount; ++t) {
        for (int i = 0; i < 3; ++i) {
            const int a = mesh.corners[3 * t + i], b = mesh.corners[3 * t + (i < 2 ? i + 1 : 0)];
            edges[3 * t + i] = {a < b ? a : b, !(a < b) ? a : b, t};
        }
    }
    sortEdgesBySmaller(edges);

    int lastRunStart = count - 1;
    while (lastRunStart > 0 && edges[lastRunStart - 1].smaller == edges[count - 1].smaller)
        --lastRunStart;
    std::sort(edges.begin(), edges.begin() + lastRunStart, [](const EdgeRecord& x, const EdgeRecord& y) {
        if (x.smaller != y.smaller)
            return x.smaller < y.smaller;
        if (x.larger != y.larger)
            return x.larger < y.larger;
        return x.triangle < y.triangle;
    });
    for (int start = lastRunStart; start < count;) {
        int end = start + 1;
        while (end < count && edges[end].larger == edges[start].larger)
            ++end;
        if (end < count)
            std::sort(edges.begin() + start, edges.begin() + end,
                      [](const EdgeRecord& x, const EdgeRecord& y) { return x.triangle < y.triangle; });
        start = end;
    }

    for (int i = 0; i < count; ++i) {
        const EdgeRecord& record = edges[i];
        const int f = record.triangle;
        int edgeA, fromA, toA;
        findEdge(&mesh.corners[3 * f], record.smaller, record.larger, edgeA, fromA, toA);
        if (mesh.triangles[f].neighbours[edgeA] != -1)
            continue;
        for (int j = i + 1; j < count && edges[j].smaller == record.smaller && edges[j].larger == record.larger; ++j) {
            const int u = edges[j].triangle;
            int edgeB, fromB, toB;
            findEdge(&mesh.corners[3 * u], edges[j].smaller, edges[j].larger, edgeB, fromB, toB);
            if (fromA == toB && toA == fromB && mesh.triangles[u].neighbours[edgeB] == -1) {
                mesh.triangles[f].neighbours[edgeA] = u;
                mesh.triangles[u].neighbours[edgeB] = f;
                break;
            }
        }
    }
}

int cornerAtRep(const int* corners, int rep)
{
    return corners[0] == rep ? 0 : (corners[1] == rep ? 1 : 2);
}

// Groups the corners around every representative: the edge-connected triangles of one UV
// orientation. Groups are made in triangle and corner order and grown depth first across
// edge i, then edge i - 1; the first group to reach an unusable triangle fixes its orientation.
void buildVertexGroups(TangentMesh& mesh, std::vector<VertexGroup>& groups, std::vector<int>& members)
{
    groups.clear();
    members.clear();
    members.reserve(3 * size_t(mesh.goodCount));
    std::vector<int> pending;
    for (int f = 0; f < mesh.goodCount; ++f) {
        for (int i = 0; i < 3; ++i) {
            TriangleInfo& start = mesh.triangles[f];
            if (start.has(kUnusable) || start.groups[i] != -1)
                continue;
            const int g = int(groups.size());
            groups.push_back({mesh.corners[3 * f + i], start.orientation(), members.size(), 0});
            const VertexGroup& group = groups.back();
            start.groups[i] = g;
            members.push_back(f);
            pending.clear();
            auto pushNeighbours = [&](const TriangleInfo& info, int corner) {
                const int across = info.neighbours[corner];
                const int before = info.neighbours[corner > 0 ? corner - 1 : 2];
                if (before >= 0)
                    pending.push_back(before);
                if (across >= 0)
                    pending.push_back(across);
            };
            pushNeighbours(start, i);
            while (!pending.empty()) {
                const int u = pending.back();
                pending.pop_back();
                TriangleInfo& info = mesh.triangles[u];
                const int j = cornerAtRep(&mesh.corners[3 * u], group.rep);
                if (info.groups[j] != -1)
                    continue;
                if (info.has(kUnusable) && info.groups[0] == -1 && info.groups[1] == -1 && info.groups[2] == -1)
                    info.setOrientation(group.orientation);
                if (info.orientation() != group.orientation)
                    continue;
                members.push_back(u);
                info.groups[j] = g;
                pushNeighbours(info, j);
            }
            groups.back().memberCount = members.size() - groups.back().firstMember;
        }
    }
}

// The angle-weighted average of the members' projected tangents at the representative, over a
// subgroup in ascending triangle order; unusable members add nothing.
TangentSlot evaluateFrame(const TangentMesh& mesh, const MeshReader& reader, const std::vector<int>& subgroup, int rep)
{
    TangentSlot frame;
    frame.tangent = {0, 0, 0};
    frame.bitangent = {0, 0, 0};
    frame.magnitudeS = 0;
    frame.magnitudeT = 0;
    float angleSum = 0;
    for (int f : subgroup) {
        const TriangleInfo& info = mesh.triangles[f];
        if (info.has(kUnusable))
            continue;
        const int* c = &mesh.corners[3 * f];
        const int i = cornerAtRep(c, rep);
        const Vec3 n = reader.normal(c[i]);
        const Vec3 tangent = normaliseIfNonzero(projectOntoPlane(info.tangent, n));
        const Vec3 bitangent = normaliseIfNonzero(projectOntoPlane(info.bitangent, n));
        const Vec3 p0 = reader.position(c[i > 0 ? i - 1 : 2]);
        const Vec3 p1 = reader.position(c[i]);
        const Vec3 p2 = reader.position(c[i < 2 ? i + 1 : 0]);
        const Vec3 v1 = normaliseIfNonzero(projectOntoPlane(subtract(p0, p1), n));
        const Vec3 v2 = normaliseIfNonzero(projectOntoPlane(subtract(p2, p1), n));
        float cosine = dot(v1, v2);
        cosine = cosine > 1 ? 1 : (cosine < -1 ? -1 : cosine);
        const float angle = float(std::acos(double(cosine)));
        frame.tangent = add(frame.tangent, scale(angle, tangent));
        frame.bitangent = add(frame.bitangent, scale(angle, bitangent));
        frame.magnitudeS += angle * info.magnitudeS;
        frame.magnitudeT += angle * info.magnitudeT;
        angleSum += angle;
    }
    frame.tangent = normaliseIfNonzero(frame.tangent);
    frame.bitangent = normaliseIfNonzero(frame.bitangent);
    if (angleSum > 0) {
        frame.magnitudeS /= angleSum;
        frame.magnitudeT /= angleSum;
    }
    return frame;
}

// Two frames meeting in one slot (the corners where a quad's halves meet) are averaged.
TangentSlot averageFrames(const TangentSlot& a, const TangentSlot& b)
{
    TangentSlot result;
    if (a.magnitudeS == b.magnitudeS && a.magnitudeT == b.magnitudeT && equal(a.tangent, b.tangent) && equal(a.bitangent, b.bitangent)) {
        result.magnitudeS = a.magnitudeS;
        result.magnitudeT = a.magnitudeT;
        result.tangent = a.tangent;
        result.bitangent = a.bitangent;
    } else {
        result.magnitudeS = 0.5f * (a.magnitudeS + b.magnitudeS);
        result.magnitudeT = 0.5f * (a.magnitudeT + b.magnitudeT);
        result.tangent = normaliseIfNonzero(add(a.tangent, b.tangent));
        result.bitangent = normaliseIfNonzero(add(a.bitangent, b.bitangent));
    }
    return result;
}

// Splits every group into subgroups of members whose tangents and bitangents agree within the
// threshold, evaluates one frame per distinct subgroup and writes it into the members' slots.
void writeGroupFrames(const TangentMesh& mesh, const MeshReader& reader, const std::vector<VertexGroup>& groups,
                      const std::vector<int>& members, float thresholdCosine, std::vector<TangentSlot>& slots)
{
    std::vector<int> subgroup;
    std::vector<std::vector<int>> knownSubgroups;
    std::vector<TangentSlot> knownFrames;
    std::vector<Vec3> projectedTangents, projectedBitangents;
    for (int g = 0; g < int(groups.size()); ++g) {
        const VertexGroup& group = groups[g];
        const int* groupMembers = &members[group.firstMember];
        const int memberCount = int(group.memberCount);
        knownSubgroups.clear();
        knownFrames.clear();
        // Every member is compared in the plane of the normal at the group's representative.
        const Vec3 n = reader.normal(group.rep);
        projectedTangents.resize(size_t(memberCount));
        projectedBitangents.resize(size_t(memberCount));
        for (int k = 0; k < memberCount; ++k) {
            const TriangleInfo& member = mesh.triangles[groupMembers[k]];
            projectedTangents[k] = normaliseIfNonzero(projectOntoPlane(member.tangent, n));
            projectedBitangents[k] = normaliseIfNonzero(projectOntoPlane(member.bitangent, n));
        }
        for (int m = 0; m < memberCount; ++m) {
            const int f = groupMembers[m];
            const TriangleInfo& info = mesh.triangles[f];
            const int index = info.groups[0] == g ? 0 : (info.groups[1] == g ? 1 : 2);
            subgroup.clear();
            for (int k = 0; k < memberCount; ++k) {
                const int t = groupMembers[k];
                const TriangleInfo& other = mesh.triangles[t];
                const bool any = info.has(kUnusable) || other.has(kUnusable);
                const bool sameFace = info.face == other.face;
                if (any || sameFace ||
                    (dot(projectedTangents[m], projectedTangents[k]) > thresholdCosine &&
                     dot(projectedBitangents[m], projectedBitangents[k]) > thresholdCosine))
                    subgroup.push_back(t);
            }
            std::sort(subgroup.begin(), subgroup.end());

            size_t known = 0;
            while (known < knownSubgroups.size() && knownSubgroups[known] != subgroup)
                ++known;
            if (known == knownSubgroups.size()) {
                knownSubgroups.push_back(subgroup);
                knownFrames.push_back(evaluateFrame(mesh, reader, subgroup, group.rep));
            }

            TangentSlot& slot = slots[size_t(info.slotOffset) + info.faceCorners[index]];
            if (slot.writes == 1) {
                slot = averageFrames(slot, knownFrames[known]);
                slot.writes = 2;
            } else {
                slot = knownFrames[known];
                slot.writes = 1;
            }
            slot.orientation = group.orientation;
        }
    }
}

// Corners of degenerate triangles copy the slot of the first good corner with the same
// representative; the fourth corner of a quad with one degenerate half copies the slot of the
// good half's first corner at its position.
void fillDegenerateSlots(const TangentMesh& mesh, const MeshReader& reader, std::vector<TangentSlot>& slots)
{
    const int total = int(mesh.triangles.size());
    if (mesh.goodCount < total) {
        int largestRep = 0;
        for (int id : mesh.corners)
            largestRep = std::max(largestRep, id);
        std::vector<int> firstGoodCorner(size_t(largestRep) + 1, -1);
        for (int j = 3 * mesh.goodCount - 1; j >= 0; --j)
            firstGoodCorner[mesh.corners[j]] = j;
        for (int t = mesh.goodCount; t < total; ++t) {
            const TriangleInfo& info = mesh.triangles[t];
            if (info.has(kQuadOneDegenerateHalf))
                continue;
            for (int i = 0; i < 3; ++i) {
                const int j = firstGoodCorner[mesh.corners[3 * t + i]];
                if (j < 0)
                    continue;
                const TriangleInfo& source = mesh.triangles[j / 3];
                slots[size_t(info.slotOffset) + info.faceCorners[i]] = slots[size_t(source.slotOffset) + source.faceCorners[j % 3]];
            }
        }
    }

    for (int t = 0; t < mesh.goodCount; ++t) {
        const TriangleInfo& info = mesh.triangles[t];
        if (!info.has(kQuadOneDegenerateHalf))
            continue;
        const int present = (1 << info.faceCorners[0]) | (1 << info.faceCorners[1]) | (1 << info.faceCorners[2]);
        int missing = 0;
        if ((present & 2) == 0)
            missing = 1;
        else if ((present & 4) == 0)
            missing = 2;
        else if ((present & 8) == 0)
            missing = 3;
        const Vec3 missingPosition = reader.position(cornerId(info.face, missing));
        for (int i = 0; i < 3; ++i) {
            if (equal(reader.position(cornerId(info.face, info.faceCorners[i])), missingPosition)) {
                slots[size_t(info.slotOffset) + missing] = slots[size_t(info.slotOffset) + info.faceCorners[i]];
                break;
            }
        }
    }
}

} // namespace

bool genTangSpace(const TangentSpaceContext& context, float angularThreshold)
{
    const TangentSpaceCallbacks* callbacks = context.callbacks;
    if (!callbacks || !callbacks->getNumFaces)
        return false;
    const int faceCount = callbacks->getNumFaces(&context);
    const float thresholdCosine = float(std::cos(double((angularThreshold * 3.14159274f) / 180.0f)));
    if (!callbacks->getNumVerticesOfFace || !callbacks->getPosition || !callbacks->getNormal || !callbacks->getTexCoord)
        return false;
    // Corner ids 4 * face + corner must stay within an int.
    if (faceCount > INT_MAX / 4)
        return false;

    std::vector<uint8_t> faceCornerCounts(size_t(std::max(faceCount, 0)));
    int triangleCount = 0;
    for (int f = 0; f < faceCount; ++f) {
        const int count = callbacks->getNumVerticesOfFace(&context, f);
        faceCornerCounts[f] = uint8_t(count == 3 || count == 4 ? count : 0);
        triangleCount += count == 3 ? 1 : (count == 4 ? 2 : 0);
    }
    if (triangleCount <= 0)
        return false;

    const MeshReader reader{context};
    TangentMesh mesh;
    mesh.corners.reserve(3 * size_t(triangleCount));
    mesh.triangles.reserve(size_t(triangleCount));
    const int slotCount = buildTriangleList(mesh, reader, faceCornerCounts);
    weldCorners(mesh.corners, reader);
    separateDegenerateTriangles(mesh, reader);
    computeTriangleFrames(mesh, reader);
    findNeighbours(mesh);

    std::vector<VertexGroup> groups;
    std::vector<int> members;
    buildVertexGroups(mesh, groups, members);
    std::vector<TangentSlot> slots(static_cast<size_t>(slotCount));
    writeGroupFrames(mesh, reader, groups, members, thresholdCosine, slots);
    fillDegenerateSlots(mesh, reader, slots);

    size_t slot = 0;
    for (int f = 0; f < faceCount; ++f) {
        const int count = faceCornerCounts[f];
        for (int k = 0; k < count; ++k, ++slot) {
            const TangentSlot& frame = slots[slot];
            const float tangent[3] = {frame.tangent.x, frame.tangent.y, frame.tangent.z};
            if (callbacks->setTSpace) {
                const float bitangent[3] = {frame.bitangent.x, frame.bitangent.y, frame.bitangent.z};
                callbacks->setTSpace(&context, tangent, bitangent, frame.magnitudeS, frame.magnitudeT, frame.orientation, f, k);
            }
            if (callbacks->setTSpaceBasic)
                callbacks->setTSpaceBasic(&context, tangent, frame.orientation ? 1.0f : -1.0f, f, k);
        }
    }
    return true;
}

bool genTangSpaceDefault(const TangentSpaceContext& context)
{
    return genTangSpace(context, 180.0f);
}

} // namespace vmq
