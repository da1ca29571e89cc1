#pragma once
// Compressed records compared field for field: the totals, the bounds by bit pattern, and every
// span word for word (the partition and topology attachments aside).
#include "pelku_vmq_compression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vmq_test {

template <typename T>
std::vector<uint32_t> spanWords(const T* begin, const T* end)
{
    std::vector<uint32_t> words(size_t(end - begin) * sizeof(T) / 4);
    if (!words.empty())
        std::memcpy(words.data(), begin, words.size() * 4);
    return words;
}

inline void expectSameRecord(const CompressedMesh& a, const CompressedMesh& b, const std::string& where = "")
{
    SCOPED_TRACE(where);
    EXPECT_EQ(a.meshletCount, b.meshletCount);
    EXPECT_EQ(a.triangleCount, b.triangleCount);
    EXPECT_EQ(a.vertexCount, b.vertexCount);
    EXPECT_EQ(a.indexWordCount, b.indexWordCount);
    EXPECT_EQ(a.channelCount, b.channelCount);
    EXPECT_EQ(a.valueCount, b.valueCount);
    EXPECT_EQ(0, std::memcmp(a.boundsMin, b.boundsMin, sizeof a.boundsMin));
    EXPECT_EQ(0, std::memcmp(a.boundsMax, b.boundsMax, sizeof a.boundsMax));
    EXPECT_EQ(spanWords(a.streamWordsBegin, a.streamWordsEnd), spanWords(b.streamWordsBegin, b.streamWordsEnd));
    EXPECT_EQ(spanWords(a.tableBlobBegin, a.tableBlobEnd), spanWords(b.tableBlobBegin, b.tableBlobEnd));
    EXPECT_EQ(spanWords(a.meshletBitOffsetsBegin, a.meshletBitOffsetsEnd), spanWords(b.meshletBitOffsetsBegin, b.meshletBitOffsetsEnd));
    EXPECT_EQ(spanWords(a.meshletValueOffsetsBegin, a.meshletValueOffsetsEnd), spanWords(b.meshletValueOffsetsBegin, b.meshletValueOffsetsEnd));
    EXPECT_EQ(spanWords(a.meshletTriangleOffsetsBegin, a.meshletTriangleOffsetsEnd),
              spanWords(b.meshletTriangleOffsetsBegin, b.meshletTriangleOffsetsEnd));
    EXPECT_EQ(spanWords(a.quantParamsBegin, a.quantParamsEnd), spanWords(b.quantParamsBegin, b.quantParamsEnd));
    EXPECT_EQ(spanWords(a.channelKindsBegin, a.channelKindsEnd), spanWords(b.channelKindsBegin, b.channelKindsEnd));
    EXPECT_EQ(spanWords(a.meshletHeadersBegin, a.meshletHeadersEnd), spanWords(b.meshletHeadersBegin, b.meshletHeadersEnd));
    ASSERT_EQ(a.channelCount, b.channelCount);
    for (uint32_t c = 0; c < a.channelCount; ++c) {
        const ChannelStreams &x = a.channels[c], &y = b.channels[c];
        EXPECT_EQ(spanWords(x.streamWordsBegin, x.streamWordsEnd), spanWords(y.streamWordsBegin, y.streamWordsEnd)) << "channel " << c;
        EXPECT_EQ(spanWords(x.tableBlobBegin, x.tableBlobEnd), spanWords(y.tableBlobBegin, y.tableBlobEnd)) << "channel " << c;
        EXPECT_EQ(spanWords(x.meshletBitOffsetsBegin, x.meshletBitOffsetsEnd), spanWords(y.meshletBitOffsetsBegin, y.meshletBitOffsetsEnd))
            << "channel " << c;
    }
}

// The sequence fields, the material names and every frame (null where the other is null).
inline void expectSameSequence(const CompressedSequence& a, const CompressedSequence& b, const std::string& where = "")
{
    SCOPED_TRACE(where);
    EXPECT_EQ(a.staticTopology, b.staticTopology);
    EXPECT_EQ(a.staticAttributeMask, b.staticAttributeMask);
    EXPECT_EQ(0, std::memcmp(&a.frameDuration, &b.frameDuration, sizeof a.frameDuration));
    EXPECT_EQ(a.materialNamesBegin == nullptr, b.materialNamesBegin == nullptr);
    ASSERT_EQ(a.materialNamesEnd - a.materialNamesBegin, b.materialNamesEnd - b.materialNamesBegin);
    for (ptrdiff_t k = 0; k < a.materialNamesEnd - a.materialNamesBegin; ++k)
        EXPECT_STREQ(a.materialNamesBegin[k], b.materialNamesBegin[k]);
    ASSERT_EQ(a.frameCount, b.frameCount);
    for (uint32_t f = 0; f < a.frameCount; ++f) {
        ASSERT_EQ(a.frames[f] == nullptr, b.frames[f] == nullptr) << "frame " << f;
        if (a.frames[f])
            expectSameRecord(*a.frames[f], *b.frames[f], where + " frame " + std::to_string(f));
    }
}

} // namespace vmq_test
