// The event-generating transformer: one action call per occurrence of a pattern, occurrences
// found across blocks, optional deletion.
#include <SelkoCommunication.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SLKBytes bytes(const std::string& text) { return SLKBytes(text.begin(), text.end()); }

// An event generator that counts its action calls, fed one block per call.
struct Watcher {
    Watcher(const std::string& pattern, bool removeData)
        : transformer(createEventGeneratorTransformer(SLKDataWithString(pattern.c_str()), removeData,
                                                      [this] { ++events; })) {}

    // What the call yielded and how many actions it ran.
    std::pair<std::string, int> feed(const std::string& block) {
        const int before = events;
        SLKBytes data = bytes(block);
        transformer->modifyData(data);
        return {std::string(data.begin(), data.end()), events - before};
    }

    int events = 0;
    SLKDataTransformerRef transformer;
};

using Step = std::pair<std::string, int>;

} // namespace

TEST(EventGenerator, CountsCrLfAcrossBlocksWithoutChangingTheStream) {
    Watcher watcher("\r\n", false);
    EXPECT_EQ(watcher.feed("ab\r"), Step("ab", 0));
    EXPECT_EQ(watcher.feed("\ncd\r\nef"), Step("\r\ncd\r\nef", 2));
    EXPECT_EQ(watcher.feed("a\r\nb\r\nc"), Step("a\r\nb\r\nc", 2));
}

TEST(EventGenerator, HoldsBackTheLongestPossibleBeginning) {
    Watcher abc("ABC", false);
    EXPECT_EQ(abc.feed("xAB"), Step("x", 0));
    EXPECT_EQ(abc.feed("Cyz"), Step("ABCyz", 1));

    Watcher aab("AAB", false);
    EXPECT_EQ(aab.feed("xAA"), Step("x", 0));
    EXPECT_EQ(aab.feed("B"), Step("AAB", 1));

    Watcher abab("ABAB", false);
    EXPECT_EQ(abab.feed("xABA"), Step("x", 0));
    EXPECT_EQ(abab.feed("BAB"), Step("ABAB", 1));
    EXPECT_EQ(abab.feed(""), Step("", 0)); // A B is still held back
    EXPECT_EQ(abab.feed("A"), Step("", 0)); // A B A
    EXPECT_EQ(abab.feed("x"), Step("ABAx", 0));

    // A tail that is not a beginning of the pattern is released at once.
    Watcher tail("ABAB", false);
    EXPECT_EQ(tail.feed("xABB"), Step("xABB", 0));
}

TEST(EventGenerator, OneBytePatternHoldsNothingBack) {
    Watcher watcher("A", false);
    EXPECT_EQ(watcher.feed("xAyA"), Step("xAyA", 2));
    EXPECT_EQ(watcher.feed("A"), Step("A", 1));
}

TEST(EventGenerator, DeletionStopsAtAnOccurrenceThatStartsTheBuffer) {
    Watcher abc("ABC", true);
    EXPECT_EQ(abc.feed("xAB"), Step("x", 0));
    EXPECT_EQ(abc.feed("Cyz"), Step("", 1)); // y z waits for the next call
    EXPECT_EQ(abc.feed(""), Step("yz", 0));

    Watcher ab("AB", true);
    EXPECT_EQ(ab.feed("ABAB"), Step("", 1));
    EXPECT_EQ(ab.feed(""), Step("", 1));
    EXPECT_EQ(ab.feed(""), Step("", 0));
    // Occurrences further in are deleted in the same call, up to one that starts what is left.
    EXPECT_EQ(ab.feed("xAByABABz"), Step("xy", 3));
    EXPECT_EQ(ab.feed("q"), Step("zq", 0));
}

TEST(EventGenerator, TheActionSeesTheBytesUpToItsOccurrence) {
    SLKBytes data;
    std::vector<std::string> seen;
    for (const bool removeData : {false, true}) {
        seen.clear();
        SLKDataTransformerRef transformer = createEventGeneratorTransformer(
            SLKDataWithString("--"), removeData, [&] { seen.emplace_back(data.begin(), data.end()); });
        data = bytes("a--b--c");
        transformer->modifyData(data);
        if (removeData) {
            EXPECT_EQ(seen, (std::vector<std::string>{"a", "ab"}));
            EXPECT_EQ(data, bytes("abc"));
        } else {
            EXPECT_EQ(seen, (std::vector<std::string>{"a--", "a--b--"}));
            EXPECT_EQ(data, bytes("a--b--c"));
        }
    }
}

TEST(EventGenerator, KeepsItsOwnCopiesOfPatternAndAction) {
    auto pattern = std::make_shared<SLKBytes>(bytes("XY"));
    int events = 0;
    std::function<void()> action = [&events] { ++events; };
    SLKDataTransformerRef transformer = createEventGeneratorTransformer(pattern, false, action);
    pattern->assign({'Q'});
    action = nullptr;
    SLKBytes data = bytes("QXYQ");
    transformer->modifyData(data);
    EXPECT_EQ(events, 1);
    auto& generator = dynamic_cast<SLPEventGenerationTransformer&>(*transformer);
    EXPECT_FALSE(generator.removeData());
    EXPECT_TRUE(static_cast<bool>(generator.action()));
}

TEST(EventGenerator, ADirectlyBuiltEmptyPatternActsOncePerCallAndHoldsEverything) {
    int events = 0;
    SLPEventGenerationTransformer generator(SLKBytes{}, [&events] { ++events; }, false);
    SLKBytes data = bytes("ab");
    generator.modifyData(data);
    EXPECT_TRUE(data.empty());
    data.clear();
    generator.modifyData(data);
    EXPECT_EQ(events, 2);
}
