// What a user of a real port relies on beyond the happy path: an exception from user code never
// ends the process, and (as a user who is not root, where exclusive use applies) a closed port
// can be opened again at once, round after round.
#include <SelkoCommunication.h>

#include "ScriptedChannel.h"
#include "TestHelpers.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

using namespace selko::test;
using namespace std::chrono_literals;

namespace {

// A user-written channel whose every call throws.
class ThrowingChannel : public SLKDataChannel {
public:
    bool openWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("open boom"); }
    bool close(CommErrorRef*) override { throw std::runtime_error("close boom"); }
    bool isOpened() override { throw 42; }
    SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("read boom"); }
    bool write(const SLKData&, CommErrorRef*) override { throw std::runtime_error("write boom"); }
};

struct DecoratorRow {
    const char* name;
    SLKDataChannelRef (*wrap)(SLKDataChannelRef);
};

const DecoratorRow kDecorators[] = {
    {"passive", [](SLKDataChannelRef c) { return createPassiveChannel(c); }},
    {"active", [](SLKDataChannelRef c) { return createActiveChannel(c); }},
    {"echo", [](SLKDataChannelRef c) { return createEchoRemovalChannel(c, SLKDataWithString("\n")); }},
    {"transformer", [](SLKDataChannelRef c) { return createChannelTransformer(c, nullptr, nullptr); }},
};

TEST(Containment, EveryDecoratorTurnsAnExceptionFromBelowIntoAFailure) {
    for (const DecoratorRow& row : kDecorators) {
        SCOPED_TRACE(row.name);
        const SLKDataChannelRef channel = row.wrap(std::make_shared<ThrowingChannel>());
        CommErrorRef error;
        EXPECT_FALSE(channel->isOpened());
        EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
        EXPECT_EQ(error->code(), SLKErrorPortSystem);
        EXPECT_EQ(error->message(), "Unexpected exception: open boom");
        EXPECT_FALSE(channel->close(&error));
        EXPECT_EQ(error->code(), row.name == std::string("active") ? SLKErrorNotOpened : SLKErrorPortSystem);
        if (row.name == std::string("active"))
            continue;   // a closed active channel refuses reads and writes before calling below
        EXPECT_EQ(error->message(), "Unexpected exception: close boom");
        EXPECT_EQ(channel->readWithTimeout(0.1, &error), nullptr);
        EXPECT_EQ(error->code(), SLKErrorRead);
        // The passive channel asks isOpened first, whose exception is no std::exception.
        EXPECT_EQ(error->message(), row.name == std::string("passive") ? "Unexpected exception: unknown"
                                                                       : "Unexpected exception: read boom");
        EXPECT_FALSE(channel->write(SLKDataWithString("x"), &error));
        EXPECT_EQ(error->code(), SLKErrorPortSystem);
        EXPECT_EQ(error->message(), "Unexpected exception: write boom");
    }
}

TEST(Containment, ThrowingTransformersLoopReadsAndThreadsAreReported) {
    auto scripted = std::make_shared<ScriptedChannel>(true);
    const std::vector<SLKDataTransformerRef> throwing{
        createBlockTransformer([](SLKBytes&) { throw std::runtime_error("transform boom"); })};
    const SLKDataChannelRef transforming = createChannelTransformer(scripted, &throwing, &throwing);
    CommErrorRef error;
    scripted->pushRead("x");
    EXPECT_EQ(transforming->readWithTimeout(0.1, &error), nullptr);
    EXPECT_EQ(error->code(), SLKErrorRead);
    EXPECT_EQ(error->message(), "Unexpected exception: transform boom");
    EXPECT_FALSE(transforming->write(SLKDataWithString("x"), &error));
    EXPECT_EQ(error->code(), SLKErrorPortSystem);
    EXPECT_TRUE(scripted->writes().empty());

    // The background loop's read throws: the loop records it and stops.
    class ThrowingReads : public ScriptedChannel {
    public:
        SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("loop boom"); }
    };
    const SLKDataChannelRef active = createActiveChannel(std::make_shared<ThrowingReads>());
    ASSERT_TRUE(eventually([&] { return !active->isOpened(); }));
    EXPECT_FALSE(active->close(&error));
    EXPECT_EQ(error->message(), "Unexpected exception: loop boom");

    // A launched callable that throws ends its own thread only.
    std::atomic<int> ran{0};
    selko_detachNewThreadWithBlock([&ran] {
        ++ran;
        throw std::logic_error("thread boom");
    });
    EXPECT_TRUE(eventually([&] { return ran == 1; }));
}

TEST(Containment, NullDataAndAnEmptyDelimiterAreHarmless) {
    VirtualDevice device;
    device.startResponder(true);
    const SLKDataChannelRef uart = openedUART(device);
    // Made directly, without the factory's check: an empty delimiter passes everything through.
    SLPEchoRemovalChannel echo(uart, SLKBytes());
    EXPECT_TRUE(echo.write(SLKDataWithString("ab\n")));
    EXPECT_EQ(readAtLeast(echo, 3), "ab\n");
    // Null is refused the same way at every layer: false, and the slot left alone.
    for (const DecoratorRow& row : kDecorators) {
        CommErrorRef error;
        EXPECT_FALSE(row.wrap(uart)->write(nullptr, &error)) << row.name;
        EXPECT_EQ(error, nullptr) << row.name;
    }
    EXPECT_TRUE(uart->close());   // ends the active channel's loop
}

bool anyDescriptorOn(const VirtualDevice& device) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;
        if (std::stoi(entry.path().filename().string()) != device.slaveFd() &&
            std::filesystem::read_symlink(entry.path(), gone) == device.path())
            return true;
    }
    return false;
}

// Exclusive use on (the default) and a background reader on top: close, then a new channel on the
// same port, again and again. Root ignores exclusive use, so this means most as another user.
TEST(RealPorts, ClosedPortsOpenAgainAtOnceRoundAfterRound) {
    VirtualDevice device;
    device.startResponder(true);
    const int rounds = 1000;
    for (int round = 0; round < rounds; ++round) {
        CommErrorRef error;
        const SLKDataChannelRef channel = createActiveChannel(createUARTChannel(device.url().c_str(), nullptr));
        ASSERT_TRUE(channel->openWithTimeout(1.0, &error)) << "round " << round << ": " << error->message();
        if (round % 100 == 0) {
            ASSERT_TRUE(channel->write(SLKDataWithString("r")));
            EXPECT_EQ(readAtLeast(*channel, 1), "r");
        }
        ASSERT_TRUE(channel->close(&error));
        ASSERT_FALSE(anyDescriptorOn(device)) << "round " << round;
    }
    if (::geteuid() == 0)
        std::printf("[ note     ] ran as root, which ignores exclusive use\n");
}

} // namespace
