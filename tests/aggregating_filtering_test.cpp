// The aggregating transformer (one terminator-ended message per call) and the filtering
// transformer (every occurrence of a pattern deleted, also across blocks).
#include <SelkoCommunication.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SLKBytes bytes(const std::string& text) { return SLKBytes(text.begin(), text.end()); }

// Feeds the blocks one call each and returns what every call yielded.
std::vector<std::string> feed(SLKDataTransformer& transformer, const std::vector<std::string>& blocks) {
    std::vector<std::string> outputs;
    for (const std::string& block : blocks) {
        SLKBytes data = bytes(block);
        transformer.modifyData(data);
        outputs.emplace_back(data.begin(), data.end());
    }
    return outputs;
}

using Outputs = std::vector<std::string>;

} // namespace

TEST(Aggregator, ReleasesOneMessagePerCallKeepingTheTerminator) {
    SLKDataTransformerRef aggregator = createAggregatingTransformer(SLKDataWithString("\n"), false);
    EXPECT_EQ(feed(*aggregator, {"ab", "c\nd", "e\nf\n", "", ""}), (Outputs{"", "abc\n", "de\n", "f\n", ""}));
}

TEST(Aggregator, ReleasesOneMessagePerCallDroppingTheTerminator) {
    SLKDataTransformerRef aggregator = createAggregatingTransformer(SLKDataWithString("\n"), true);
    EXPECT_EQ(feed(*aggregator, {"ab", "c\nd", "e\nf\n", "", ""}), (Outputs{"", "abc", "de", "f", ""}));
}

TEST(Aggregator, FindsATerminatorSplitAcrossBlocks) {
    SLPDataAggregatorTransformer aggregator(bytes("\r\n"), false);
    EXPECT_EQ(feed(aggregator, {"x\r", "\ny"}), (Outputs{"", "x\r\n"}));
    EXPECT_EQ(aggregator.buffer(), bytes("y"));
    // A terminator whose first byte sat at the end of an earlier unsuccessful search.
    EXPECT_EQ(feed(aggregator, {"\r", "\r", "\n"}), (Outputs{"", "", "y\r\r\n"}));
    EXPECT_TRUE(aggregator.buffer().empty());
}

TEST(Aggregator, AnEmptyMessageLooksLikeNoMessage) {
    SLPDataAggregatorTransformer aggregator(bytes("\n"), true);
    EXPECT_EQ(feed(aggregator, {"\n"}), (Outputs{""}));
    EXPECT_TRUE(aggregator.buffer().empty());
    EXPECT_TRUE(aggregator.removeTerminator());
    EXPECT_EQ(aggregator.data2Find(), bytes("\n"));
}

TEST(Aggregator, DrainsABigBlockOneMessagePerCallInOrder) {
    SLPDataAggregatorTransformer aggregator(bytes("\r\n"), false);
    std::string block;
    for (int i = 0; i < 5000; ++i)
        block += "message " + std::to_string(i) + "\r\n";
    block += "partial";
    SLKBytes data = bytes(block);
    aggregator.modifyData(data);
    EXPECT_EQ(std::string(data.begin(), data.end()), "message 0\r\n");
    for (int i = 1; i < 5000; ++i) {
        data.clear();
        aggregator.modifyData(data);
        ASSERT_EQ(std::string(data.begin(), data.end()), "message " + std::to_string(i) + "\r\n");
    }
    EXPECT_EQ(aggregator.buffer(), bytes("partial"));
    EXPECT_EQ(feed(aggregator, {"\r", "\n"}), (Outputs{"", "partial\r\n"}));
}

TEST(Aggregator, CopiesTheTerminatorWhenMade) {
    auto terminator = std::make_shared<SLKBytes>(bytes(";"));
    SLKDataTransformerRef aggregator = createAggregatingTransformer(terminator, false);
    terminator->assign({'!'});
    EXPECT_EQ(feed(*aggregator, {"a!b;"}), (Outputs{"a!b;"}));
}

TEST(Filter, DeletesEveryOccurrenceInOneBlock) {
    SLKDataTransformerRef filter = createFilteringTransformer(SLKDataWithString("\r\n"));
    EXPECT_EQ(feed(*filter, {"a\r\nb\r\nc"}), (Outputs{"abc"}));
}

TEST(Filter, StopsAfterDeletingAnOccurrenceAtTheStartOfItsBuffer) {
    SLKDataTransformerRef filter = createFilteringTransformer(SLKDataWithString("\r\n"));
    EXPECT_EQ(feed(*filter, {"ab\r", "\ncd\r\nef", ""}), (Outputs{"ab", "", "cdef"}));
    EXPECT_EQ(feed(*filter, {"\r\nab", ""}), (Outputs{"", "ab"}));
    // Only the occurrence at the very start stops the call; later ones are deleted on the way.
    EXPECT_EQ(feed(*filter, {"x\r\n\r\ny\r\nz", ""}), (Outputs{"x", "yz"}));
}

TEST(Filter, OccurrencesDoNotOverlapAndJoinsAcrossADeletionDoNotCount) {
    SLKDataTransformerRef filter = createFilteringTransformer(SLKDataWithString("aa"));
    EXPECT_EQ(feed(*filter, {"baaab"}), (Outputs{"bab"}));
    SLKDataTransformerRef ab = createFilteringTransformer(SLKDataWithString("AB"));
    EXPECT_EQ(feed(*ab, {"xAABBy"}), (Outputs{"xABy"}));
}
