#include "pipeline/stream_coder.h"

#include "core/error.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <utility>
#include <vector>

namespace {

using vmq::StreamCoder;

std::string codeBits(const vmq::CodeEntry& entry)
{
    std::string bits;
    for (uint32_t k = entry.length; k-- > 0;)
        bits += ((entry.code >> k) & 1) ? '1' : '0';
    return bits;
}

struct TreeCase;
void PrintTo(const TreeCase& c, std::ostream* out);

struct TreeCase {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> counts; // symbol, count
    std::vector<std::pair<uint32_t, std::string>> codes;
    std::vector<uint32_t> table;
};

void PrintTo(const TreeCase& c, std::ostream* out)
{
    *out << c.name;
}

class HuffmanWorkedExamples : public testing::TestWithParam<TreeCase> {};

TEST_P(HuffmanWorkedExamples, CodesAndDecodeTable)
{
    const TreeCase& c = GetParam();
    StreamCoder coder({"S"}, {});
    for (auto [symbol, count] : c.counts)
        for (uint32_t k = 0; k < count; ++k)
            coder.pushSymbol(0, symbol);
    vmq::HuffmanScratch scratch;
    coder.encodeStreams(scratch);
    for (const auto& [symbol, bits] : c.codes)
        EXPECT_EQ(codeBits(scratch.codes[symbol]), bits) << "symbol " << symbol;
    std::vector<uint32_t> expectedBlob = {1};
    expectedBlob.insert(expectedBlob.end(), c.table.begin(), c.table.end());
    EXPECT_EQ(coder.tableBlob(), expectedBlob);
    ASSERT_EQ(coder.tableSizes().size(), 1u);
    EXPECT_EQ(coder.tableSizes()[0], c.table.size());
}

INSTANTIATE_TEST_SUITE_P(
    StreamCoder, HuffmanWorkedExamples,
    testing::Values(TreeCase{"two_equal", {{0, 5}, {1, 5}}, {{0, "0"}, {1, "1"}}, {2, 1, 3}},
                    TreeCase{"three", {{0, 1}, {1, 1}, {2, 2}}, {{2, "0"}, {0, "10"}, {1, "11"}}, {2, 5, 6, 1, 3}},
                    TreeCase{"four_ties", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {{0, "00"}, {2, "01"}, {1, "10"}, {3, "11"}}, {2, 10, 6, 3, 7, 1, 5}},
                    TreeCase{"single_leaf", {{7, 4}}, {{7, ""}}, {15}}),
    [](const testing::TestParamInfo<TreeCase>& info) { return std::string(info.param.name); });

TEST(StreamCoder, TwoStreamsWithMarker)
{
    StreamCoder coder({"DATA", "MARK"}, {1});
    for (auto [stream, symbol] : std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}, {1, 7}, {0, 2}, {0, 1}, {0, 2}})
        coder.pushSymbol(stream, symbol);
    coder.encodeStreams();
    EXPECT_EQ(coder.tableBlob(), (std::vector<uint32_t>{2, 7, 2, 5, 6, 1, 3, 15}));
    ASSERT_EQ(coder.streamWords().size(), 1u);
    EXPECT_EQ(coder.streamWords()[0], 0b100110u << 26);
    EXPECT_EQ(coder.blockOffsets(1), (std::vector<uint32_t>{2}));
    // Counting state is reset; outputs stay.
    EXPECT_EQ(coder.pushedSymbolCount(), 0u);
    EXPECT_EQ(coder.histogramCount(0, 2), 0u);
}

TEST(StreamCoder, EmptyCoderAndEmptyStreams)
{
    StreamCoder empty({"A", "B", "C"}, {2});
    empty.encodeStreams();
    EXPECT_TRUE(empty.streamWords().empty());
    EXPECT_EQ(empty.tableBlob(), (std::vector<uint32_t>{3, 3, 3}));
    EXPECT_TRUE(empty.blockOffsets(2).empty());

    // A stream without symbols has an empty table: its header word equals the next one's.
    StreamCoder coder({"A", "B", "C"}, {});
    coder.pushSymbol(0, 4);
    coder.pushSymbol(2, 9);
    coder.pushSymbol(2, 9);
    coder.encodeStreams();
    EXPECT_EQ(coder.tableBlob(), (std::vector<uint32_t>{3, 4, 4, 9, 19}));
    EXPECT_TRUE(coder.streamWords().empty()); // single-symbol streams write no bits
}

