#include "verify.h"

#include "encoding/quantise.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vmq_tool {

namespace {

// A triangle over position ids in its canonical rotation: the smallest of its three rotations
// (winding kept), so that a triangle with two coincident corners, (a, a, b), and its rotation
// (a, b, a) come to the same key.
struct KeyedTriangle {
    std::array<uint32_t, 3> ids;
    uint32_t triangle;
    uint32_t rotation; // corner k of the key is corner (k + rotation) % 3 of the triangle

    bool operator<(const KeyedTriangle& o) const { return ids < o.ids || (ids == o.ids && triangle < o.triangle); }
    bool degenerate() const { return ids[0] == ids[1] || ids[1] == ids[2] || ids[0] == ids[2]; }
};

KeyedTriangle keyed(uint32_t a, uint32_t b, uint32_t c, uint32_t triangle)
{
    const uint32_t v[3] = {a, b, c};
    KeyedTriangle best{{a, b, c}, triangle, 0};
    for (uint32_t r = 1; r < 3; ++r) {
        const std::array<uint32_t, 3> ids = {v[r], v[(r + 1) % 3], v[(r + 2) % 3]};
        if (ids < best.ids)
            best = {ids, triangle, r};
    }
    return best;
}

// Runs of equal-key source and decoded triangles with up to this many pairs are matched so that
// the worst pair is as good as it can be; larger runs greedily, cheapest pair first, and runs
// beyond the second limit in file order.
constexpr size_t kExactPairs = 4096;
constexpr size_t kGreedyPairs = size_t(1) << 22;

// A matching of sources to targets over the pairs whose cost is at most `limit`, cheapest
// candidates tried first (Kuhn's augmenting paths). match[t] is the source of target t or -1.
struct Matcher {
    size_t sources, targets;
    const std::vector<double>& cost; // sources x targets
    std::vector<std::vector<uint32_t>> byCost; // per source: targets, cheapest first
    std::vector<int32_t> match;
    std::vector<uint32_t> seen;
    uint32_t stamp = 0;

    Matcher(size_t n, size_t m, const std::vector<double>& c) : sources(n), targets(m), cost(c), byCost(n)
    {
        for (size_t s = 0; s < n; ++s) {
            for (uint32_t t = 0; t < m; ++t)
                byCost[s].push_back(t);
            std::stable_sort(byCost[s].begin(), byCost[s].end(),
                             [&](uint32_t x, uint32_t y) { return cost[s * m + x] < cost[s * m + y]; });
        }
    }

    bool augment(size_t s, double limit)
    {
        for (uint32_t t : byCost[s]) {
            if (cost[s * targets + t] > limit)
                break;
            if (seen[t] == stamp)
                continue;
            seen[t] = stamp;
            if (match[t] < 0 || augment(size_t(match[t]), limit)) {
                match[t] = int32_t(s);
                return true;
            }
        }
        return false;
    }

