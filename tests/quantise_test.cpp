#include "encoding/quantise.h"

#include "pipeline/context.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

std::vector<uint32_t> quantise(int32_t kind, std::vector<float> values, uint32_t bits, float* min = nullptr, float* max = nullptr)
{
    MeshAttribute attribute{kind, values.data(), values.data() + values.size(), 1};
    std::vector<vmq::QuantisedChannel> channels = vmq::quantiseChannel(attribute, bits);
    if (min)
        *min = channels[0].min;
    if (max)
        *max = channels[0].max;
    return channels[0].values;
}

TEST(Quantise, GridEndsAndMidpoint)
{
    // 13 bits: the midpoint t = 0.5 rounds 8191 * 0.5 up to 4096.
    EXPECT_EQ(quantise(POSITION, {-2.0f, 0.0f, 2.0f}, 13), (std::vector<uint32_t>{0, 4096, 8191}));
}

// Every grid value is roundf(scale * t), halves away from zero, on a grid of any width: the
// values just below, at and just above each half step of a coarse grid, and a dense sweep.
TEST(Quantise, GridValuesRoundHalvesAwayFromZero)
{
    for (uint32_t bits : {1u, 3u, 8u, 13u, 20u}) {
        SCOPED_TRACE(bits);
        const float scale = float((1u << bits) - 1);
        std::vector<float> values = {0.0f, 1.0f};
        for (uint32_t k = 0; k < 64; ++k) {
            const float half = (float(k % std::min((1u << bits) - 1, 64u)) + 0.5f) / scale;
            values.insert(values.end(), {std::nextafter(half, 0.0f), half, std::nextafter(half, 1.0f)});
        }
        for (uint32_t k = 0; k <= 5000; ++k)
            values.push_back(float(k) / 5000.0f);
        const std::vector<uint32_t> grid = quantise(POSITION, values, bits);
        for (size_t v = 0; v < values.size(); ++v) {
            // Halves away from zero, worked out exactly: the fraction of a non-negative float is
            // exact (some C runtimes' roundf adds 0.5 first and rounds 0.49999997 up).
            const float product = scale * std::min(std::max(values[v], 0.0f), 1.0f);
            const uint32_t whole = uint32_t(product);
            ASSERT_EQ(grid[v], whole + (product - float(whole) >= 0.5f ? 1u : 0u)) << "value " << values[v];
        }
    }
}

TEST(Quantise, EqualValuesGiveZero)
{
    float min, max;
    EXPECT_EQ(quantise(POSITION, {3.5f, 3.5f}, 13, &min, &max), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(min, 3.5f);
    EXPECT_EQ(max, 3.5f);
}

TEST(Quantise, ColourRangeIsClamped)
{
    float min, max;
    EXPECT_EQ(quantise(COLOR, {1.5f, 2.0f}, 5, &min, &max), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(min, 1.0f);
    EXPECT_EQ(max, 1.0f);
    EXPECT_EQ(quantise(COLOR, {-0.5f, 0.5f, 2.0f}, 5, &min, &max), (std::vector<uint32_t>{0, 16, 31}));
    EXPECT_EQ(min, 0.0f);
    EXPECT_EQ(max, 1.0f);
    // Other kinds keep the range actually present.
    quantise(NORMAL, {-1.0f, 0.25f, 1.0f}, 6, &min, &max);
    EXPECT_EQ(min, -1.0f);
    EXPECT_EQ(max, 1.0f);
}

TEST(Quantise, NonFiniteValuesHaveDefinedGridValues)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float min, max;
    EXPECT_EQ(quantise(POSITION, {0.0f, nan, inf, -inf, 1.0f}, 8, &min, &max), (std::vector<uint32_t>{0, 0, 255, 0, 255}));
    EXPECT_EQ(min, 0.0f); // non-finite values stay out of the range
    EXPECT_EQ(max, 1.0f);
}

TEST(Quantise, BitsPerKindInSinglePrecision)
{
    CompressionSettings settings{};
    settings.positionQuality = 0.5f;
    settings.normalQuality = 0.5f;
    EXPECT_EQ(vmq::channelBitsForKind(POSITION, settings), 13);
    EXPECT_EQ(vmq::channelBitsForKind(NORMAL, settings), 6); // roundf(2.5) = 3
    EXPECT_EQ(vmq::channelBitsForKind(TANGENT, settings), 6);
    settings.positionQuality = 0.75f;
    settings.normalQuality = 0.75f;
    EXPECT_EQ(vmq::channelBitsForKind(POSITION, settings), 16);
    EXPECT_EQ(vmq::channelBitsForKind(NORMAL, settings), 7);
    // 0.35f * 10.0f is 3.5f in single precision (rounds to 4), 3.4999... in double.
    settings.positionQuality = 0.35f;
    EXPECT_EQ(vmq::channelBitsForKind(POSITION, settings), 12);
    for (int32_t kind : {4, 7, 10, -1})
        EXPECT_EQ(vmq::channelBitsForKind(kind, settings), 0);
    EXPECT_EQ(vmq::channelBitsForKind(TEXCOORD2, settings), 13);
}

TEST(Quantise, AttributesBecomeChannelsInOrder)
{
    std::vector<float> positions = {0, 0, 0, 1, 2, 3};
    std::vector<float> extra = {5, 6};
    std::vector<MeshAttribute> attributes = {{POSITION, positions.data(), positions.data() + 6, 3},
                                             {7, extra.data(), extra.data() + 2, 1}};
    CompressionSettings settings{};
    const vmq::QuantisedAttributes q = vmq::quantiseAttributes(attributes, settings);
    ASSERT_EQ(q.channels.size(), 4u);
    ASSERT_EQ(q.quantParams.size(), 4u);
    EXPECT_EQ(q.channelKinds, (std::vector<int32_t>{0, 0, 0, 7}));
    EXPECT_EQ(q.quantParams[2].max, 3.0f);
    EXPECT_EQ(q.quantParams[0].bits, 12.0f);
    EXPECT_EQ(q.quantParams[3].bits, 0.0f);
    EXPECT_EQ(q.channels[1], (std::vector<uint32_t>{0, 4095}));
    EXPECT_EQ(q.channels[3], (std::vector<uint32_t>{0, 0})); // 0 bits
}

TEST(Quantise, FixedRange)
{
    EXPECT_EQ(vmq::quantiseToBits(0.0f, 8, -1.0f, 1.0f), 128u);
    EXPECT_EQ(vmq::quantiseToBits(-2.0f, 8, -1.0f, 1.0f), 0u);
    EXPECT_EQ(vmq::quantiseToBits(1.5f, 8, -1.0f, 1.0f), 255u);
    EXPECT_EQ(vmq::quantiseToBits(-1.0f, 8, -1.0f, 1.0f), 0u);
    EXPECT_EQ(vmq::quantiseToBits(1.0f, 8, -1.0f, 1.0f), 255u);
    EXPECT_EQ(vmq::quantiseToBits(std::numeric_limits<float>::quiet_NaN(), 8, -1.0f, 1.0f), 0u);
    // The largest float below a half rounds down on every platform.
    EXPECT_EQ(vmq::quantiseToBits(std::nextafter(0.5f, 0.0f), 1, 0.0f, 1.0f), 0u);
    EXPECT_EQ(vmq::quantiseToBits(0.5f, 1, 0.0f, 1.0f), 1u);
}

} // namespace
