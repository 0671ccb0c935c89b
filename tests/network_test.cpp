// Network ports: URL parsing, the channel contract of tcp:// and rfc2217:// against a real ser2net
// in front of pseudo-terminals, a full decorator stack over a remote port, and the RFC 2217 bytes
// on the wire checked against a scripted Telnet peer.
#include "TestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cmath>
#include <future>

using namespace selko::test;
using namespace std::string_literals;

namespace {

SLKDataChannelRef channelFor(const std::string& url, const SLKOptions* options = nullptr) {
    CommErrorRef error;
    SLKDataChannelRef channel = createChannelForURL(url.c_str(), options, &error);
    EXPECT_TRUE(channel) << (error ? error->message() : "");
    return channel;
}

// Starts a read that may wait `timeout`, checks it still waits after 100 ms, runs `action`, and
// checks that the read then ends at once, failed with `code` and `message`.
void expectActionEndsRead(SLKDataChannel& channel, double timeout, const std::function<void()>& action, int code,
                          const std::string& message) {
    CommErrorRef error;
    auto reader = std::async(std::launch::async, [&] { return channel.readWithTimeout(timeout, &error); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    action();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    expectError(error, code, message, "");
}

// A socket listening on 127.0.0.1 at a free port; `url` receives its rfc2217:// URL.
int loopbackListener(int backlog, sockaddr_in& address, std::string& url) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = sockaddr_in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener, backlog), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    return listener;
}

} // namespace

TEST(NetworkURL, SchemesHostsAndPorts) {
    for (const char* url : {"tcp://127.0.0.1:1", "tcp://localhost:65535/", "rfc2217://[::1]:2217", "tcp://aZ-09.zA_:1"})
        EXPECT_TRUE(createChannelForURL(url, nullptr)) << url;
    for (const char* url : {"tcp://127.0.0.1", "tcp://127.0.0.1:", "tcp://127.0.0.1:0", "tcp://127.0.0.1:65536",
                            "tcp://:80", "rfc2217://[::1]80", "rfc2217://::1:80", "udp://127.0.0.1:80",
                            "tcp://host:80x", "TCP://host:80", "tcp://host:80/path", "tcp://h t:80", "tcp://[::1:80"}) {
        CommErrorRef error;
        EXPECT_FALSE(createChannelForURL(url, nullptr, &error));
        expectError(error, 3, "Provided url "s + url + " not valid", "Data Channel/SLKChannelForURL.cpp:");
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
    std::string silentURL;
    const int listener = loopbackListener(0, address, silentURL);
    int fillers[4];
    for (int& fd : fillers) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(channelFor(silentURL)->openWithTimeout(0.3, &error));
    const double elapsed = secondsSince(start);
    for (const int fd : fillers)
        ::close(fd);
    ::close(listener);
    EXPECT_EQ(error->code(), 4);
    EXPECT_NE(error->message().find("Connection timed out"), std::string::npos) << error->message();
    EXPECT_TRUE(elapsed >= 0.29 && elapsed < 2.0) << elapsed;
}

// Against ser2net, over tcp:// (false) and rfc2217:// (true).
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
    VirtualDevice& device() { return GetParam() ? rfc2217Device : rawDevice; }
    SLKDataChannelRef remote(const SLKOptions* options = nullptr) {
        return channelFor(GetParam() ? server->rfc2217URL() : server->tcpURL(), options);
    }
    SLKDataChannelRef opened() {
        SLKDataChannelRef result = remote();
        CommErrorRef error;
        EXPECT_TRUE(result->openWithTimeout(5.0, &error)) << (error ? error->message() : "");
        return result;
    }

    VirtualDevice rawDevice, rfc2217Device;
    std::unique_ptr<Ser2NetServer> server;
};