    size_t run(double limit)
    {
        match.assign(targets, -1);
        seen.assign(targets, 0);
        size_t matched = 0;
        for (size_t s = 0; s < sources; ++s) {
            ++stamp;
            matched += augment(s, limit) ? 1 : 0;
        }
        return matched;
    }
};

// Pairs sources with targets (source -> target, or -1), as many as can be paired; at most
// kGreedyPairs pairs.
std::vector<int32_t> pairUp(size_t n, size_t m, const std::vector<double>& cost)
{
    std::vector<int32_t> partner(n, -1);
    const size_t want = std::min(n, m);
    if (n * m <= kExactPairs) {
        // The smallest cost limit under which every possible pair can still be made.
        std::vector<double> limits = cost;
        std::sort(limits.begin(), limits.end());
        limits.erase(std::unique(limits.begin(), limits.end()), limits.end());
        Matcher matcher(n, m, cost);
        size_t lo = 0, hi = limits.size() - 1;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (matcher.run(limits[mid]) == want)
                hi = mid;
            else
                lo = mid + 1;
        }
        matcher.run(limits[lo]);
        for (size_t t = 0; t < m; ++t)
            if (matcher.match[t] >= 0)
                partner[size_t(matcher.match[t])] = int32_t(t);
        return partner;
    }
    std::vector<uint32_t> order(n * m);
    for (uint32_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return cost[x] < cost[y]; });
    std::vector<bool> taken(m, false);
    for (uint32_t k : order) {
        const size_t s = k / m, t = k % m;
        if (partner[s] < 0 && !taken[t]) {
            partner[s] = int32_t(t);
            taken[t] = true;
        }
    }
    return partner;
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
    // Visits every compared value of a pair: source corner k against decoded corner k + shift of
    // their keys (shift is 0 but for a triangle whose three corners share one position).
    auto visitCorners = [&](const KeyedTriangle& s, const KeyedTriangle& d, uint32_t shift, auto&& visit) {
        for (uint32_t k = 0; k < 3; ++k) {
            const uint32_t sv = source.triangles[s.triangle].indices[(k + s.rotation) % 3];
            const uint32_t dv = decoded.triangles[size_t(d.triangle) * 3 + (k + shift + d.rotation) % 3];
            for (uint32_t ch = 0; ch < c; ++ch) {
                if (sourceChannel[ch].first < 0)
                    continue;
                const SourceAttribute& a = source.attributes[size_t(sourceChannel[ch].first)];
                const size_t at = size_t(sv) * a.componentCount + sourceChannel[ch].second;
                if (at >= a.values.size() || !std::isfinite(a.values[at]))
                    continue;
                const QuantParams& p = params[ch];
                const float expected = std::clamp(a.values[at], std::min(p.min, p.max), std::max(p.min, p.max));
                visit(ch, std::fabs(double(decoded.values[size_t(dv) * c + ch]) - double(expected)));
            }
        }
    };
    // How well a decoded triangle fits a source triangle: its largest error as a multiple of its
    // channel's bound, plus a penalty above any error when the groups differ; and the shift that
    // gives it.
    constexpr double kGroupPenalty = 1e9;
    auto pairCost = [&](const KeyedTriangle& s, const KeyedTriangle& d, uint32_t& bestShift) {
        const uint32_t shifts = s.ids[0] == s.ids[1] && s.ids[1] == s.ids[2] ? 3 : 1;
        double best = HUGE_VAL;
        for (uint32_t shift = 0; shift < shifts; ++shift) {
            double worst = 0;
            visitCorners(s, d, shift, [&](uint32_t ch, double error) {
                const double relative = channelBound[ch] > 0 ? error / channelBound[ch] : (error > 0 ? HUGE_VAL : 0.0);
                worst = std::max(worst, std::isnan(relative) ? HUGE_VAL : relative);
            });
            if (worst < best || shift == 0) {
                best = worst;
                bestShift = shift;
            }
        }
        const bool groupsAgree = sameGroup(source.groups[s.triangle], decodedGroup[d.triangle]);
        return std::min(best, kGroupPenalty / 2) + (groupsAgree ? 0.0 : kGroupPenalty);
    };
    bool overBound = false;
    auto comparePair = [&](const KeyedTriangle& s, const KeyedTriangle& d, uint32_t shift) {
        ++report.matched;
        if (!sameGroup(source.groups[s.triangle], decodedGroup[d.triangle]))
            ++report.groupMismatches;
        visitCorners(s, d, shift, [&](uint32_t ch, double error) {
            KindError& e = errorOf(decoded.channelKinds[ch]);
            e.maxError = std::max(e.maxError, error);
            overBound |= !(error <= channelBound[ch]);
        });
    };

    size_t i = 0, j = 0;
    while (i < sourceKeys.size() || j < decodedKeys.size()) {
        if (j == decodedKeys.size() || (i < sourceKeys.size() && sourceKeys[i].ids < decodedKeys[j].ids)) {
            ++(sourceKeys[i].degenerate() ? report.droppedDegenerate : report.missing);
            ++i;
        } else if (i == sourceKeys.size() || decodedKeys[j].ids < sourceKeys[i].ids) {
            ++report.extra;
            ++j;
        } else {
            // Equal keys (coincident triangles, such as double-sided faces or shells over the same
            // positions): each source triangle pairs with its best-fitting decoded triangle, in
            // the same group where it can, not merely the next one in file order.
            const auto ids = sourceKeys[i].ids;
            size_t si = i, dj = j;
            while (si < sourceKeys.size() && sourceKeys[si].ids == ids)
                ++si;
            while (dj < decodedKeys.size() && decodedKeys[dj].ids == ids)
                ++dj;
            const size_t n = si - i, m = dj - j;
            std::vector<int32_t> partner(n, -1);
            std::vector<uint32_t> shift;
            if (n * m <= kGreedyPairs) {
                std::vector<double> cost(n * m);
                shift.assign(n * m, 0);
                for (size_t s = 0; s < n; ++s)
                    for (size_t d = 0; d < m; ++d)
                        cost[s * m + d] = pairCost(sourceKeys[i + s], decodedKeys[j + d], shift[s * m + d]);
                partner = n == 1 && m == 1 ? std::vector<int32_t>{0} : pairUp(n, m, cost);
            } else {
                for (size_t s = 0; s < std::min(n, m); ++s)
                    partner[s] = int32_t(s);
            }
            for (size_t s = 0; s < n; ++s) {
                if (partner[s] < 0) {
                    ++(sourceKeys[i + s].degenerate() ? report.droppedDegenerate : report.missing);
                    continue;
                }
                const size_t d = size_t(partner[s]);
                comparePair(sourceKeys[i + s], decodedKeys[j + d], shift.empty() ? 0 : shift[s * m + d]);
            }
            report.extra += m - std::min(n, m);
            i = si, j = dj;
        }
    }

    // "1 triangle is", "2 triangles are".
    auto triangles = [](size_t n, const char* what, const char* one, const char* many) {
        return std::to_string(n) + (*what ? " " : "") + what + (n == 1 ? " triangle " : " triangles ") + (n == 1 ? one : many);
    };
    if (report.missing)
        report.problem = triangles(report.missing, "source", "is", "are") + " missing from the decoded mesh";
    else if (report.extra)
        report.problem = triangles(report.extra, "decoded", "has", "have") + " no source triangle";
    else if (report.groupMismatches)
        report.problem = triangles(report.groupMismatches, "", "comes", "come") + " back in another group";
    else if (overBound)
        report.problem = "a decoded value lies farther from its source value than the grid's rounding allows";
    return report;
}

} // namespace vmq_tool
