// What a user of the library relies on beyond the happy path: an exception from user code (a
// channel, a transformer, a launched callable) never ends the process.
#include "TestSupport.h"

#include <atomic>
#include <stdexcept>

using namespace selko::test;

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

const std::pair<std::string, SLKDataChannelRef (*)(SLKDataChannelRef)> kDecorators[] = {
    {"passive", [](SLKDataChannelRef c) { return createPassiveChannel(c); }},
    {"active", [](SLKDataChannelRef c) { return createActiveChannel(c); }},
    {"echo", [](SLKDataChannelRef c) { return createEchoRemovalChannel(c, SLKDataWithString("\n")); }},
    {"transformer", [](SLKDataChannelRef c) { return createChannelTransformer(c, nullptr, nullptr); }}};

} // namespace

TEST(Containment, EveryDecoratorTurnsAnExceptionFromBelowIntoAFailure) {
    for (const auto& [name, wrap] : kDecorators) {
        const SLKDataChannelRef channel = wrap(std::make_shared<ThrowingChannel>());
        CommErrorRef e[4];
        EXPECT_FALSE(channel->isOpened() || channel->openWithTimeout(1.0, &e[0]) || channel->close(&e[1]) ||
                     channel->readWithTimeout(0.1, &e[2]) || channel->write(SLKDataWithString("x"), &e[3])) << name;
        // The passive channel asks isOpened before it reads, whose exception is no std::exception.
        const std::tuple<int, int, std::string> calls[] = {{0, SLKErrorPortSystem, "open boom"},
            {1, SLKErrorPortSystem, "close boom"}, {2, SLKErrorRead, name == "passive" ? "unknown" : "read boom"},
            {3, SLKErrorPortSystem, "write boom"}};
        for (const auto& [i, code, what] : calls) {
            ASSERT_NE(e[i], nullptr) << name << " " << what;
            if (name == "active" && i > 0) // closed: refused before the call goes below
                EXPECT_EQ(e[i]->code(), SLKErrorNotOpened) << what;
            else
                EXPECT_EQ(std::make_pair(e[i]->code(), e[i]->message()),
                          std::make_pair(code, "Unexpected exception: " + what)) << name;
        }
    }
}

// A throwing transformer fails the read or write it serves; a background loop whose read throws
// records the exception and stops; a launched callable that throws ends its own thread only.
TEST(Containment, ThrowingTransformersLoopReadsAndThreadsAreReported) {
    auto scripted = std::make_shared<ScriptedChannel>(true);
    const std::vector<SLKDataTransformerRef> throwing{
        createBlockTransformer([](SLKBytes&) { throw std::runtime_error("transform boom"); })};
    const SLKDataChannelRef transforming = createChannelTransformer(scripted, &throwing, &throwing);
    class ThrowingReads : public ScriptedChannel {
        SLKData readWithTimeout(double, CommErrorRef*) override { throw std::runtime_error("loop boom"); }
    };
    const SLKDataChannelRef active = createActiveChannel(std::make_shared<ThrowingReads>());
    CommErrorRef read, write, loop;
    scripted->pushRead("x");
    EXPECT_FALSE(transforming->readWithTimeout(0.1, &read) || transforming->write(SLKDataWithString("x"), &write));
    ASSERT_TRUE(eventually([&] { return !active->isOpened(); }));
    EXPECT_FALSE(active->close(&loop));
    EXPECT_EQ(std::make_tuple(read->code(), read->message(), write->code(), scripted->writes().size(), loop->message()),
              std::make_tuple(int(SLKErrorRead), std::string("Unexpected exception: transform boom"),
                              int(SLKErrorPortSystem), std::size_t(0), std::string("Unexpected exception: loop boom")));
    std::atomic<int> ran{0};
    selko_detachNewThreadWithBlock([&ran] { throw std::logic_error(std::to_string(++ran)); });
    EXPECT_TRUE(eventually([&] { return ran == 1; }));
}