TEST_P(AgainstSer2Net, ChannelContractUpToTheServerDying) {
    SLKDataChannelRef channel = opened();
    CommErrorRef error;
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, 1, "Device Already Opened", "");
    const std::string awkward("to device \xff\xff\xfe\x00 end", 19), back("from device \xff\xfa\xff\xf0\r\n\x00", 20);
    ASSERT_TRUE(channel->write(SLKDataWithBytes(awkward.data(), awkward.size()), &error));
    EXPECT_EQ(device().receive(awkward.size(), std::chrono::seconds(5)), awkward);
    device().send(back);
    EXPECT_EQ(readAtLeast(*channel, back.size()), back);
    for (const double invalid : {-0.5, std::nan("")}) {
        EXPECT_FALSE(channel->readWithTimeout(invalid, &error));
        expectError(error, 3, "time out has an invalid value", "");
    }
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)), "");

    // Close wakes a reader that would wait forever.
    expectActionEndsRead(*channel, SELKO_COMMUNICATION_TIME_FOREVER, [&] { EXPECT_TRUE(channel->close()); }, 2,
                         "Cannot communicate with closed devices");
    EXPECT_FALSE(channel->close(&error));
    expectError(error, 2, "Device Already Closed", "");
    EXPECT_FALSE(channel->write(SLKDataWithString("x"), &error));
    EXPECT_EQ(error->code(), 2);

    // Reopened, then the server dies under a waiting reader.
    ASSERT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();
    expectActionEndsRead(*channel, 10.0, [&] { server->kill(); }, 5, "Device disconnected");
    EXPECT_FALSE(channel->isOpened());
}

TEST_P(AgainstSer2Net, OneMebibyteOfEveryByteValueBothWays) {
    SLKDataChannelRef channel = opened();
    std::string bulk(1 << 20, '\0');
    for (std::size_t i = 0; i < bulk.size(); ++i)
        bulk[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    auto writer = std::async(std::launch::async,
                             [&] { return channel->write(SLKDataWithBytes(bulk.data(), bulk.size())); });
    EXPECT_TRUE(device().receive(bulk.size(), std::chrono::seconds(30)) == bulk);
    EXPECT_TRUE(writer.get());
    auto sender = std::async(std::launch::async, [&] { device().send(bulk); });
    std::string got;
    for (SLKData bytes; got.size() < bulk.size() && (bytes = channel->readWithTimeout(5.0)) && !bytes->empty();)
        got += text(bytes);
    sender.get();
    EXPECT_TRUE(got == bulk) << got.size() << " bytes arrived";
}

// Reader, writer and line-control threads on one channel while another thread closes it.
TEST_P(AgainstSer2Net, ConcurrentCallsAndClose) {
    device().startResponder(true);
    for (int cycle = 0; cycle < 4; ++cycle) {
        SLKDataChannelRef channel = opened();
        const std::shared_ptr<SLKSerialPort> port = GetParam() ? SLKSerialPortOf(channel) : nullptr;
        long long queued = 0;
        const std::function<bool(CommErrorRef*)> calls[] = {
            [&](auto e) { return bool(channel->readWithTimeout(0.02, e)); },
            [&](auto e) { return channel->write(SLKDataWithString("ping\xff\n"), e); },
            [&](auto e) {
                return port && port->queued(SLKQueue::Both, &queued, e) && port->discard(SLKQueue::Output, e);
            },
        };
        std::vector<std::future<CommErrorRef>> failures;   // each call repeated until it fails
        for (const auto& call : calls)
            failures.push_back(std::async(std::launch::async, [&call, error = CommErrorRef()]() mutable {
                while (call(&error)) {
                }
                return error;
            }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));   // lets the three calls overlap the close
        ASSERT_TRUE(channel->close());
        for (auto& failure : failures)
            ASSERT_EQ(failure.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        EXPECT_EQ(failures[0].get()->code(), 2);
        EXPECT_EQ(failures[1].get()->code(), 2);
    }
    device().stopResponder();
}

// The whole stack over a remote port: background reader, echo removal, transformers; the baud
// rate of the options reaches the remote port through rfc2217:// only (ser2net's own otherwise).
TEST_P(AgainstSer2Net, DecoratorStackRunsTheInstrumentDialogue) {
    device().startResponder(true, [](const std::string& line) {
        return line == "PING" ? "OK\n"s : line == "*IDN?" ? "SELKO,\xff\n"s : "ERR\n"s;
    });
    const SLKOptions options{{SELKO_COMMUNICATION_UART_BAUD, 19200LL}};
    CommErrorRef error;
    const SLKData lineFeed = SLKDataWithString("\n");
    const std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(lineFeed, false)},
        writes{createAppendingTransformer(lineFeed)};
    const SLKDataChannelRef active = createActiveChannel(remote(&options), &error);
    const SLKDataChannelRef top =
        createChannelTransformer(createEchoRemovalChannel(active, lineFeed, &error), &reads, &writes, &error);
    ASSERT_TRUE(top && top->openWithTimeout(5.0, &error)) << (error ? error->message() : "");
    for (const auto& [command, reply] : {std::pair{"PING"s, "OK\n"s}, {"*IDN?"s, "SELKO,\xff\n"s}, {"X"s, "ERR\n"s}}) {
        ASSERT_TRUE(top->write(SLKDataWithString(command.c_str()), &error));
        EXPECT_EQ(readAtLeast(*top, reply.size()), reply) << command;
    }
    // Read once data has gone through, when ser2net has surely opened the port behind a raw accepter.
    LineSpeed speed;
    ASSERT_TRUE(readLineSpeed(device().slaveFd(), speed));
    EXPECT_EQ(speed.outputSpeed, GetParam() ? 19200u : 115200u);
    EXPECT_TRUE(top->close(&error));
    device().stopResponder();
}

INSTANTIATE_TEST_SUITE_P(Schemes, AgainstSer2Net, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "rfc2217" : "tcp"; });

