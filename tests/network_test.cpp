// Network ports: URL parsing, the channel contract of tcp:// and rfc2217:// against a real ser2net
// in front of pseudo-terminals, calls racing close on a remote port, and the RFC 2217 bytes on the
// wire checked against a scripted Telnet peer.
#include "TestSupport.h"

// termios2 (TCGETS2), which holds named and arbitrary line speeds alike as numbers; it clashes
// with <termios.h>, which this file does not need.
#include <asm/termbits.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

using namespace selko::test;

// The resolver of the name kSlowName: its lookups wait until resolverAnswers holds (ten seconds at
// most) and then find no such name. Other lookups, and address literals, go to the system's.
// Plain characters: lookups left behind by timed-out opens may still compare with them at exit.
static constexpr char kSlowName[] = "selko-slow.invalid";
static std::atomic<bool> resolverAnswers{true};

extern "C" int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** found) {
    static const auto next = reinterpret_cast<decltype(&getaddrinfo)>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    const bool numeric = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST);
    if (host == nullptr || std::strcmp(host, kSlowName) != 0 || numeric)
        return next(host, service, hints, found);
    for (const auto start = std::chrono::steady_clock::now(); !resolverAnswers && secondsSince(start) < 10.0;)
        std::this_thread::sleep_for(1ms);
    return EAI_NONAME;
}

