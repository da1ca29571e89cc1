#include "verify.h"

#include "encoding/quantise.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vmq_tool {

namespace {

// A triangle over position ids, rotated so its smallest id comes first (winding kept).
struct KeyedTriangle {
    std::array<uint32_t, 3> ids;
    uint32_t triangle;
    uint32_t rotation; // corner k of the key is corner (k + rotation) % 3 of the triangle

    bool operator<(const KeyedTriangle& o) const { return ids < o.ids || (ids == o.ids && triangle < o.triangle); }
};

KeyedTriangle keyed(uint32_t a, uint32_t b, uint32_t c, uint32_t triangle)
{
    const uint32_t r = a <= b && a <= c ? 0 : (b <= c ? 1 : 2);
    const uint32_t v[3] = {a, b, c};
    return {{v[r], v[(r + 1) % 3], v[(r + 2) % 3]}, triangle, r};
}

} // namespace

VerifyReport verifyDecoded(const SourceMesh& source, const CompressedMesh& record, const DecodedGeometry& decoded,
                           const std::vector<std::string>& materialNames)
{
    // Groups agree by material name where both sides name them, else by number.
    auto sameGroup = [&](uint32_t sourceGroup, uint32_t decodedGroup) {
        if (sourceGroup < source.materialNames.size() && decodedGroup < materialNames.size())
            return source.materialNames[sourceGroup] == materialNames[decodedGroup];
        return sourceGroup == decodedGroup;
    };
    VerifyReport report;
    report.sourceTriangles = source.triangles.size();
    report.decodedTriangles = decoded.triangleCount();
    const uint32_t c = decoded.channelCount;

    // Record channels map to the source attribute of the same kind and component count; kinds
    // that only one side has are left out of the comparison (and listed).
    std::vector<std::pair<int32_t, int32_t>> sourceChannel(c, {-1, 0}); // (attribute, component) per record channel
    for (uint32_t ch = 0; ch < c;) {
        const int32_t kind = decoded.channelKinds[ch];
        uint32_t count = 0;
        while (ch + count < c && decoded.channelKinds[ch + count] == kind)
            ++count;
        int32_t found = -1;
        for (uint32_t a = 0; a < source.attributes.size() && found < 0; ++a)
            if (source.attributes[a].kind == kind && source.attributes[a].componentCount == count)
                found = int32_t(a);
        for (uint32_t k = 0; k < count; ++k)
            sourceChannel[ch + k] = {found, int32_t(k)};
        if (found < 0)
            report.uncompared.push_back(kind);
        ch += count;
    }
    for (const SourceAttribute& a : source.attributes)
        if (std::find(decoded.channelKinds.begin(), decoded.channelKinds.end(), a.kind) == decoded.channelKinds.end())
            report.uncompared.push_back(a.kind);
    if (c < 3 || sourceChannel[0].first != 0 || decoded.channelKinds[0] != POSITION) {
        report.problem = "the container's positions do not match the source's";
        return report;
    }

    // Position ids: the distinct quantised positions of the source.
    const QuantParams* params = record.quantParamsBegin;
    auto gridOf = [&](float value, uint32_t channel) -> uint32_t {
        const QuantParams& p = params[channel];
        if (p.max - p.min == 0)
            return 0;
        return vmq::quantiseToBits(value, uint32_t(p.bits), p.min, p.max);
    };
    const size_t sourceVertices = source.vertexCount();
    const std::vector<float>& positions = source.attributes[0].values;
    std::vector<std::array<uint32_t, 3>> grid(sourceVertices);
    for (size_t v = 0; v < sourceVertices; ++v)
        for (uint32_t k = 0; k < 3; ++k)
            grid[v][k] = gridOf(positions[v * 3 + k], k);
    std::vector<std::array<uint32_t, 3>> distinct = grid;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    auto idOf = [&](const std::array<uint32_t, 3>& g) -> uint32_t {
        auto it = std::lower_bound(distinct.begin(), distinct.end(), g);
        return it != distinct.end() && *it == g ? uint32_t(it - distinct.begin()) : UINT32_MAX;
    };

    std::vector<KeyedTriangle> sourceKeys, decodedKeys;
    sourceKeys.reserve(source.triangles.size());
    for (uint32_t t = 0; t < source.triangles.size(); ++t) {
        const uint32_t* i = source.triangles[t].indices;
        sourceKeys.push_back(keyed(idOf(grid[i[0]]), idOf(grid[i[1]]), idOf(grid[i[2]]), t));
    }
    std::vector<uint32_t> decodedGroup(decoded.triangleCount(), 0);
    for (const DecodedMeshletInfo& info : decoded.meshlets)
        std::fill(decodedGroup.begin() + info.triangleOffset, decodedGroup.begin() + info.triangleOffset + info.triangleCount, info.groupId);
    decodedKeys.reserve(decoded.triangleCount());
    for (uint32_t t = 0; t < decoded.triangleCount(); ++t) {
        uint32_t ids[3];
        for (int k = 0; k < 3; ++k) {
            const uint32_t* g = decoded.gridValues.data() + size_t(decoded.triangles[size_t(t) * 3 + k]) * c;
            ids[k] = idOf({g[0], g[1], g[2]});
        }
        decodedKeys.push_back(keyed(ids[0], ids[1], ids[2], t));
    }
    std::sort(sourceKeys.begin(), sourceKeys.end());
    std::sort(decodedKeys.begin(), decodedKeys.end());

    // Per kind: the largest error and its bound.
    std::vector<double> channelBound(c);
    for (uint32_t k = 0; k < c; ++k) {
        const QuantParams& p = params[k];
        const double step = (double(p.max) - double(p.min)) * std::exp2(-double(p.bits));
        channelBound[k] = 1.5 * step + 1e-6 * std::max(std::fabs(double(p.min)), std::fabs(double(p.max)));
    }
    std::vector<int32_t> kinds = decoded.channelKinds;
    std::sort(kinds.begin(), kinds.end());
    kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
    for (int32_t kind : kinds) {
        if (std::find(report.uncompared.begin(), report.uncompared.end(), kind) != report.uncompared.end())
            continue;
        KindError e;
        e.kind = kind;
        for (uint32_t k = 0; k < c; ++k)
            if (decoded.channelKinds[k] == kind)
                e.bound = std::max(e.bound, channelBound[k]);
        report.errors.push_back(e);
    }
    auto errorOf = [&](int32_t kind) -> KindError& {
        return *std::find_if(report.errors.begin(), report.errors.end(), [&](const KindError& e) { return e.kind == kind; });
    };
    bool overBound = false;
    auto compareCorners = [&](const KeyedTriangle& s, const KeyedTriangle& d) {
        for (uint32_t k = 0; k < 3; ++k) {
            const uint32_t sv = source.triangles[s.triangle].indices[(k + s.rotation) % 3];
            const uint32_t dv = decoded.triangles[size_t(d.triangle) * 3 + (k + d.rotation) % 3];
            for (uint32_t ch = 0; ch < c; ++ch) {
                if (sourceChannel[ch].first < 0)
                    continue;
                const SourceAttribute& a = source.attributes[size_t(sourceChannel[ch].first)];
                const size_t at = size_t(sv) * a.componentCount + sourceChannel[ch].second;
                if (at >= a.values.size() || !std::isfinite(a.values[at]))
                    continue;
                const QuantParams& p = params[ch];
                const float expected = std::clamp(a.values[at], std::min(p.min, p.max), std::max(p.min, p.max));
                const double error = std::fabs(double(decoded.values[size_t(dv) * c + ch]) - double(expected));
                KindError& e = errorOf(decoded.channelKinds[ch]);
                e.maxError = std::max(e.maxError, error);
                overBound |= !(error <= channelBound[ch]);
            }
        }
    };

    size_t i = 0, j = 0;
    while (i < sourceKeys.size() || j < decodedKeys.size()) {
        if (j == decodedKeys.size() || (i < sourceKeys.size() && sourceKeys[i].ids < decodedKeys[j].ids)) {
            const auto& ids = sourceKeys[i].ids;
            const bool degenerate = ids[0] == ids[1] || ids[1] == ids[2] || ids[0] == ids[2];
            ++(degenerate ? report.droppedDegenerate : report.missing);
            ++i;
        } else if (i == sourceKeys.size() || decodedKeys[j].ids < sourceKeys[i].ids) {
            ++report.extra;
            ++j;
        } else {
            // Equal keys: pair them in order, preferring equal groups.
            const auto ids = sourceKeys[i].ids;
            size_t si = i, dj = j;
            while (si < sourceKeys.size() && sourceKeys[si].ids == ids)
                ++si;
            while (dj < decodedKeys.size() && decodedKeys[dj].ids == ids)
                ++dj;
            std::vector<bool> used(dj - j, false);
            for (size_t s = i; s < si; ++s) {
                size_t pick = SIZE_MAX;
                for (size_t d = j; d < dj; ++d)
                    if (!used[d - j] && (pick == SIZE_MAX || sameGroup(source.groups[sourceKeys[s].triangle], decodedGroup[decodedKeys[d].triangle]))) {
                        pick = d;
                        if (sameGroup(source.groups[sourceKeys[s].triangle], decodedGroup[decodedKeys[d].triangle]))
                            break;
                    }
                if (pick == SIZE_MAX) {
                    const bool degenerate = ids[0] == ids[1] || ids[1] == ids[2] || ids[0] == ids[2];
                    ++(degenerate ? report.droppedDegenerate : report.missing);
                    continue;
                }
                used[pick - j] = true;
                ++report.matched;
                if (!sameGroup(source.groups[sourceKeys[s].triangle], decodedGroup[decodedKeys[pick].triangle]))
                    ++report.groupMismatches;
                compareCorners(sourceKeys[s], decodedKeys[pick]);
            }
            report.extra += size_t(std::count(used.begin(), used.end(), false));
            i = si, j = dj;
        }
    }

    if (report.missing)
        report.problem = std::to_string(report.missing) + " source triangles are missing from the decoded mesh";
    else if (report.extra)
        report.problem = std::to_string(report.extra) + " decoded triangles have no source triangle";
    else if (report.groupMismatches)
        report.problem = std::to_string(report.groupMismatches) + " triangles come back in another group";
    else if (overBound)
        report.problem = "a decoded value lies farther from its source value than the grid's rounding allows";
    return report;
}

} // namespace vmq_tool
