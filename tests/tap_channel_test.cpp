// The tap decorator: what the tap sees, when it sees it, and that nothing thrown leaves the library.
#include "TestSupport.h"

#include <stdexcept>

using namespace selko::test;

namespace {

// A caller's channel that throws from every operation.
struct ThrowingChannel : SLKDataChannel {
    bool openWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("open broke"); }
    bool close(CommErrorRef*) override { throw 42; }
    bool isOpened() override { throw std::runtime_error("isOpened broke"); }
    SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("read broke"); }
    bool write(const SLKData&, CommErrorRef*) override { throw std::runtime_error("write broke"); }
};

TEST(TapChannel, ShowsEveryBlockInOrderAndTurnsExceptionsIntoErrors) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    wrapped->pushRead("\xff\n");
    wrapped->pushFailure(foreignError("below", 5));
    wrapped->pushRead("X");
    Strings seen;   // direction, bytes, and the wrapped channel's writes/reads at that moment
    const SLKDataChannelRef tap = createTapChannel(wrapped, [&](SLKDirection direction, const SLKBytes& bytes) {
        seen.push_back((direction == SLKDirection::Read ? "R:" : "W:") + std::string(bytes.begin(), bytes.end()) + ":" +
                       std::to_string(wrapped->writes().size()) + "/" + std::to_string(wrapped->readTimeouts().size()));
    });
    CommErrorRef error;
    ASSERT_TRUE(tap->write(SLKDataWithString("PING\n"), &error));
    EXPECT_EQ(text(tap->readWithTimeout(1.0, &error)), "\xff\n");
    EXPECT_EQ(tap->readWithTimeout(0.5, &error), nullptr);   // a failed read is passed on, not shown
    EXPECT_EQ(error->domain(), "below");
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{1.0, 0.5}));
    EXPECT_EQ(seen, (Strings{"W:PING\n:0/0", "R:\xff\n:1/1"}));

    // Exceptions thrown by the tap (then "X" is still queued to be read) or by the wrapped channel.
    const SLKDataChannelRef tapThrows = createTapChannel(wrapped, [](SLKDirection direction, const SLKBytes&) {
        throw std::runtime_error(direction == SLKDirection::Read ? "tap read" : "tap write");
    });
    const SLKDataChannelRef below = createTapChannel(std::make_shared<ThrowingChannel>(), [](auto, const auto&) {});
    const struct {
        int code;
        std::string message;
        std::function<bool(CommErrorRef*)> fails;
    } rows[] = {
        {SLKErrorPortSystem, "tap write", [&](auto e) { return !tapThrows->write(SLKDataWithString("A"), e); }},
        {SLKErrorRead, "tap read", [&](auto e) { return !tapThrows->readWithTimeout(0, e); }},
        {SLKErrorPortSystem, "open broke", [&](auto e) { return !below->openWithTimeout(1, e); }},
        {SLKErrorPortSystem, "unknown", [&](auto e) { return !below->close(e); }},
        {SLKErrorRead, "read broke", [&](auto e) { return !below->readWithTimeout(0, e); }},
        {SLKErrorPortSystem, "write broke", [&](auto e) { return !below->write(SLKDataWithString("A"), e); }},
    };
    for (const auto& row : rows) {
        error = nullptr;
        EXPECT_TRUE(row.fails(&error)) << row.message;
        expectError(error, row.code, "Unexpected exception: " + row.message, kTapSource);
    }
    EXPECT_EQ(wrapped->writes(), Strings{"PING\n"});   // the tap runs before the wrapped write
    EXPECT_FALSE(below->isOpened());
}

} // namespace
