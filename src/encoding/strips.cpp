#include "encoding/strips.h"

#include "core/error.h"

#include <algorithm>

namespace vmq {

namespace {

constexpr uint32_t kNoTriangle = UINT32_MAX;
constexpr uint32_t kSearchBudget = 1024;

// Position of the first corner that is not on the edge (lo, hi); the last corner when all are.
uint32_t freeCorner(const TriangleIndices& t, uint32_t lo, uint32_t hi)
{
    for (uint32_t k = 0; k < 3; ++k)
        if (t[k] != lo && t[k] != hi)
            return k;
    return 2;
}

TriangleIndices rotated(const TriangleIndices& t, uint32_t first)
{
    return {t[first], t[(first + 1) % 3], t[(first + 2) % 3]};
}

int32_t selectedState(const MeshTables& tables, uint32_t slot)
{
    return tables.dualEdges[tables.neighbours.edges[slot]].selected;
}

} // namespace

void prepareStripScratch(const MeshTables& tables, StripScratch& scratch)
{
    const uint32_t triangleCount = uint32_t(tables.triangleCount);
    if (tables.neighbours.size() < triangleCount || tables.neighbours.edges.size() != tables.neighbours.triangles.size())
        raiseError("strip formation needs the meshlet's neighbour lists with their dual edges");

    // Channel means of every triangle's corners, as single-precision ((0 + a) + b + c) / 3.
    const size_t channelCount = tables.channelValues.size();
    scratch.triangleMeans.resize(size_t(triangleCount) * channelCount);
    for (uint32_t t = 0; t < triangleCount; ++t) {
        const TriangleIndices& p = tables.triangles[t];
        for (size_t c = 0; c < channelCount; ++c) {
            const uint32_t* values = tables.channelValues[c].data();
            float sum = 0.0f;
            sum += float(int32_t(values[p[0]]));
            sum += float(int32_t(values[p[1]]));
            sum += float(int32_t(values[p[2]]));
            scratch.triangleMeans[size_t(t) * channelCount + c] = sum / 3.0f;
        }
    }

    scratch.degree.assign(triangleCount, 0);
    scratch.onPath.assign(triangleCount, 0);
    scratch.visited.assign(triangleCount, 0);
    scratch.failedPass.assign(triangleCount, 0);
    scratch.failedBegin.resize(triangleCount);
    scratch.failedCount.resize(triangleCount);
    scratch.toggledPass.assign(triangleCount, 0);
    if (scratch.touchedStamp.size() < triangleCount)
        scratch.touchedStamp.resize(triangleCount, scratch.searchNumber);
}

void selectStripEdges(MeshTables& tables, StripScratch& scratch)
{
    const uint32_t triangleCount = uint32_t(tables.triangleCount);
    const size_t channelCount = tables.channelValues.size();
    for (DualEdge& edge : tables.dualEdges)
        edge.selected = 0;
    std::fill(scratch.degree.begin(), scratch.degree.end(), 0);
    const NeighbourLists& neighbours = tables.neighbours;

    for (uint32_t c = 0; c < triangleCount; ++c) {
        if (scratch.degree[c] >= 2)
            continue;
        // The first two candidates of a stable sort by descending weight: the earliest of the
        // largest weight, then the earliest of the largest among the rest.
        uint32_t best[2] = {kNoTriangle, kNoTriangle};
        float bestWeight[2] = {0.0f, 0.0f};
        const float* meansC = &scratch.triangleMeans[size_t(c) * channelCount];
        for (uint32_t slot = neighbours.begin[c]; slot < neighbours.begin[c + 1]; ++slot) {
            const uint32_t d = neighbours.triangles[slot];
            if (scratch.degree[d] >= 2)
                continue;
            const float* meansD = &scratch.triangleMeans[size_t(d) * channelCount];
            float s = 0.0f;
            for (size_t ch = 0; ch < channelCount; ++ch) {
                const float diff = meansC[ch] - meansD[ch];
                s += diff * diff;
            }
            const float weight = 1.0f / (s + 1e-6f);
            if (best[0] == kNoTriangle || weight > bestWeight[0]) {
                best[1] = best[0];
                bestWeight[1] = bestWeight[0];
                best[0] = slot;
                bestWeight[0] = weight;
            } else if (best[1] == kNoTriangle || weight > bestWeight[1]) {
                best[1] = slot;
                bestWeight[1] = weight;
            }
        }
        // An already selected edge still uses up one of the 2 - degree places.
        const uint32_t places = 2 - scratch.degree[c];
        for (uint32_t k = 0; k < places && best[k] != kNoTriangle; ++k) {
            DualEdge& edge = tables.dualEdges[neighbours.edges[best[k]]];
            if (edge.selected)
                continue;
            edge.selected = 1;
            ++scratch.degree[c];
            ++scratch.degree[neighbours.triangles[best[k]]];
        }
    }
}

// Depth-first search over edges of alternating selected state, from a start reached "over a
// selected edge", to a triangle of degree at most 1 reached over an unselected edge. Runs the
// recursive search on an explicit stack; every call counts against the budget, including calls
// on triangles already on the path. Once the budget is spent no later call can succeed, so the
// search ends there with the same (failed) result. scratch.touched lists every triangle the
// search appended to its path, for the failure cache of improveStripEdges; scratch.pathEdges
// the dual edges along the path.
void findAlternatingPath(const MeshTables& tables, StripScratch& scratch, uint32_t start)
{
    const NeighbourLists& neighbours = tables.neighbours;
    const uint32_t* slotTriangles = neighbours.triangles.data();
    const uint32_t* slotEdges = neighbours.edges.data();
    const DualEdge* edges = tables.dualEdges.data();
    const uint32_t* degree = scratch.degree.data();
    uint8_t* onPath = scratch.onPath.data();
    std::vector<uint32_t>& path = scratch.path;
    std::vector<uint32_t>& pathEdges = scratch.pathEdges;
    std::vector<StripScratch::Frame>& frames = scratch.frames;
    path.clear();
    pathEdges.clear();
    frames.clear();
    scratch.touched.clear();
    if (++scratch.searchNumber == 0) {
        std::fill(scratch.touchedStamp.begin(), scratch.touchedStamp.end(), 0);
        scratch.searchNumber = 1;
    }
    auto append = [&](uint32_t x) {
        path.push_back(x);
        onPath[x] = 1;
        if (scratch.touchedStamp[x] != scratch.searchNumber) {
            scratch.touchedStamp[x] = scratch.searchNumber;
            scratch.touched.push_back(x);
        }
    };

    // The call on the start: it is reached "over a selected edge" and never ends the path.
    uint32_t calls = 1;
    append(start);
    frames.push_back({start, neighbours.begin[start], 1});
    bool found = false;
    while (!frames.empty()) {
        StripScratch::Frame& frame = frames.back();
        if (frame.nextNeighbour < neighbours.begin[frame.triangle + 1]) {
            const uint32_t slot = frame.nextNeighbour++;
            const int32_t state = edges[slotEdges[slot]].selected;
            if (state == frame.arrival)
                continue;
            // A call on the neighbour.
            if (++calls > kSearchBudget)
                break;
            const uint32_t y = slotTriangles[slot];
            if (onPath[y])
                continue;
            append(y);
            pathEdges.push_back(slotEdges[slot]);
            if (degree[y] <= 1 && state == 0) {
                found = true;
                break;
            }
            frames.push_back({y, neighbours.begin[y], state});
        } else {
            onPath[frame.triangle] = 0;
            path.pop_back();
            if (!pathEdges.empty())
                pathEdges.pop_back();
            frames.pop_back();
        }
    }
    for (uint32_t x : path)
        onPath[x] = 0;
    if (!found) {
        path.clear();
        pathEdges.clear();
    }
}

void improveStripEdges(MeshTables& tables, uint32_t passCount, StripScratch& scratch)
{
    const uint32_t triangleCount = uint32_t(tables.triangleCount);
    std::fill(scratch.degree.begin(), scratch.degree.end(), 0);
    for (const DualEdge& edge : tables.dualEdges) {
        if (edge.selected) {
            ++scratch.degree[edge.lowerTriangle];
            ++scratch.degree[edge.higherTriangle];
        }
    }
    std::fill(scratch.failedPass.begin(), scratch.failedPass.end(), 0);
    std::fill(scratch.toggledPass.begin(), scratch.toggledPass.end(), 0);
    scratch.failedTouched.clear();

    // A remembered failure holds while no path toggled after it went through a triangle that its
    // search appended: the search reads only the degrees and edge states of those triangles.
    auto failureStillHolds = [&](uint32_t t) {
        if (scratch.failedPass[t] == 0)
            return false;
        const uint32_t* touched = scratch.failedTouched.data() + scratch.failedBegin[t];
        for (uint32_t k = 0; k < scratch.failedCount[t]; ++k)
            if (scratch.toggledPass[touched[k]] >= scratch.failedPass[t])
                return false;
        return true;
    };

    for (uint32_t pass = 0; pass < passCount; ++pass) {
        bool found = false;
        for (uint32_t t = 0; t < triangleCount && !found; ++t) {
            if (scratch.degree[t] > 1 || failureStillHolds(t))
                continue;
            findAlternatingPath(tables, scratch, t);
            if (!scratch.path.empty()) {
                found = true;
                break;
            }
            // Remember which triangles the failed search appended.
            scratch.failedPass[t] = pass + 1;
            scratch.failedBegin[t] = uint32_t(scratch.failedTouched.size());
            scratch.failedTouched.insert(scratch.failedTouched.end(), scratch.touched.begin(), scratch.touched.end());
            scratch.failedCount[t] = uint32_t(scratch.failedTouched.size()) - scratch.failedBegin[t];
        }
        if (!found)
            break;
        const std::vector<uint32_t>& path = scratch.path;
        for (size_t k = 0; k + 1 < path.size(); ++k) {
            const uint32_t a = path[k], b = path[k + 1];
            DualEdge& edge = tables.dualEdges[scratch.pathEdges[k]];
            edge.selected ^= 1;
            const uint32_t delta = edge.selected ? 1u : uint32_t(-1);
            scratch.degree[a] += delta;
            scratch.degree[b] += delta;
        }
        for (uint32_t x : path)
            scratch.toggledPass[x] = pass + 1;
    }
}

void extractStrips(const MeshTables& tables, StripScratch& scratch, StripList& strips)
{
    const uint32_t triangleCount = uint32_t(tables.triangleCount);
    strips.triangles.clear();
    strips.sourceTriangles.clear();
    strips.strips.clear();
    std::fill(scratch.visited.begin(), scratch.visited.end(), 0);
    std::vector<uint32_t>& arrivingEdges = scratch.arrivingEdges;
    arrivingEdges.clear();
    const NeighbourLists& neighbours = tables.neighbours;

    for (uint32_t s = 0; s < triangleCount; ++s) {
        if (scratch.visited[s])
            continue;
        const uint32_t first = uint32_t(strips.sourceTriangles.size());
        uint32_t prev = kNoTriangle, cur = s, arriving = kNoDualEdge;
        bool collect = false;
        uint64_t steps = 0;
        while (cur != kNoTriangle && !scratch.visited[cur]) {
            if (++steps > 2 * uint64_t(triangleCount) + 2)
                raiseError("a strip chain does not end");
            uint32_t next = kNoTriangle, nextEdge = kNoDualEdge;
            for (uint32_t slot = neighbours.begin[cur]; slot < neighbours.begin[cur + 1]; ++slot) {
                const uint32_t y = neighbours.triangles[slot];
                if (y != prev && selectedState(tables, slot)) {
                    next = y;
                    nextEdge = neighbours.edges[slot];
                    break;
                }
            }
            if (collect) {
                scratch.visited[cur] = 1;
                strips.sourceTriangles.push_back(cur);
                arrivingEdges.push_back(arriving);
                prev = cur;
                cur = next;
                arriving = nextEdge;
            } else if (next == kNoTriangle || next == s) {
                collect = true; // at one end of the chain, or the triangle before s on a cycle
                prev = kNoTriangle;
            } else {
                prev = cur;
                cur = next;
            }
        }

        // Orient: the first triangle's free corner (off the edge to the second) comes first,
        // every later triangle's free corner (off the edge to its predecessor) comes last.
        const uint32_t count = uint32_t(strips.sourceTriangles.size()) - first;
        for (uint32_t j = 0; j < count; ++j) {
            const TriangleIndices& t = tables.triangles[strips.sourceTriangles[first + j]];
            if (count == 1) {
                strips.triangles.push_back(t);
            } else if (j == 0) {
                const DualEdge& edge = tables.dualEdges[arrivingEdges[first + 1]];
                strips.triangles.push_back(rotated(t, freeCorner(t, edge.lowerVertex, edge.higherVertex)));
            } else {
                const DualEdge& edge = tables.dualEdges[arrivingEdges[first + j]];
                strips.triangles.push_back(rotated(t, (freeCorner(t, edge.lowerVertex, edge.higherVertex) + 1) % 3));
            }
        }
        strips.strips.push_back({first, count});
    }
}

void formStrips(MeshTables& tables, uint32_t passCount, StripScratch& scratch, StripList& strips)
{
    prepareStripScratch(tables, scratch);
    selectStripEdges(tables, scratch);
    improveStripEdges(tables, passCount, scratch);
    extractStrips(tables, scratch, strips);
}

std::vector<std::vector<TriangleIndices>> formStrips(MeshTables& tables, uint32_t passCount)
{
    StripScratch scratch;
    StripList list;
    formStrips(tables, passCount, scratch, list);
    std::vector<std::vector<TriangleIndices>> strips;
    for (const Strip& strip : list.strips)
        strips.emplace_back(list.triangles.begin() + strip.firstTriangle,
                            list.triangles.begin() + strip.firstTriangle + strip.triangleCount);
    return strips;
}

} // namespace vmq
