// Network ports: URL parsing, the channel contract of tcp:// and rfc2217:// against a real ser2net
// in front of pseudo-terminals, the RFC 2217 line settings and line control on the wire (checked
// against a scripted Telnet peer), and a full decorator stack over a remote port.
#include "LineSpeedProbe.h"
#include "Ser2NetServer.h"
#include "TestHelpers.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cmath>
#include <future>

using namespace selko::test;
using namespace std::string_literals;

namespace {

const std::string kTelnetDone = "\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x2c"s;   // DO/WILL BINARY, SGA; DO COM-PORT

std::string allByteValues(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

SLKDataChannelRef channelFor(const std::string& url, const SLKOptions* options = nullptr) {
    CommErrorRef error;
    SLKDataChannelRef channel = createChannelForURL(url.c_str(), options, &error);
    EXPECT_TRUE(channel) << (error ? error->message() : "");
    return channel;
}

// A socket listening on 127.0.0.1 at a free port, which `address` receives.
int loopbackListener(int backlog, sockaddr_in& address) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener, backlog), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return listener;
}

} // namespace

TEST(NetworkURL, SchemesHostsAndPorts) {
    const struct {
        const char* url;
        bool valid;
    } rows[] = {
        {"tcp://127.0.0.1:1", true},        {"tcp://localhost:65535/", true},  {"rfc2217://[::1]:2217", true},
        {"rfc2217://device-7.lab:4001", true}, {"tcp://127.0.0.1", false},     {"tcp://127.0.0.1:", false},
        {"tcp://127.0.0.1:0", false},       {"tcp://127.0.0.1:65536", false}, {"tcp://:80", false},
        {"rfc2217://[::1]80", false},       {"rfc2217://::1:80", false},      {"udp://127.0.0.1:80", false},
        {"tcp://host:80x", false},          {"TCP://host:80", false},         {"tcp://host:80/path", false},
    };
    for (const auto& row : rows) {
        CommErrorRef error;
        const SLKDataChannelRef channel = createChannelForURL(row.url, nullptr, &error);
        EXPECT_EQ(channel != nullptr, row.valid) << row.url;
        if (!row.valid)
            expectError(error, 3, std::string("Provided url ") + row.url + " not valid", "Data Channel/SLKChannelForURL.cpp:");
    }
    CommErrorRef error;
    EXPECT_FALSE(SLKSerialPortOf(createChannelForURL("tcp://127.0.0.1:9", nullptr), &error));
    EXPECT_EQ(error->code(), 6);
    EXPECT_TRUE(SLKSerialPortOf(createPassiveChannel(createChannelForURL("rfc2217://127.0.0.1:9", nullptr))));
}

TEST(NetworkConnect, RefusedAndTimedOut) {
    CommErrorRef error;
    const std::string refusedURL = "tcp://127.0.0.1:" + std::to_string(freeLoopbackPort());
    EXPECT_FALSE(channelFor(refusedURL)->openWithTimeout(1.0, &error));
    expectError(error, 4, "Error opening network port " + refusedURL + " - " + errnoText(ECONNREFUSED) + ".",
                "Data Channel/SLKSocketConnect.cpp:");

    // A listener that never accepts, its queue filled: further connections wait for the handshake.
    sockaddr_in address;
    const int listener = loopbackListener(0, address);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    const std::string silentURL = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const auto start = std::chrono::steady_clock::now();
    const bool opened = channelFor(silentURL)->openWithTimeout(0.3, &error);
    const double elapsed = secondsSince(start);
    for (const int fd : fillers)
        ::close(fd);
    ::close(listener);
    EXPECT_FALSE(opened);
    EXPECT_EQ(error->code(), 4);
    EXPECT_NE(error->message().find("Connection timed out"), std::string::npos) << error->message();
    EXPECT_GE(elapsed, 0.29);
    EXPECT_LT(elapsed, 2.0);
}