namespace {

// Starts a read that may wait `timeout`, checks it still waits after 100 ms, runs `action`, and
// checks that the read then ends at once, failed with `code` and `message`.
void expectActionEndsRead(SLKDataChannel& channel, double timeout, int code, const std::string& message,
                          const std::function<void()>& action) {
    CommErrorRef error;
    auto reader = std::async(std::launch::async, [&] { return channel.readWithTimeout(timeout, &error); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    action();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    expectError(error, code, message, "");
}

// A socket listening on a free port of 127.0.0.1 that plays the server side of one connection with
// raw bytes. Closes both with the object.
struct ScriptedPeer {
    explicit ScriptedPeer(int backlog = 1) {
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(listener, backlog), 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const timeval limit{5, 0};   // bounds the accept and, inherited by the connection, every read
        ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~ScriptedPeer() { ::close(connection), ::close(listener); }
    std::string url(const std::string& scheme = "rfc2217") const {
        return scheme + "://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    // Reads `count` bytes of the channel's (fewer if none come for five seconds), accepting its
    // connection first.
    std::string read(std::size_t count) {
        accept();
        std::string bytes(count, '\0');
        return bytes.substr(0, std::max<ssize_t>(::recv(connection, bytes.data(), count, MSG_WAITALL), 0));
    }
    void accept() {
        if (connection < 0)
            connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    void send(const std::string& bytes) { ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Whether the channel closed the connection: the next read finds its end, not a byte or nothing.
    bool closedByChannel() {
        char byte;
        return ::recv(connection, &byte, 1, 0) == 0;
    }
    // Resets the connection (an RST rather than an orderly close).
    void reset() {
        const linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(std::exchange(connection, -1));
    }

    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int connection = -1;
};

std::string sub(const std::string& body) { return "\xff\xfa\x2c" + body + "\xff\xf0"; }
const std::string kClientHello = "\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c"s;
const std::string kServerHello = "\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x2c"s;
// Baud rate, data size, parity, stop size and flow control as sent for no options.
const std::string kSettings =
    sub("\x01\x00\x01\xc2\x00"s) + sub("\x02\x08") + sub("\x03\x01") + sub("\x04\x01") + sub("\x05\x01");

// Opens `channel` while `peer` plays the server: it answers the client's hello with `hello`,
// expects `settings` (then the modem line mask, which gets no answer) unless there are none, and
// sends `answers`, by default every setting answered as asked (its command number raised by 100).
bool openAgainst(ScriptedPeer& peer, SLKDataChannel& channel, const std::string& hello, const std::string& settings,
                 std::string answers = "", CommErrorRef* error = nullptr) {
    auto open = std::async(std::launch::async, [&] { return channel.openWithTimeout(1.0, error); });
    EXPECT_EQ(peer.read(kClientHello.size()), kClientHello);
    peer.send(hello);
    const std::string sent = settings.empty() ? "" : settings + sub("\x0b\xff\xff");
    EXPECT_EQ(peer.read(sent.size()), sent);
    if (answers.empty()) {
        answers = settings;
        for (std::size_t at = 0; (at = answers.find("\xff\xfa\x2c", at)) != std::string::npos; at += 4)
            answers[at + 3] = static_cast<char>(answers[at + 3] + 100);
    }
    peer.send(answers);
    return open.get();
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
}

TEST(NetworkConnect, RefusedAndTimedOut) {
    // Never accepts: once its queue is full, further connections wait for the handshake.
    const ScriptedPeer silent(0);
    int fillers[4];
    for (int& fd : fillers) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&silent.address), sizeof silent.address);
    }
    const std::string refused = "tcp://127.0.0.1:" + std::to_string(freeLoopbackPort());
    for (const auto& [url, failure, timeout] :
         {std::tuple{refused, ECONNREFUSED, 1.0}, {silent.url(), ETIMEDOUT, 0.3}}) {
        CommErrorRef error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(createChannelForURL(url.c_str(), nullptr)->openWithTimeout(timeout, &error));
        const double elapsed = secondsSince(start);
        EXPECT_TRUE(elapsed < timeout + 1.0 && (failure != ETIMEDOUT || elapsed >= timeout - 0.01)) << elapsed;
        expectError(error, 4, "Error opening network port " + url + " - " + errnoText(failure) + ".",
                    "Network Channel/SLKSocketConnect.cpp:");
    }
    for (const int fd : fillers)
        ::close(fd);
}

// Against ser2net, over tcp:// (false) and rfc2217:// (true).
class AgainstSer2Net : public NothingLeftBehind, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        NothingLeftBehind::SetUp();
        if (!server.started())
            GTEST_SKIP() << "ser2net could not be started (scripts/ensure-deps installs it)";
    }
    SimulatedInstrument& device() { return GetParam() ? rfc2217Device : rawDevice; }
    SLKDataChannelRef remote(const SLKOptions* options = nullptr) {
        return createChannelForURL((GetParam() ? server.rfc2217URL() : server.tcpURL()).c_str(), options);
    }

    SimulatedInstrument rawDevice, rfc2217Device;
    Ser2NetServer server{rawDevice.path(), rfc2217Device.path()};
};

// The contract up to the server dying, with the baud rate of the options reaching the remote port
// through rfc2217:// only (ser2net's own otherwise).
TEST_P(AgainstSer2Net, ChannelContractUpToTheServerDying) {
    const SLKOptions options{{SELKO_COMMUNICATION_UART_BAUD, 19200LL}};
    SLKDataChannelRef channel = remote(&options);
    CommErrorRef error;
    ASSERT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();
    EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
    expectError(error, 1, "Device Already Opened", "");

    // A mebibyte of every byte value, led by the sequences Telnet gives a meaning to, both ways.
    std::string bulk = "\xff\xff\xfe\x00 \xff\xfa\xff\xf0\r\n\x00\r\x00"s;
    for (std::size_t i = 0; bulk.size() < (1 << 20); ++i)
        bulk += static_cast<char>((i * 7 + i / 256) & 0xFF);
    auto writer =
        std::async(std::launch::async, [&] { return channel->write(SLKDataWithBytes(bulk.data(), bulk.size())); });
    EXPECT_TRUE(device().receive(bulk.size(), std::chrono::seconds(30)) == bulk);
    EXPECT_TRUE(writer.get());
    // Read once data has gone through, when ser2net has surely opened the port behind a raw
    // accepter.
    termios2 line{};
    ASSERT_EQ(::ioctl(device().slaveFd(), TCGETS2, &line), 0);
    EXPECT_EQ(line.c_ospeed, GetParam() ? 19200u : 115200u);
    auto sender = std::async(std::launch::async, [&] { device().send(bulk); });
    std::string got;
    for (SLKData bytes; got.size() < bulk.size() && (bytes = channel->readWithTimeout(5.0)) && !bytes->empty();)
        got += text(bytes);
    sender.get();
    EXPECT_TRUE(got == bulk) << got.size() << " bytes arrived";

    EXPECT_FALSE(channel->readWithTimeout(std::nan(""), &error));
    expectError(error, 3, "time out has an invalid value", "");
    EXPECT_EQ(text(channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)), "");
    // A second reader's timeout holds while another waits forever; close wakes that one.
    expectActionEndsRead(*channel, SELKO_COMMUNICATION_TIME_FOREVER, 2, kClosed, [&] {
        EXPECT_EQ(text(channel->readWithTimeout(0.05)), "");
        EXPECT_TRUE(channel->close());
    });
    EXPECT_FALSE(channel->close(&error));
    expectError(error, 2, "Device Already Closed", "");
    // Reopened, then the server dies under a waiting reader.
    ASSERT_TRUE(channel->openWithTimeout(5.0, &error)) << error->message();
    expectActionEndsRead(*channel, 10.0, 5, "Device disconnected", [&] { server.kill(); });
    EXPECT_FALSE(channel->isOpened());
}

// Reader, writer and line-control threads while another closes: every call then fails, reads and
// writes with code 2 (a closed channel).
TEST_P(AgainstSer2Net, CallsRacingClose) {
    device().startResponder(true);   // takes (and echoes) what the writer sends: the remote port never backs up
    for (int cycle = 0; cycle < 4; ++cycle) {
        SLKDataChannelRef channel = remote();
        ASSERT_TRUE(channel->openWithTimeout(5.0));
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

INSTANTIATE_TEST_SUITE_P(Schemes, AgainstSer2Net, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "rfc2217" : "tcp"; });

// The settings the options ask for as sent at open, every answer of the server checked, and the
// complaint about an invalid option (made before any connection).
TEST(RFC2217Wire, OpenSendsTheSettingsAndChecksEveryAnswer) {
    const char *baud = SELKO_COMMUNICATION_UART_BAUD, *mode = SELKO_COMMUNICATION_UART_MODE,
               *flow = SELKO_COMMUNICATION_UART_FLOW_CONTROL;
    const struct {
        SLKOptions options;
        std::string failure, settings = "", answers = "", hello = kServerHello;   // no answers: answered as asked
    } rows[] = {
        {{{mode, "8N1"s}, {flow, "none"s}}, "", kSettings},
        {{{baud, 4294967295LL}, {mode, "5E2"s}, {flow, "rts/cts"s}}, "",   // its four 0xFF bytes doubled
         sub("\x01" + std::string(8, '\xff')) + sub("\x02\x05") + sub("\x03\x03") + sub("\x04\x02") + sub("\x05\x03")},
        {{{baud, 1LL}, {mode, "7O1"s}, {flow, "xon/xoff"s}}, "",
         sub("\x01\x00\x00\x00\x01"s) + sub("\x02\x07") + sub("\x03\x02") + sub("\x04\x01") + sub("\x05\x02")},
        {{}, "the server refused COM-PORT-OPTION.", "", "", "\xff\xfe\x2c"},
        {{}, "the server did not answer COM-PORT-OPTION.", "", "", ""},
        {{}, "the server set the baud rate to 9600, not 115200.", kSettings, sub("\x65\0\0\x25\x80"s)},
        {{}, "the server set the data size to 7, not 8.", kSettings, sub("\x65\x00\x01\xc2\x00"s) + sub("\x66\x07")},
        {{}, "no answer to the data size setting.", kSettings, sub("\x65\x00\x01\xc2\x00"s)},
        // Values longer or shorter than the setting: the byte count, not a number.
        {{}, "the server answered the baud rate with 7 bytes.", kSettings, sub("\x65\x00\x00\x00\x00\x01\xc2\x00"s)},
        {{}, "the server answered the baud rate with 0 bytes.", kSettings, sub("\x65")},
        {{}, "the server answered the data size with 9 bytes.", kSettings,
         sub("\x65\x00\x01\xc2\x00"s) + sub("\x66\x08\x08\x08\x08\x08\x08\x08\x08\x08")},
        // The option values, as judged for a local port (whose tests try every kind of invalid one).
        {{{baud, 0LL}}, "Invalid baud rate (Use a positive integer)"},
        {{{mode, "9N1"s}}, "Invalid Character Size (Use 5, 6, 7, or 8)"},
        {{{mode, "8M1"s}}, "Invalid parity (Use N, O, or E)"},
        {{{mode, "8N"s}}, "Invalid stop but (Use 1, or 2)"},
        {{{flow, "dtr/dsr"s}}, "Invalid flow control (Use none, rts/cts, or xon/xoff)"},
    };
    for (const auto& row : rows) {
        ScriptedPeer peer;
        SLKDataChannelRef channel = createChannelForURL(peer.url().c_str(), &row.options);
        CommErrorRef error;
        if (row.failure.rfind("Invalid", 0) == 0) {
            EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
            expectError(error, 3, row.failure, "Data Channel/SL");   // the local port's reader or mode functions
            continue;
        }
        EXPECT_EQ(openAgainst(peer, *channel, row.hello, row.settings, row.answers, &error), row.failure.empty())
            << (error ? error->message() : row.failure);
        if (row.failure.empty())
            continue;
        expectError(error, 4, "Error opening network port " + peer.url() + " - " + row.failure, "");
        EXPECT_TRUE(peer.closedByChannel()) << row.failure;   // the failed connection is not kept
    }
}

TEST(RFC2217Wire, LineControlAndDataOnTheWire) {
    ScriptedPeer peer;
    SLKDataChannelRef channel = createChannelForURL(peer.url().c_str(), nullptr);
    ASSERT_TRUE(openAgainst(peer, *channel, kServerHello, kSettings));   // no options: defaults
    // The channel's socket, the one whose far end is the listener: no Nagle delay, and keepalive
    // probes so that a vanished server is noticed.
    int fd = 0;
    for (sockaddr_in far{}; fd < 1024; ++fd) {
        socklen_t length = sizeof far;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&far), &length) == 0 && far.sin_port == peer.address.sin_port)
            break;
    }
    for (const auto& [level, name, expected] :
         {std::tuple<int, int, int>{IPPROTO_TCP, TCP_NODELAY, 1}, {SOL_SOCKET, SO_KEEPALIVE, 1},
          {IPPROTO_TCP, TCP_KEEPIDLE, 10}, {IPPROTO_TCP, TCP_KEEPINTVL, 5}, {IPPROTO_TCP, TCP_KEEPCNT, 3}}) {
        int value = -1;
        socklen_t size = sizeof value;
        ::getsockopt(fd, level, name, &value, &size);
        EXPECT_EQ(value, expected) << name;
    }
    const std::shared_ptr<SLKSerialPort> port = SLKSerialPortOf(channel);
    const struct {
        std::function<bool(SLKSerialPort&, CommErrorRef*)> call;
        std::string wire, answer, failure;
    } rows[] = {
        {[](auto& p, auto e) { return p.setDTR(true, e); }, sub("\x05\x08"), sub("\x69\x08"), ""},
        {[](auto& p, auto e) { return p.setDTR(false, e); }, sub("\x05\x09"), sub("\x69\x09"), ""},
        {[](auto& p, auto e) { return p.setRTS(true, e); }, sub("\x05\x0b"), "", ""},   // unanswered: taken as done
        {[](auto& p, auto e) { return p.setRTS(false, e); }, sub("\x05\x0c"), sub("\x69\x0b"),
         "Error sending RTS off to " + peer.url() + " - the server answered 11."},
        {[](auto& p, auto e) { return p.setRTS(false, e); }, sub("\x05\x0c"), sub("\x69" + std::string(9, '\x0c')),
         "Error sending RTS off to " + peer.url() + " - the server answered with 9 bytes."},
        {[](auto& p, auto e) { return p.sendBreak(0.05, e); }, sub("\x05\x05") + sub("\x05\x06"), "", ""},
        {[](auto& p, auto e) { return p.sendBreak(0, e); }, sub("\x05\x05") + sub("\x05\x06"), "", ""},   // default
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
        if (row.failure.empty())
            EXPECT_EQ(error, nullptr) << row.wire.size();   // success leaves the slot alone
        else
            expectError(error, 4, row.failure, "");
    }

    // Data with the commands removed, split across sends, and the modem lines as the server reports
    // them (before any report: code 4).
    for (const auto& [sent, data, modemLines] : {
             std::tuple{"ab\xff\xff\xff"s, "ab\xff"s, "code 4"s},
             {"\xfa\x2c\x6b\xb0\xff\xf0" "cd\xff\xf1" "e\xff\xfd\x18"s, "cde"s, "CDH"s},   // and an unknown option
             {sub("\x6b\x40") + "z", "z"s, "R"s},                 // ring only, then a byte to know it was decoded
             {sub("\x6b\xff\xff") + "w", "w"s, "CDHR"s},         // every line, its 0xFF doubled in the body
         }) {
        peer.send(sent);
        EXPECT_EQ(readAtLeast(*channel, data.size()), data);
        EXPECT_EQ(modemLineLetters(*port), modemLines);
    }
    EXPECT_EQ(peer.read(3), "\xff\xfc\x18");   // the unknown option refused
    ASSERT_TRUE(channel->write(SLKDataWithString("x\xffy")));
    EXPECT_EQ(peer.read(4), "x\xff\xffy");
    EXPECT_TRUE(port->drain(1.0));
    // The server stops reading: a drain gives up at its timeout.
    const std::string bulk(1 << 20, 'b');
    auto writer = std::async(std::launch::async, [&] { return channel->write(SLKDataWithString(bulk.c_str())); });
    EXPECT_TRUE(eventually([&] {
        CommErrorRef e;
        return !port->drain(0.05, &e) && e->message().find("not taken by the server in time") != std::string::npos;
    }));
    long long unsent = 0;
    EXPECT_TRUE(port->queued(SLKQueue::Output, &unsent) && unsent > 0) << unsent;
    EXPECT_TRUE(peer.read(bulk.size()) == bulk && writer.get());
    peer.send("abc");
    long long queued = -1;
    EXPECT_TRUE(eventually([&] { return port->queued(SLKQueue::Input, &queued) && queued == 3; })) << queued;
    EXPECT_EQ(readAtLeast(*channel, 3), "abc");
    CommErrorRef error;
    EXPECT_FALSE(port->sendBreak(-1, &error));   // nothing goes out
    expectError(error, 3, "break length has an invalid value", "");
    EXPECT_FALSE(port->drain(-2.0, &error));
    expectError(error, 3, "time out has an invalid value", "");
    // The server resets the connection: a write fails with code 4 (and no SIGPIPE).
    peer.reset();
    EXPECT_FALSE(channel->write(SLKDataWithString("x"), &error));
    EXPECT_EQ(error->code(), 4) << error->message();
    channel->close();
    SLKModemLines lines;
    long long count = 0;
    const std::function<bool(CommErrorRef*)> closedCalls[] = {
        [&](auto e) { return port->setDTR(true, e); }, [&](auto e) { return port->setRTS(true, e); },
        [&](auto e) { return port->sendBreak(0, e); }, [&](auto e) { return port->discard(SLKQueue::Both, e); },
        [&](auto e) { return port->modemLines(&lines, e); }, [&](auto e) { return port->drain(1, e); },
        [&](auto e) { return port->queued(SLKQueue::Both, &count, e); },
    };
    for (const auto& call : closedCalls) {
        EXPECT_FALSE(call(&error));
        expectError(error, 2, kClosed, "");
    }
}

