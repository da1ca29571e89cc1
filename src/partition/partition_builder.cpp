#include "partition/partition_builder.h"

#include "partition/meshlet_merge.h"
#include "core/error.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace vmq {

namespace {

constexpr uint32_t kMaxSweepAdditions = 6;
// Candidates are put in order a slice at a time: a sweep usually stops after its first few.
constexpr size_t kFirstSortedCandidates = 32;

int32_t takeStamp(PartitionWork& work)
{
    if (work.nextStamp == std::numeric_limits<int32_t>::max())
        raiseError("the mesh has too many triangles for the meshlet partition builder");
    return work.nextStamp++;
}

bool beforeInSweep(const PartitionWork::Candidate& a, const PartitionWork::Candidate& b)
{
    return a.score != b.score ? a.score > b.score : a.order < b.order;
}

void countInMeshlet(PartitionWork& work, int32_t stamp, uint32_t n)
{
    if (work.countStamp[n] != stamp) {
        work.countStamp[n] = stamp;
        work.inMeshletCount[n] = 0;
    }
    ++work.inMeshletCount[n];
}

// A kept first-pass meshlet under a fresh stamp: its triangles, vertices, neighbour counts and
// frontier marks are taken again, since later meshlets may have stamped them since.
void restampMeshlet(PartitionWork& work, MeshletBuilder& builder)
{
    const MeshTables& mesh = *work.mesh;
    builder.stamp = takeStamp(work);
    builder.usedVertices = 0;
    for (uint32_t t : builder.members) {
        work.ownerStamp[t] = builder.stamp;
        for (uint32_t x : mesh.triangles[t]) {
            if (work.vertexStamp[x] != builder.stamp) {
                work.vertexStamp[x] = builder.stamp;
                ++builder.usedVertices;
            }
        }
    }
    for (uint32_t t : builder.members)
        forEachNeighbour(work, t, [&](uint32_t n) { countInMeshlet(work, builder.stamp, n); });
    for (uint32_t t : builder.frontier)
        work.frontierStamp[t] = builder.stamp;
}

} // namespace

void startMeshlet(PartitionWork& work, MeshletBuilder& builder, uint32_t seed, uint32_t meshletIndex)
{
    builder.frontier.clear();
    builder.frontier.push_back(seed);
    builder.members.clear();
    builder.stamp = takeStamp(work);
    builder.usedVertices = 0;
    builder.mean.assign(work.channelCount, 0.0f);
    builder.meshletIndex = meshletIndex;
    builder.groupId = work.mesh->triangleGroups[seed];
    work.frontierStamp[seed] = builder.stamp;
}

void addTriangle(PartitionWork& work, MeshletBuilder& builder, uint32_t t)
{
    const MeshTables& mesh = *work.mesh;
    const float before = float(builder.members.size());
    const float* centre = &work.centres[size_t(t) * work.channelCount];
    for (uint32_t c = 0; c < work.channelCount; ++c)
        builder.mean[c] = (before * builder.mean[c] + centre[c]) / (before + 1.0f);
    builder.members.push_back(t);
    work.ownerStamp[t] = builder.stamp;
    for (uint32_t x : mesh.triangles[t]) {
        if (work.vertexStamp[x] != builder.stamp) {
            work.vertexStamp[x] = builder.stamp;
            ++builder.usedVertices;
        }
    }
    // Triangles of other groups would only score 0 and leave again.
    forEachNeighbour(work, t, [&](uint32_t n) {
        countInMeshlet(work, builder.stamp, n);
        if (work.assignment[n] != -1 || work.ownerStamp[n] == builder.stamp || mesh.triangleGroups[n] != builder.groupId)
            return;
        if (work.frontierStamp[n] == builder.stamp && !work.repeatsCorner[n])
            return;
        work.frontierStamp[n] = builder.stamp;
        builder.frontier.push_back(n);
    });
}