namespace {

// The server side of one rfc2217:// connection, played by the test with raw bytes.
class ScriptedPeer {
public:
    ScriptedPeer() : _listener(loopbackListener(1, _address, url)) {}
    ~ScriptedPeer() {
        ::close(_connection);
        ::close(_listener);
    }
    // Reads `count` bytes of the channel's (fewer if none come for five seconds), accepting its
    // connection first.
    std::string read(std::size_t count) {
        if (_connection < 0) {
            _connection = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const timeval limit{5, 0};
            ::setsockopt(_connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        }
        std::string bytes(count, '\0');
        return bytes.substr(0, std::max<ssize_t>(::recv(_connection, bytes.data(), count, MSG_WAITALL), 0));
    }
    void send(const std::string& bytes) { ::send(_connection, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    std::string url;

private:
    sockaddr_in _address;
    int _listener, _connection = -1;
};

std::string sub(const std::string& body) { return "\xff\xfa\x2c" + body + "\xff\xf0"; }
const std::string kClientHello = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c"s;
const std::string kServerHello = "\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x2c"s;
// Baud rate, data size, parity, stop size and flow control as sent for no options; then the modem
// line mask, which gets no answer.
const std::string kSettings = sub("\x01\x00\x01\xc2\x00"s) + sub("\x02\x08") + sub("\x03\x01") + sub("\x04\x01") +
                              sub("\x05\x01");
const std::string kMask = sub("\x0b\xff\xff");

// The server's answers to `settings`: every one as asked.
std::string answersTo(std::string settings) {
    const std::string start = "\xff\xfa\x2c";
    for (std::size_t at = settings.find(start); at != std::string::npos; at = settings.find(start, at + 1))
        settings[at + 3] = static_cast<char>(settings[at + 3] + 100);
    return settings;
}

// Plays the server's side of an open that sends `settings`: agrees to every option, answers as asked.
void agree(ScriptedPeer& peer, const std::string& settings) {
    EXPECT_EQ(peer.read(kClientHello.size()), kClientHello);
    peer.send(kServerHello);
    EXPECT_EQ(peer.read(settings.size() + kMask.size()), settings + kMask);
    peer.send(answersTo(settings));
}

} // namespace

TEST(RFC2217Wire, OpenNegotiatesAndChecksEveryAnswer) {
    const struct {
        std::string serverHello, answers, message;
    } rows[] = {
        {kServerHello, answersTo(kSettings), ""},
        {"\xff\xfe\x2c", "", "the server refused COM-PORT-OPTION."},
        {"", "", "the server did not answer COM-PORT-OPTION."},
        {kServerHello, sub("\x65\x00\x00\x25\x80"s), "the server set the baud rate to 9600, not 115200."},
        {kServerHello, sub("\x65\x00\x01\xc2\x00"s) + sub("\x66\x07"), "the server set the data size to 7, not 8."},
        {kServerHello, sub("\x65\x00\x01\xc2\x00"s), "no answer to the data size setting."},
    };
    for (const auto& row : rows) {
        ScriptedPeer peer;
        SLKDataChannelRef channel = channelFor(peer.url);
        CommErrorRef error;
        auto open = std::async(std::launch::async, [&] { return channel->openWithTimeout(0.5, &error); });
        EXPECT_EQ(peer.read(kClientHello.size()), kClientHello);
        peer.send(row.serverHello);
        const bool agreed = row.serverHello == kServerHello;   // then the settings follow
        EXPECT_EQ(peer.read(agreed ? kSettings.size() + kMask.size() : 0), agreed ? kSettings + kMask : "");
        peer.send(row.answers);
        EXPECT_EQ(open.get(), row.message.empty()) << row.message;
        if (!row.message.empty())
            expectError(error, 4, "Error opening network port " + peer.url + " - " + row.message, "");
    }
}

// The settings the options ask for, as sent at open, or the complaint about an option (before any
// connection is made).
TEST(RFC2217Wire, LineSettingsFromTheOptions) {
    const char *baud = SELKO_COMMUNICATION_UART_BAUD, *mode = SELKO_COMMUNICATION_UART_MODE,
               *flow = SELKO_COMMUNICATION_UART_FLOW_CONTROL;
    const struct {
        SLKOptions options;
        std::string settingsOrFailure;
    } rows[] = {
        {{{baud, 4294967295LL}, {mode, "5E2"s}, {flow, "rts/cts"s}},
         sub("\x01\xff\xff\xff\xff\xff\xff\xff\xff"s) + sub("\x02\x05") + sub("\x03\x03") + sub("\x04\x02") +
             sub("\x05\x03")},
        {{{baud, 1LL}, {mode, "7O1"s}, {flow, "xon/xoff"s}},
         sub("\x01\x00\x00\x00\x01"s) + sub("\x02\x07") + sub("\x03\x02") + sub("\x04\x01") + sub("\x05\x02")},
        {{{mode, "8N1"s}, {flow, "none"s}}, kSettings},
        {{{baud, 0LL}}, "Invalid baud rate (Use a positive integer)"},
        {{{baud, 4294967296LL}}, "Invalid baud rate (Use a positive integer)"},
        {{{baud, "fast"s}}, "Invalid baud rate (Use a positive integer)"},
        {{{mode, "4N1"s}}, "Invalid Character Size (Use 5, 6, 7, or 8)"},
        {{{mode, "9N1"s}}, "Invalid Character Size (Use 5, 6, 7, or 8)"},
        {{{mode, "8M1"s}}, "Invalid parity (Use N, O, or E)"},
        {{{mode, "8N"s}}, "Invalid stop but (Use 1, or 2)"},
        {{{flow, "dtr/dsr"s}}, "Invalid flow control (Use none, rts/cts or xon/xoff)"},
    };
    for (const auto& row : rows) {
        ScriptedPeer peer;
        SLKDataChannelRef channel = channelFor(peer.url, &row.options);
        CommErrorRef error;
        auto open = std::async(std::launch::async, [&] { return channel->openWithTimeout(5.0, &error); });
        if (row.settingsOrFailure.rfind("Invalid", 0) == 0) {
            EXPECT_FALSE(open.get());
            expectError(error, 3, row.settingsOrFailure, "Data Channel/SLKLineSettings.cpp:");
        } else {
            agree(peer, row.settingsOrFailure);
            EXPECT_TRUE(open.get()) << (error ? error->message() : "");
        }
    }
}

TEST(RFC2217Wire, LineControlAndDataOnTheWire) {
    ScriptedPeer peer;
    SLKDataChannelRef channel = channelFor(peer.url);
    auto open = std::async(std::launch::async, [&] { return channel->openWithTimeout(5.0); });
    agree(peer, kSettings);
    ASSERT_TRUE(open.get());
    const std::shared_ptr<SLKSerialPort> port = SLKSerialPortOf(channel);
    const struct {
        std::function<bool(SLKSerialPort&, CommErrorRef*)> call;
        std::string wire, answer, failure;
    } rows[] = {
        {[](auto& p, auto e) { return p.setDTR(true, e); }, sub("\x05\x08"), sub("\x69\x08"), ""},
        {[](auto& p, auto e) { return p.setDTR(false, e); }, sub("\x05\x09"), sub("\x69\x09"), ""},
        {[](auto& p, auto e) { return p.setRTS(true, e); }, sub("\x05\x0b"), "", ""},   // unanswered: taken as done
        {[](auto& p, auto e) { return p.setRTS(false, e); }, sub("\x05\x0c"), sub("\x69\x0b"),
         "Error sending RTS off to " + peer.url + " - the server answered 11."},
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
        if (row.failure.empty()) {
            EXPECT_EQ(error, nullptr) << row.wire.size();   // success leaves the slot alone
        } else {
            expectError(error, 4, row.failure, "");
        }
    }

    // Modem lines as the server reports them; data with commands removed, split across sends.
    SLKModemLines lines;
    CommErrorRef error;
    EXPECT_FALSE(port->modemLines(&lines, &error));
    EXPECT_EQ(error->code(), 4);
    peer.send("ab\xff\xff\xff");
    EXPECT_EQ(readAtLeast(*channel, 3), "ab\xff");
    peer.send("\xfa\x2c\x6b\xb0\xff\xf0" "cd\xff\xf1" "e\xff\xfd\x18");
    EXPECT_EQ(readAtLeast(*channel, 3), "cde");
    EXPECT_EQ(peer.read(3), "\xff\xfc\x18");   // an unknown option is refused
    ASSERT_TRUE(port->modemLines(&lines, &error));
    EXPECT_TRUE(lines.cts && lines.dsr && lines.dcd && !lines.ri);
    peer.send(sub("\x6b\x40") + "z");   // ring only, then a byte to know it was decoded
    EXPECT_EQ(readAtLeast(*channel, 1), "z");
    ASSERT_TRUE(port->modemLines(&lines, &error));
    EXPECT_TRUE(!lines.cts && !lines.dsr && !lines.dcd && lines.ri);
    peer.send(sub("\x6b\xff\xff") + "w");   // every line, its 0xFF doubled in the body
    EXPECT_EQ(readAtLeast(*channel, 1), "w");
    EXPECT_TRUE(port->modemLines(&lines, &error) && lines.cts && lines.dsr && lines.dcd && lines.ri);
    ASSERT_TRUE(channel->write(SLKDataWithString("x\xffy")));
    EXPECT_EQ(peer.read(4), "x\xff\xffy");
    EXPECT_TRUE(port->drain(1.0));
    peer.send("abc");
    long long queued = -1;
    EXPECT_TRUE(eventually([&] { return port->queued(SLKQueue::Input, &queued) && queued == 3; })) << queued;
    EXPECT_EQ(readAtLeast(*channel, 3), "abc");
    channel->close();
    EXPECT_FALSE(port->discard(SLKQueue::Both));
    EXPECT_FALSE(port->setDTR(true, &error));
    expectError(error, 2, "Cannot communicate with closed devices", "");
}