// A server that resets the connection under a waiting reader: the device is gone, as with an
// orderly close (code 5), and the channel closes. (The same over rfc2217:// ends the next test.)
TEST(NetworkConnect, ResetDuringReadIsADisconnection) {
    ScriptedPeer peer;
    SLKDataChannelRef channel = createChannelForURL(peer.url("tcp").c_str(), nullptr);
    ASSERT_TRUE(channel->openWithTimeout(1.0));
    peer.accept();
    expectActionEndsRead(*channel, 10.0, 5, "Device disconnected", [&] { peer.reset(); });
    EXPECT_FALSE(channel->isOpened());
}

// The option negotiation answers a change only: a request for what is already agreed, or to stop
// what never started, gets no reply (the next reply the peer sees is the refusal of an unknown
// option sent behind it). Modem lines wait for a first report that is on its way. And a reset
// under a waiting reader is a disconnection, as over tcp://.
TEST(RFC2217Wire, NoReplyWithoutAChangeAndModemLinesWaitForAReport) {
    ScriptedPeer peer;
    SLKDataChannelRef channel = createChannelForURL(peer.url().c_str(), nullptr);
    ASSERT_TRUE(openAgainst(peer, *channel, kServerHello, kSettings));
    for (const std::string& repeated : {"\xff\xfd\x00"s,    // DO BINARY again: no second WILL
                                       "\xff\xfb\x03"s,    // WILL SUPPRESS-GO-AHEAD again: no second DO
                                       "\xff\xfe\x01"s,    // DONT ECHO, never enabled: no WONT
                                       "\xff\xfc\x01"s}) { // WONT ECHO, never asked for: no DONT
        peer.send(repeated + "\xff\xfd\x18");
        EXPECT_EQ(text(channel->readWithTimeout(0.2)), "");   // decodes what came
        EXPECT_EQ(peer.read(3), "\xff\xfc\x18") << int(repeated[1]) << " " << int(repeated[2]);
    }
    peer.send("\xff\xfb\x18");   // WILL TERMINAL-TYPE, an option we never use: refused
    EXPECT_EQ(text(channel->readWithTimeout(0.2)), "");
    EXPECT_EQ(peer.read(3), "\xff\xfe\x18");
    const std::shared_ptr<SLKSerialPort> port = SLKSerialPortOf(channel);
    auto lines = blockedCall([&] { return modemLineLetters(*port); }, blockedInSelect);
    peer.send(sub("\x6b\x30"));
    EXPECT_EQ(lines.get(), "CD");
    expectActionEndsRead(*channel, 10.0, 5, "Device disconnected", [&] { peer.reset(); });
    EXPECT_FALSE(channel->isOpened());
}