void preparePartitionWork(PartitionWork& work, const MeshTables& mesh)
{
    const size_t T = mesh.triangles.size();
    work.mesh = &mesh;
    work.channelCount = uint32_t(mesh.channelValues.size());
    // Each sorted entry's triangle, way round and run; each triangle's entries. The sorting
    // storage is freed before the per-triangle arrays below are made.
    size_t largestRun = 0;
    {
        AdjacencyScratch sorted;
        sortEdges(mesh.triangles, sorted);
        const std::vector<AdjacencyScratch::Edge>& edges = sorted.edges;
        work.edgeSides.resize(edges.size() + 1);
        work.triangleEdges.assign(3 * T, 0);
        std::vector<uint8_t> filled(T, 0);
        for (size_t lo = 0; lo + 1 < sorted.lowerBegin.size(); ++lo) {
            const uint32_t runsEnd = sorted.lowerBegin[lo + 1];
            for (uint32_t run = sorted.lowerBegin[lo]; run < runsEnd;) {
                const uint32_t hi = edges[run].higherVertex;
                uint32_t x = run;
                for (; x < runsEnd && edges[x].higherVertex == hi; ++x) {
                    const uint32_t t = edges[x].triangle;
                    const uint32_t way = traversesForward(mesh.triangles[t], uint32_t(lo), hi) ? 1u : 0u;
                    work.edgeSides[x] = {t << 1 | way, run};
                    work.triangleEdges[3 * size_t(t) + filled[t]++] = x; // entries come in order, so ascending
                }
                largestRun = std::max(largestRun, size_t(x - run));
                run = x;
            }
        }
        work.edgeSides[edges.size()] = {0, PartitionWork::kNoRun};
    }
    work.centres.resize(T * work.channelCount);
    for (size_t t = 0; t < T; ++t)
        for (uint32_t c = 0; c < work.channelCount; ++c)
            work.centres[t * work.channelCount + c] = triangleCentre(mesh.channelValues[c], mesh.triangles[t]);
    // A triangle has fewer neighbours than the entries of its three runs.
    const size_t mostNeighbours = 3 * largestRun;
    work.repeatsCorner.resize(T);
    for (size_t t = 0; t < T; ++t) {
        const TriangleIndices& x = mesh.triangles[t];
        work.repeatsCorner[t] = x[0] == x[1] || x[1] == x[2] || x[0] == x[2];
    }
    work.neighbourScore.resize(mostNeighbours + 1);
    float s = 0.01f;
    for (size_t k = 0; k <= mostNeighbours; ++k, s += 1.0f)
        work.neighbourScore[k] = s;
    work.assignment.assign(T, -1);
    work.ownerStamp.assign(T, 0);
    work.vertexStamp.assign(size_t(mesh.vertexCount), 0);
    work.frontierStamp.assign(T, 0);
    work.countStamp.assign(T, 0);
    work.inMeshletCount.assign(T, 0);
    work.nextStamp = 1;
    work.candidates.clear();
    work.nextFrontier.clear();
}

float scoreCandidate(const PartitionWork& work, const MeshletBuilder& builder, uint32_t t)
{
    const MeshTables& mesh = *work.mesh;
    if (work.assignment[t] != -1 || work.ownerStamp[t] == builder.stamp || mesh.triangleGroups[t] != builder.groupId)
        return 0.0f;
    const float s = work.neighbourScore[work.countStamp[t] == builder.stamp ? work.inMeshletCount[t] : 0];
    const float* centre = &work.centres[size_t(t) * work.channelCount];
    float d2 = 0.0f;
    for (uint32_t c = 0; c < work.channelCount; ++c) {
        const float d = centre[c] - builder.mean[c];
        d2 += d * d;
    }
    return s / (std::sqrt(d2) + 0.0001f);
}

