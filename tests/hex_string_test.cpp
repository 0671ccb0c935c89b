// Hexadecimal text to bytes.
#include <SelkoCommunication.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

SLKBytes parse(const char* text) {
    std::shared_ptr<SLKBytes> result = SLKDataFromHexString(text);
    EXPECT_NE(result, nullptr);
    return result ? *result : SLKBytes{0xEE, 0xEE, 0xEE};
}

} // namespace

TEST(HexString, NothingToParseGivesNoBytes) {
    EXPECT_TRUE(parse(nullptr).empty());
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("0x").empty());
}

TEST(HexString, PairsAndPrefixes) {
    EXPECT_EQ(parse("0x12"), (SLKBytes{0x12}));
    EXPECT_EQ(parse("12ab"), (SLKBytes{0x12, 0xAB}));
    EXPECT_EQ(parse("12AB"), (SLKBytes{0x12, 0xAB}));
    EXPECT_EQ(parse("abc"), (SLKBytes{0x0A, 0xBC}));  // odd length: a leading 0
    EXPECT_EQ(parse("0x1"), (SLKBytes{0x01}));
    // A leading "0x" removes every "0x"; the result "12 34" is odd, so it becomes "012 34".
    EXPECT_EQ(parse("0x12 0x34"), (SLKBytes{0x01, 0x02, 0x34}));
    // No leading "0x": nothing is removed and the pair "0x" is 0.
    EXPECT_EQ(parse("120x34"), (SLKBytes{0x12, 0x00, 0x34}));
    EXPECT_EQ(parse("0X12"), (SLKBytes{0x00, 0x12}));  // the prefix test is case-sensitive
    // One left-to-right pass: the occurrences at the first and fourth characters go, "0x" stays.
    EXPECT_EQ(parse("0x00xx"), (SLKBytes{0x00}));
}

TEST(HexString, EachPairIsReadLikeStrtoulReadsIt) {
    struct Pair {
        const char* text;
        std::uint8_t byte;
    };
    // ("0x" on its own is a prefix and is removed; "120x34" covers the pair.)
    const Pair pairs[] = {{"0a", 0x0A}, {"0A", 0x0A}, {"ff", 0xFF}, {" 7", 0x07}, {"7 ", 0x07},
                          {"1g", 0x01}, {"g1", 0x00}, {"0X", 0x00}, {"-1", 0xFF},
                          {"-f", 0xF1}, {"+f", 0x0F}, {"\t9", 0x09}, {"zz", 0x00}};
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.text);
        EXPECT_EQ(parse(pair.text), SLKBytes{pair.byte});
    }
}

TEST(HexString, NeverReadsBeyondTheText) {
    // The text ends right before an unreadable page: any read past its terminator faults.
    const long page = sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + page, static_cast<std::size_t>(page), PROT_NONE), 0);
    const std::pair<const char*, std::size_t> texts[] = {{"0", 1}, {"0x0", 1}, {"abc", 2}, {"\xff\x80z", 2}, {"0x0x0x1", 1}};
    for (const auto& [text, size] : texts) {
        const std::size_t length = std::strlen(text) + 1;
        char* copy = area + page - length;
        std::memcpy(copy, text, length);
        EXPECT_EQ(SLKDataFromHexString(copy)->size(), size) << text;
    }
    munmap(area, static_cast<std::size_t>(2 * page));
}