// A host name is looked up within the open's timeout: a name that does not exist fails the open,
// and so does a resolver that has not answered when the timeout runs out (at the timeout); the
// lookup left behind ends once the resolver answers (the fixture counts the threads).
class NameLookup : public NothingLeftBehind {};
TEST_F(NameLookup, FailsTheOpenWithinItsTimeout) {
    const std::string url = "tcp://"s + kSlowName + ":2217";
    for (const auto& [answers, timeout, failure] :
         {std::tuple{true, 5.0, "Name or service not known(-2)"s}, {false, 0.3, errnoText(ETIMEDOUT)}}) {
        resolverAnswers = answers;
        CommErrorRef error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(createChannelForURL(url.c_str(), nullptr)->openWithTimeout(timeout, &error));
        const double elapsed = secondsSince(start);
        EXPECT_TRUE(answers ? elapsed < 4.0 : elapsed >= timeout - 0.01 && elapsed < timeout + 1.0) << elapsed;
        expectError(error, 4, "Error opening network port " + url + " - " + failure + ".",
                    "Network Channel/SLKSocketConnect.cpp:");
        resolverAnswers = true;
    }
}

// Opens from four threads at once whose deadlines race the lookup of a name (it ends before, at
// or after the deadline): each fails with code 4, timed out or refused, and no lookup is left
// running.
TEST_F(NameLookup, OpensWhoseDeadlineRacesTheLookup) {
    const std::string url = "tcp://localhost:" + std::to_string(freeLoopbackPort());
    const std::string prefix = "Error opening network port " + url + " - ";
    std::vector<std::future<void>> racers;
    for (int racer = 0; racer < 4; ++racer)
        racers.push_back(std::async(std::launch::async, [&, racer] {
            for (int round = 0; round < 100; ++round) {
                CommErrorRef error;
                const double timeout = (round + racer) % 20 * 1e-5;
                EXPECT_FALSE(createChannelForURL(url.c_str(), nullptr)->openWithTimeout(timeout, &error));
                const std::string message = error ? error->message() : "";
                EXPECT_TRUE(message == prefix + errnoText(ETIMEDOUT) + "." ||
                            message == prefix + errnoText(ECONNREFUSED) + ".")
                    << message;
            }
        }));
    for (auto& racer : racers)
        racer.get();
}
