// The error record and the reporting rule every fallible operation keeps.
#include <SelkoCommunication.h>

#include <gtest/gtest.h>

#include <cstring>

TEST(Constants, ValuesAndVersion) {
    EXPECT_EQ(SELKO_COMMUNICATION_TIME_FOREVER, -1.0);
    EXPECT_EQ(SELKO_COMMUNICATION_TIME_NOW, 0.0);
    EXPECT_EQ(DEFAULT_BUFFER_SIZE, 65536u);
    EXPECT_STREQ(SelkoCommunicationVersionString,
                 "@(#)PROGRAM:SelkoCommunication  PROJECT:SelkoCommunication-1.18.0\n");
    EXPECT_EQ(SelkoCommunicationVersionNumber, 1.18);
    EXPECT_STREQ(SelkoCommunicationErrorDomain, "org.selko.selko-communication");
    // One organisation for the domain and the three option keys.
    EXPECT_STREQ(SELKO_COMMUNICATION_UART_MODE, "org.selko.uart-mode");
    EXPECT_STREQ(SELKO_COMMUNICATION_UART_BAUD, "org.selko.uart-baud");
    EXPECT_STREQ(SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, "org.selko.uart-exclusive-lock");
}

TEST(DataHelpers, BuildImmutableBytes) {
    EXPECT_EQ(*SLKDataWithString("PING\n"), (SLKBytes{'P', 'I', 'N', 'G', '\n'}));
    ASSERT_NE(SLKDataWithString(nullptr), nullptr);
    EXPECT_TRUE(SLKDataWithString(nullptr)->empty());
    const unsigned char raw[] = {0, 1, 255};
    EXPECT_EQ(*SLKDataWithBytes(raw, sizeof raw), (SLKBytes{0, 1, 255}));
    EXPECT_TRUE(SLKDataWithBytes(nullptr, 5)->empty());
}

TEST(ErrorRecord, HasDomainCodeAndExactlyThreeKeys) {
    CommErrorRef error;
    ASSERT_EQ(createPassiveChannel(nullptr, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), SelkoCommunicationErrorDomain);
    EXPECT_EQ(error->code(), SLKErrorInvalidArgument);
    ASSERT_EQ(error->userInfo().size(), 3u);
    EXPECT_EQ(error->message(), "channel cannot be nil");
    EXPECT_EQ(std::get<std::string>(error->userInfo().at("ErrorMessage")), "channel cannot be nil");
    // The location is relative to the source root: no build-machine path leaks out.
    const std::string location = std::get<std::string>(error->userInfo().at("ErrorLocation"));
    EXPECT_EQ(location.rfind("Data Channel Decorator/SLKDataChannelDecorator.cpp:", 0), 0u) << location;
    EXPECT_GT(std::stoi(location.substr(location.find(':') + 1)), 0);
    const auto& stack = std::get<std::vector<std::string>>(error->userInfo().at("ErrorCallStack"));
    EXPECT_GE(stack.size(), 2u);
    EXPECT_EQ(stack, error->callStack());
    EXPECT_EQ(error->location(), location);
}

TEST(ErrorRecord, OutParameterRule) {
    // No slot: nothing is built, the failure result still comes back.
    EXPECT_EQ(createActiveChannel(nullptr), nullptr);

    // A failure replaces what the slot held.
    CommErrorRef error = std::make_shared<const CommError>("earlier", 99, CommError::InfoMap{});
    EXPECT_EQ(createEchoRemovalChannel(nullptr, nullptr, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 3);
    EXPECT_EQ(error->message(), "channel cannot be nil");

    // A success leaves the slot as it was.
    const CommErrorRef before = error;
    struct Quiet : SLKDataChannel {
        bool openWithTimeout(double, CommErrorRef*) override { return true; }
        bool close(CommErrorRef*) override { return true; }
        bool isOpened() override { return false; }
        SLKData readWithTimeout(double, CommErrorRef*) override { return SLKDataWithString(""); }
        bool write(const SLKData&, CommErrorRef*) override { return true; }
    };
    EXPECT_NE(createPassiveChannel(std::make_shared<Quiet>(), &error), nullptr);
    EXPECT_EQ(error, before);
}

TEST(ErrorRecord, ConveniencesOnForeignRecords) {
    const CommError bare("elsewhere", 7, CommError::InfoMap{{"ErrorMessage", std::vector<std::string>{"x"}}});
    EXPECT_EQ(bare.message(), "");
    EXPECT_EQ(bare.location(), "");
    EXPECT_TRUE(bare.callStack().empty());
}