// ---------------------------------------------------------------------------------------------
// Against ser2net
// ---------------------------------------------------------------------------------------------

class AgainstSer2Net : public NothingLeftBehind, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        NothingLeftBehind::SetUp();
        server = std::make_unique<Ser2NetServer>(rawDevice.path(), rfc2217Device.path());
        if (!server->started())
            GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    }
    void TearDown() override {
        server.reset();
        NothingLeftBehind::TearDown();
    }
    bool rfc2217() const { return GetParam(); }
    VirtualDevice& device() { return rfc2217() ? rfc2217Device : rawDevice; }
    std::string url() const { return rfc2217() ? server->rfc2217URL() : server->tcpURL(); }
    SLKDataChannelRef opened(const SLKOptions* options = nullptr) {
        SLKDataChannelRef channel = channelFor(url(), options);
        CommErrorRef error;
        EXPECT_TRUE(channel->openWithTimeout(5.0, &error)) << (error ? error->message() : "");
        return channel;
    }

    VirtualDevice rawDevice, rfc2217Device;
    std::unique_ptr<Ser2NetServer> server;
};

TEST_P(AgainstSer2Net, ChannelContract) {
    SLKDataChannelRef channel = opened();
    CommErrorRef error;
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, 1, "Device Already Opened", "");

    const std::string awkward("to device \xff\xff\xfe\x00 end", 19);
    ASSERT_TRUE(channel->write(SLKDataWithBytes(awkward.data(), awkward.size()), &error));
    EXPECT_EQ(device().receive(awkward.size(), std::chrono::seconds(5)), awkward);
    const std::string back("from device \xff\xfa\xff\xf0\r\n\x00", 20);
    device().send(back);
    EXPECT_EQ(readAtLeast(*channel, back.size()), back);

    for (const double invalid : {-0.5, -2.0, std::nan("")}) {
        EXPECT_FALSE(channel->readWithTimeout(invalid, &error));
        expectError(error, 3, "time out has an invalid value", "");
    }
    const SLKData nothing = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());

    // Close wakes a reader that would wait forever; the woken read fails and takes nothing.
    auto reader = std::async(std::launch::async, [&] {
        CommErrorRef readError;
        const SLKData data = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_FOREVER, &readError);
        return std::make_pair(data, readError);
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(channel->close(&error));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    const auto [data, readError] = reader.get();
    EXPECT_FALSE(data);
    expectError(readError, 2, "Cannot communicate with closed devices", "");

    EXPECT_FALSE(channel->close(&error));
    expectError(error, 2, "Device Already Closed", "");
    EXPECT_FALSE(channel->write(SLKDataWithString("x"), &error));
    EXPECT_EQ(error->code(), 2);
    EXPECT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();   // reopens
    EXPECT_TRUE(channel->close());
}