bool growMeshlet(PartitionWork& work, MeshletBuilder& builder, uint32_t triangleCap, uint32_t vertexCap)
{
    if (builder.frontier.empty())
        return true;
    const MeshTables& mesh = *work.mesh;
    std::vector<PartitionWork::Candidate>& candidates = work.candidates;
    while (builder.members.size() < triangleCap) {
        // Score the whole frontier once; entries scoring 0 leave it.
        candidates.clear();
        work.nextFrontier.clear();
        for (size_t k = 0; k < builder.frontier.size(); ++k) {
            const uint32_t t = builder.frontier[k];
            const float score = scoreCandidate(work, builder, t);
            if (score > 0.0f) {
                candidates.push_back({t, score, uint32_t(work.nextFrontier.size())});
                work.nextFrontier.push_back(t);
            }
        }
        std::swap(builder.frontier, work.nextFrontier);
        if (candidates.empty())
            return true;

        // Add the best candidates with the scores of this sweep (descending score, equal scores
        // in frontier order); one refused for the vertex cap stays in the frontier for the next
        // sweep. The order is total, so sorting slice by slice gives the same walk.
        uint32_t added = 0;
        size_t sorted = 0;
        for (size_t c = 0; c < candidates.size(); ++c) {
            if (builder.members.size() >= triangleCap || added >= kMaxSweepAdditions)
                break;
            if (c == sorted) {
                sorted = std::min(candidates.size(), std::max(2 * sorted, kFirstSortedCandidates));
                if (sorted == candidates.size())
                    std::sort(candidates.begin() + ptrdiff_t(c), candidates.end(), beforeInSweep);
                else
                    std::partial_sort(candidates.begin() + ptrdiff_t(c), candidates.begin() + ptrdiff_t(sorted), candidates.end(),
                                      beforeInSweep);
            }
            const uint32_t t = candidates[c].triangle;
            if (work.ownerStamp[t] == builder.stamp)
                continue;
            uint32_t newVertices = 0;
            for (uint32_t x : mesh.triangles[t])
                newVertices += work.vertexStamp[x] != builder.stamp ? 1u : 0u;
            if (uint64_t(builder.usedVertices) + newVertices > vertexCap)
                continue;
            addTriangle(work, builder, t);
            ++added;
        }
        if (added == 0)
            return true;
    }
    return false;
}

