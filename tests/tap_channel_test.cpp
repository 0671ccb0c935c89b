// The tap decorator: what the tap sees, when it sees it, and that nothing thrown leaves the library.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace selko::test;

namespace {

TEST(TapChannel, ShowsEveryBlockInOrderAndPassesItOnUnchanged) {
    auto wrapped = std::make_shared<ScriptedChannel>();
    const SLKBytes binary{0x00, 0xff, '\n', 0x80};
    wrapped->pushReadBytes(binary);
    wrapped->pushRead("");
    wrapped->pushFailure(foreignError("below", 5));
    // Each sighting records the direction, the bytes, and how many writes the wrapped channel had
    // taken and reads it had answered at that moment.
    Strings seen;
    const SLKDataChannelRef tap = createTapChannel(wrapped, [&](SLKDirection direction, const SLKBytes& bytes) {
        seen.push_back((direction == SLKDirection::Read ? "R:" : "W:") + std::string(bytes.begin(), bytes.end()) + ":" +
                       std::to_string(wrapped->writes().size()) + "/" + std::to_string(wrapped->readTimeouts().size()));
    });
    CommErrorRef error;
    ASSERT_TRUE(tap->write(SLKDataWithString("PING\n"), &error));
    EXPECT_EQ(*tap->readWithTimeout(1.0, &error), binary);
    EXPECT_EQ(text(tap->readWithTimeout(0.5, &error)), "");
    EXPECT_EQ(tap->readWithTimeout(0.5, &error), nullptr); // a failed read is passed on, not shown
    EXPECT_EQ(error->domain(), "below");
    EXPECT_EQ(wrapped->writes(), Strings{"PING\n"});
    EXPECT_EQ(wrapped->readTimeouts(), (std::vector<double>{1.0, 0.5, 0.5}));
    EXPECT_EQ(seen, (Strings{"W:PING\n:0/0", "R:" + std::string(binary.begin(), binary.end()) + ":1/1", "R::1/2"}));
}

// A caller's channel that throws from every operation.
class ThrowingChannel : public SLKDataChannel {
public:
    bool openWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("open broke"); }
    bool close(CommErrorRef*) override { throw 42; }
    bool isOpened() override { throw std::runtime_error("isOpened broke"); }
    SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("read broke"); }
    bool write(const SLKData&, CommErrorRef*) override { throw std::runtime_error("write broke"); }
};

TEST(TapChannel, ExceptionsFromTheTapOrTheWrappedChannelBecomeErrors) {
    const auto throwingTap = [](SLKDirection direction, const SLKBytes&) {
        throw std::runtime_error(direction == SLKDirection::Read ? "tap read" : "tap write");
    };
    auto scripted = std::make_shared<ScriptedChannel>();
    scripted->pushRead("X");
    const SLKDataChannelRef tapThrows = createTapChannel(scripted, throwingTap);
    const SLKDataChannelRef channelThrows =
        createTapChannel(std::make_shared<ThrowingChannel>(), [](SLKDirection, const SLKBytes&) {});
    struct Case {
        int code;
        std::string message;
        std::function<bool(CommErrorRef*)> failed;
    };
    const Case cases[] = {
        {SLKErrorPortSystem, "Unexpected exception: tap write",
         [&](CommErrorRef* e) { return !tapThrows->write(SLKDataWithString("A"), e); }},
        {SLKErrorRead, "Unexpected exception: tap read",
         [&](CommErrorRef* e) { return !tapThrows->readWithTimeout(0, e); }},
        {SLKErrorPortSystem, "Unexpected exception: open broke",
         [&](CommErrorRef* e) { return !channelThrows->openWithTimeout(1, e); }},
        {SLKErrorPortSystem, "Unexpected exception: unknown",
         [&](CommErrorRef* e) { return !channelThrows->close(e); }},
        {SLKErrorRead, "Unexpected exception: read broke",
         [&](CommErrorRef* e) { return !channelThrows->readWithTimeout(0, e); }},
        {SLKErrorPortSystem, "Unexpected exception: write broke",
         [&](CommErrorRef* e) { return !channelThrows->write(SLKDataWithString("A"), e); }},
    };
    for (const Case& c : cases) {
        CommErrorRef error;
        EXPECT_TRUE(c.failed(&error)) << c.message;
        expectError(error, c.code, c.message, kTapSource);
    }
    EXPECT_TRUE(scripted->writes().empty()); // the tap runs before the wrapped write
    EXPECT_FALSE(channelThrows->isOpened());
}

} // namespace