TEST_P(AgainstSer2Net, ServerKilledMidRead) {
    SLKDataChannelRef channel = opened();
    auto reader = std::async(std::launch::async, [&] {
        CommErrorRef readError;
        const SLKData data = channel->readWithTimeout(10.0, &readError);
        return std::make_pair(data, readError);
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    server->kill();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto [data, readError] = reader.get();
    EXPECT_FALSE(data);
    expectError(readError, 5, "Device disconnected", "");
    EXPECT_FALSE(channel->isOpened());
}

TEST_P(AgainstSer2Net, OneMebibyteOfEveryByteValueBothWays) {
    SLKDataChannelRef channel = opened();
    const std::string bulk = allByteValues(1 << 20);
    auto writer = std::async(std::launch::async, [&] { return channel->write(SLKDataWithBytes(bulk.data(), bulk.size())); });
    EXPECT_TRUE(device().receive(bulk.size(), std::chrono::seconds(30)) == bulk);
    EXPECT_TRUE(writer.get());

    auto sender = std::async(std::launch::async, [&] { device().send(bulk); });
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (got.size() < bulk.size() && std::chrono::steady_clock::now() < deadline) {
        const SLKData bytes = channel->readWithTimeout(0.5);
        ASSERT_TRUE(bytes);
        got += text(bytes);
    }
    sender.get();
    EXPECT_TRUE(got == bulk) << got.size() << " bytes arrived";
}

// Reader, writer and line-control threads on one channel while another thread closes it.
TEST_P(AgainstSer2Net, ConcurrentCallsAndClose) {
    device().startResponder(true);
    for (int cycle = 0; cycle < 4; ++cycle) {
        SLKDataChannelRef channel = opened();
        const std::shared_ptr<SLKSerialPort> port = rfc2217() ? SLKSerialPortOf(channel) : nullptr;
        auto reader = std::async(std::launch::async, [&] {
            CommErrorRef error;
            while (channel->readWithTimeout(0.02, &error)) {
            }
            return error;
        });
        auto writer = std::async(std::launch::async, [&] {
            CommErrorRef error;
            while (channel->write(SLKDataWithString("ping\xff\n"), &error)) {
            }
            return error;
        });
        auto control = std::async(std::launch::async, [&] {
            long long queued = 0;
            while (port && port->queued(SLKQueue::Both, &queued) && port->discard(SLKQueue::Output)) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(channel->close());
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        ASSERT_EQ(writer.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        ASSERT_EQ(control.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        EXPECT_EQ(reader.get()->code(), 2);
        EXPECT_EQ(writer.get()->code(), 2);
    }
    device().stopResponder();
}

INSTANTIATE_TEST_SUITE_P(Schemes, AgainstSer2Net, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "rfc2217" : "tcp"; });

class RFC2217AgainstSer2Net : public AgainstSer2Net {};

TEST_P(RFC2217AgainstSer2Net, BaudChangeReachesTheRemotePort) {
    for (const long long baud : {9600LL, 57600LL}) {
        const SLKOptions options{{SELKO_COMMUNICATION_UART_BAUD, baud}};
        SLKDataChannelRef channel = opened(&options);
        LineSpeed speed;
        ASSERT_TRUE(readLineSpeed(device().slaveFd(), speed));
        EXPECT_EQ(speed.outputSpeed, static_cast<unsigned>(baud));
        channel->close();
    }
}

// The whole stack over a remote port: background reader, echo removal, transformers.
TEST_P(RFC2217AgainstSer2Net, DecoratorStackRunsTheInstrumentDialogue) {
    device().startResponder(true, [](const std::string& line) {
        return line == "PING" ? std::string("OK\n") : line == "*IDN?" ? std::string("SELKO,METER,\xff\n") : "ERR\n";
    });
    const SLKOptions options{{SELKO_COMMUNICATION_UART_BAUD, 19200LL}};
    CommErrorRef error;
    SLKDataChannelRef active = createActiveChannel(channelFor(url(), &options), &error);
    SLKDataChannelRef echoless = createEchoRemovalChannel(active, SLKDataWithString("\n"), &error);
    const std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(SLKDataWithString("\n"), false)};
    const std::vector<SLKDataTransformerRef> writes{createAppendingTransformer(SLKDataWithString("\n"))};
    SLKDataChannelRef top = createChannelTransformer(echoless, &reads, &writes, &error);
    ASSERT_TRUE(top && top->openWithTimeout(5.0, &error)) << (error ? error->message() : "");
    LineSpeed speed;
    ASSERT_TRUE(readLineSpeed(device().slaveFd(), speed));
    EXPECT_EQ(speed.outputSpeed, 19200u);
    for (const auto& [command, reply] : {std::pair<std::string, std::string>{"PING", "OK\n"},
                                         {"*IDN?", "SELKO,METER,\xff\n"}, {"BOGUS", "ERR\n"}}) {
        ASSERT_TRUE(top->write(SLKDataWithString(command.c_str()), &error));
        EXPECT_EQ(readAtLeast(*top, reply.size()), reply) << command;
    }
    EXPECT_TRUE(top->close(&error));
    device().stopResponder();
}

INSTANTIATE_TEST_SUITE_P(Scheme, RFC2217AgainstSer2Net, ::testing::Values(true),
                         [](const auto&) { return "rfc2217"; });

// ---------------------------------------------------------------------------------------------
// Against a scripted Telnet peer: the bytes on the wire
// ---------------------------------------------------------------------------------------------

namespace {

// The server side of one connection, played by the test: accepts, reads and sends raw bytes.
class ScriptedPeer {
public:
    ScriptedPeer() {
        sockaddr_in address;
        _listener = loopbackListener(1, address);
        _url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~ScriptedPeer() {
        if (_connection >= 0)
            ::close(_connection);
        ::close(_listener);
    }
    const std::string& url() const { return _url; }
    // Accepts the channel's connection and reads its `count` bytes within five seconds.
    std::string acceptAndRead(std::size_t count) {
        pollfd waiting{_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) == 1)
            _connection = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        return read(count);
    }
    std::string read(std::size_t count, int milliseconds = 5000) {
        std::string bytes;
        char chunk[256];
        pollfd waiting{_connection, POLLIN, 0};
        while (bytes.size() < count && ::poll(&waiting, 1, milliseconds) == 1) {
            const ssize_t got = ::recv(_connection, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
            if (got <= 0)
                break;
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes;
    }
    void send(const std::string& bytes) { ::send(_connection, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

private:
    int _listener = -1;
    int _connection = -1;
    std::string _url;
};

std::string sub(std::string body) { return "\xff\xfa\x2c" + body + "\xff\xf0"; }
const std::string kClientHello = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c"s;
const std::string kSettings = sub(std::string("\x01\x00\x01\xc2\x00", 5)) + sub("\x02\x08") + sub("\x03\x01") +
                              sub("\x04\x01") + sub("\x05\x01") + sub("\x0b\xff\xff");
// The server's answers: every setting as asked.
const std::string kAnswers = sub(std::string("\x65\x00\x01\xc2\x00", 5)) + sub("\x66\x08") + sub("\x67\x01") +
                             sub("\x68\x01") + sub("\x69\x01");

} // namespace

TEST(RFC2217Wire, OpenNegotiatesAndChecksEveryAnswer) {
    const struct {
        std::string serverHello, answers, message;
    } rows[] = {
        {kTelnetDone, kAnswers, ""},
        {"\xff\xfe\x2c", "", "the server refused COM-PORT-OPTION."},
        {"", "", "the server did not answer COM-PORT-OPTION."},
        {kTelnetDone, sub(std::string("\x65\x00\x00\x25\x80", 5)), "the server set the baud rate to 9600, not 115200."},
        {kTelnetDone, sub(std::string("\x65\x00\x01\xc2\x00", 5)) + sub("\x66\x07"), "the server set the data size to 7, not 8."},
        {kTelnetDone, sub(std::string("\x65\x00\x01\xc2\x00", 5)), "no answer to the data size setting."},
    };
    for (const auto& row : rows) {
        ScriptedPeer peer;
        SLKDataChannelRef channel = channelFor(peer.url());
        CommErrorRef error;
        auto open = std::async(std::launch::async, [&] { return channel->openWithTimeout(0.5, &error); });
        EXPECT_EQ(peer.acceptAndRead(kClientHello.size()), kClientHello);
        peer.send(row.serverHello);
        if (row.serverHello == kTelnetDone) {
            EXPECT_EQ(peer.read(kSettings.size()), kSettings);
        }
        peer.send(row.answers);
        EXPECT_EQ(open.get(), row.message.empty());
        if (!row.message.empty())
            expectError(error, 4, "Error opening network port " + peer.url() + " - " + row.message, "");
    }
}

TEST(RFC2217Wire, LineControlAndDataOnTheWire) {
    ScriptedPeer peer;
    SLKDataChannelRef channel = channelFor(peer.url());
    auto open = std::async(std::launch::async, [&] { return channel->openWithTimeout(5.0); });
    peer.acceptAndRead(kClientHello.size());
    peer.send(kTelnetDone);
    peer.read(kSettings.size());
    peer.send(kAnswers);
    ASSERT_TRUE(open.get());
    const std::shared_ptr<SLKSerialPort> port = SLKSerialPortOf(channel);

    using Call = std::function<bool(SLKSerialPort&, CommErrorRef*)>;
    const struct {
        Call call;
        std::string wire, answer, failure;
    } rows[] = {
        {[](auto& p, auto e) { return p.setDTR(true, e); }, sub("\x05\x08"), sub("\x69\x08"), ""},
        {[](auto& p, auto e) { return p.setDTR(false, e); }, sub("\x05\x09"), sub("\x69\x09"), ""},
        {[](auto& p, auto e) { return p.setRTS(true, e); }, sub("\x05\x0b"), "", ""},   // unanswered: taken as done
        {[](auto& p, auto e) { return p.setRTS(false, e); }, sub("\x05\x0c"), sub("\x69\x0b"),
         "Error sending RTS off to " + peer.url() + " - the server answered 11."},
        {[](auto& p, auto e) { return p.sendBreak(0.05, e); }, sub("\x05\x05") + sub("\x05\x06"), "", ""},
        {[](auto& p, auto e) { return p.discard(SLKQueue::Input, e); }, sub("\x0c\x01"), sub("\x70\x01"), ""},
        {[](auto& p, auto e) { return p.discard(SLKQueue::Output, e); }, sub("\x0c\x02"), sub("\x70\x02"), ""},
        {[](auto& p, auto e) { return p.discard(SLKQueue::Both, e); }, sub("\x0c\x03"), sub("\x70\x03"), ""},
    };
    for (const auto& row : rows) {
        CommErrorRef error;
        auto call = std::async(std::launch::async, [&] { return row.call(*port, &error); });
        EXPECT_EQ(peer.read(row.wire.size()), row.wire);
        peer.send(row.answer);
        EXPECT_EQ(call.get(), row.failure.empty()) << row.wire.size();
        if (!row.failure.empty())
            expectError(error, 4, row.failure, "");
    }

    // Modem lines as the server reports them; data with commands removed, split across sends.
    SLKModemLines lines;
    CommErrorRef error;
    EXPECT_FALSE(port->modemLines(&lines, &error));
    EXPECT_EQ(error->code(), 4);
    peer.send("ab\xff\xff\xff");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    peer.send("\xfa\x2c\x6b\xb0\xff\xf0" "cd\xff\xf1" "e\xff\xfd\x18");
    EXPECT_EQ(readAtLeast(*channel, 6), "ab\xff" "cde");
    EXPECT_EQ(peer.read(3), "\xff\xfc\x18");   // an unknown option is refused
    ASSERT_TRUE(port->modemLines(&lines, &error));
    EXPECT_TRUE(lines.cts && lines.dsr && lines.dcd && !lines.ri);
    peer.send(sub("\x6b\x40") + "z");   // ring only, then a byte to know it was decoded
    EXPECT_EQ(readAtLeast(*channel, 1), "z");
    ASSERT_TRUE(port->modemLines(&lines, &error));
    EXPECT_TRUE(!lines.cts && !lines.dsr && !lines.dcd && lines.ri);
    ASSERT_TRUE(channel->write(SLKDataWithString("x\xffy")));
    EXPECT_EQ(peer.read(4), "x\xff\xffy");
    long long queued = -1;
    EXPECT_TRUE(port->drain(1.0) && port->queued(SLKQueue::Both, &queued) && queued == 0);
    channel->close();
    EXPECT_FALSE(port->setDTR(true, &error));
    expectError(error, 2, "Cannot communicate with closed devices", "");
}