TEST(StreamCoder, CodeCrossingWordBoundary)
{
    // 31 one-bit codes, then two-bit codes: the first of them straddles words 0 and 1.
    StreamCoder coder({"S"}, {});
    std::vector<uint32_t> pushed(31, 0);
    pushed.insert(pushed.end(), {2, 1});
    for (uint32_t symbol : pushed)
        coder.pushSymbol(0, symbol);
    vmq::HuffmanScratch scratch;
    coder.encodeStreams(scratch);
    const std::vector<vmq::CodeEntry>& codes = scratch.codes;
    ASSERT_EQ(codes[0].length, 1u);
    ASSERT_EQ(codes[2].length, 2u);
    std::string bits;
    for (uint32_t symbol : pushed)
        bits += codeBits(codes[symbol]);
    ASSERT_EQ(bits.size(), 35u);
    bits.resize(64, '0');
    ASSERT_EQ(coder.streamWords().size(), 2u);
    EXPECT_EQ(coder.streamWords()[0], uint32_t(std::stoul(bits.substr(0, 32), nullptr, 2)));
    EXPECT_EQ(coder.streamWords()[1], uint32_t(std::stoul(bits.substr(32), nullptr, 2)));
    // Symbol 2's high bit ends word 0; its low bit starts word 1.
    EXPECT_EQ(coder.streamWords()[0] & 1u, codes[2].code >> 1);
    EXPECT_EQ(coder.streamWords()[1] >> 31, codes[2].code & 1u);
}

TEST(StreamCoder, WriteBits)
{
    uint32_t words[2] = {0, 0};
    vmq::writeBits(words, 30, 0b1011, 4);
    EXPECT_EQ(words[0], 0b10u);
    EXPECT_EQ(words[1], 0b11u << 30);
    // A zero-length code at the very end touches nothing.
    uint32_t last[1] = {0};
    vmq::writeBits(last, 32, 0, 0);
    EXPECT_EQ(last[0], 0u);
    uint32_t full[1] = {0};
    vmq::writeBits(full, 0, 0xFFFFFFFFu, 32);
    EXPECT_EQ(full[0], 0xFFFFFFFFu);
}

TEST(StreamCoder, AlphabetLimit)
{
    StreamCoder coder({"S"}, {});
    EXPECT_NO_THROW(coder.pushSymbol(0, 2047));
    EXPECT_THROW(coder.pushSymbol(0, 2048), vmq::CompressionError);
    EXPECT_EQ(vmq::highestBit(0), 0u);
    EXPECT_EQ(vmq::highestBit(1), 0u);
    EXPECT_EQ(vmq::highestBit(2047), 10u);
    EXPECT_EQ(vmq::highestBit(2048), 11u);
}

TEST(StreamCoder, CodesLongerThan32BitsAreRefused)
{
    // Fibonacci counts give the deepest tree: n symbols make a code of n - 1 bits.
    std::vector<uint32_t> counts(vmq::kSymbolCount, 0);
    std::vector<vmq::CodeEntry> codes(vmq::kSymbolCount, vmq::CodeEntry{0, 0});
    std::vector<uint32_t> table;
    uint32_t a = 1, b = 1;
    for (uint32_t s = 0; s < 33; ++s) {
        counts[s] = a;
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    EXPECT_EQ(vmq::buildStreamCode(counts.data(), codes.data(), table, "S"), 65u);
    uint32_t longest = 0;
    for (const vmq::CodeEntry& entry : codes)
        longest = std::max(longest, entry.length);
    EXPECT_EQ(longest, 32u);

    counts[33] = a;
    try {
        vmq::buildStreamCode(counts.data(), codes.data(), table, "S");
        FAIL() << "expected the code-length limit";
    } catch (const vmq::CompressionError& e) {
        EXPECT_NE(std::string(e.what()).find("32-bit code limit"), std::string::npos) << e.what();
    }
}

} // namespace