MeshletPartition buildMeshletPartition(const MeshTables& mesh, uint32_t firstPassCap, uint32_t keepMin, uint32_t triangleCap,
                                       uint32_t vertexCap, float boxScale)
{
    const size_t T = mesh.triangles.size();
    // Three sorted edge entries per triangle are numbered in 32 bits, a triangle in 31.
    if (T == 0 || T > size_t(UINT32_MAX / 3))
        raiseError("the meshlet partition builder needs between 1 and " + std::to_string(UINT32_MAX / 3) + " triangles");
    if (mesh.triangleGroups.size() != T)
        raiseError("the mesh tables need one group id per triangle");
    if (mesh.channelValues.size() < 3)
        raiseError("the meshlet partition builder needs the three position channels");
    // Either limit would make a seed take nothing, so the first pass would never advance.
    if (vertexCap < 3 || firstPassCap == 0)
        raiseError("meshlets need a vertex limit of at least 3 and a first-pass triangle limit of at least 1");

    PartitionWork work;
    preparePartitionWork(work, mesh);
    std::vector<uint8_t> marked(T, 0); // first pass: taken by a first-pass meshlet; then: in a meshlet
    uint32_t meshletCount = 0;
    int64_t remaining = int64_t(T);
    std::vector<MeshletBuilder> accepted;
    // Kept meshlets share no triangle and hold at least keepMin each.
    accepted.reserve(std::min<size_t>(T / 16, T / std::max<uint32_t>(keepMin, 1)) + 1);
    MeshletBuilder scratch;

    // First pass: seeds in index order, skipping every triangle some first-pass meshlet took in.
    for (size_t i = 0; i < T;) {
        startMeshlet(work, scratch, uint32_t(i), meshletCount);
        growMeshlet(work, scratch, firstPassCap, vertexCap);
        if (scratch.members.empty())
            raiseError("a meshlet seeded in the first partition pass took no triangle");
        for (uint32_t t : scratch.members)
            marked[t] = 1;
        if (scratch.members.size() >= keepMin) {
            for (uint32_t t : scratch.members)
                work.assignment[t] = int32_t(scratch.meshletIndex);
            accepted.push_back(scratch);
            ++meshletCount;
        }
        while (i < T && marked[i])
            ++i;
    }

    // Second pass: the kept meshlets resume from their frontier and mean under a fresh stamp.
    std::fill(marked.begin(), marked.end(), 0);
    for (MeshletBuilder& builder : accepted) {
        restampMeshlet(work, builder);
        growMeshlet(work, builder, triangleCap, vertexCap);
        for (uint32_t t : builder.members) {
            work.assignment[t] = int32_t(builder.meshletIndex);
            marked[t] = 1;
        }
        remaining -= int64_t(builder.members.size());
    }
    accepted.clear();
    accepted.shrink_to_fit();

    // Third pass: every triangle still outside a meshlet seeds one.
    for (size_t j = 0; remaining > 0;) {
        while (j < T && marked[j])
            ++j;
        if (j == T)
            break;
        startMeshlet(work, scratch, uint32_t(j), meshletCount);
        growMeshlet(work, scratch, triangleCap, vertexCap);
        if (scratch.members.empty())
            raiseError("a meshlet seeded in the third partition pass took no triangle");
        for (uint32_t t : scratch.members) {
            work.assignment[t] = int32_t(scratch.meshletIndex);
            marked[t] = 1;
        }
        ++meshletCount;
        remaining -= int64_t(scratch.members.size());
    }

    // Collection: meshlets listed in order of their lowest triangle, each with ascending triangles.
    std::vector<uint32_t> meshletSizes(meshletCount, 0);
    for (size_t t = 0; t < T; ++t) {
        if (work.assignment[t] < 0)
            raiseError("triangle " + std::to_string(t) + " was left without a meshlet");
        ++meshletSizes[size_t(work.assignment[t])];
    }
    std::vector<int32_t> listPosition(meshletCount, -1);
    MeshletList lists;
    lists.reserve(meshletCount);
    std::vector<uint32_t> listGroups;
    listGroups.reserve(meshletCount);
    for (size_t t = 0; t < T; ++t) {
        const size_t m = size_t(work.assignment[t]);
        if (listPosition[m] < 0) {
            listPosition[m] = int32_t(lists.size());
            lists.emplace_back();
            lists.back().reserve(meshletSizes[m]);
            listGroups.push_back(mesh.triangleGroups[t]);
        }
        lists[size_t(listPosition[m])].push_back(uint32_t(t));
    }
    work = PartitionWork();

    // Groups in ascending group id; within a group the lists keep their order. Small meshlets
    // are merged per group.
    std::vector<uint32_t> listOrder(lists.size());
    for (size_t k = 0; k < listOrder.size(); ++k)
        listOrder[k] = uint32_t(k);
    std::sort(listOrder.begin(), listOrder.end(),
              [&](uint32_t a, uint32_t b) { return listGroups[a] != listGroups[b] ? listGroups[a] < listGroups[b] : a < b; });

    MeshletPartition result;
    result.meshlets.reserve(lists.size());
    for (size_t begin = 0; begin < listOrder.size();) {
        size_t end = begin;
        MeshletList group;
        while (end < listOrder.size() && listGroups[listOrder[end]] == listGroups[listOrder[begin]])
            group.push_back(std::move(lists[listOrder[end++]]));
        MeshletList merged = mergeSmallMeshlets(std::move(group), mesh, keepMin, triangleCap, boxScale);
        for (auto& meshlet : merged)
            result.meshlets.push_back(std::move(meshlet));
        begin = end;
    }

    // First-pass meshlets reach firstPassCap, merged ones triangleCap; nothing can be larger.
    const double sizeLimit = 1.5 * double(std::max(triangleCap, firstPassCap));
    for (const auto& meshlet : result.meshlets)
        if (double(meshlet.size()) > sizeLimit)
            raiseError("a meshlet of " + std::to_string(meshlet.size()) + " triangles exceeds the meshlet size limit");
    return result;
}

} // namespace vmq
