// Network ports through a real ser2net on the loopback interface: round trip (PING -> OK) and bulk
// (random bytes, so about one in 256 is 0xFF and gets Telnet-escaped) through tcp:// and
// rfc2217:// channels, beside a plain blocking socket client on the raw port of the same ser2net
// in front of the same kind of pseudo-terminal. A plain client cannot use the Telnet port without
// speaking Telnet, so the raw port is the baseline for both schemes: the rfc2217 ratio is the
// whole cost of the protocol. Variants take turns in blocks, so a change of load hits them alike.
#include "Bench.h"
#include "Devices.h"
#include "SimulatedInstrument.h"

#include <SelkoCommunication.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <random>

namespace {

using namespace selko::bench;
using Clock = std::chrono::steady_clock;

// One client of the device: connects for a block of work, then lets go (ser2net serves one
// connection per port at a time).
struct Client {
    virtual ~Client() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual void write(const std::uint8_t* bytes, std::size_t length) = 0;
    // Appends at least one byte to `into`.
    virtual void read(std::string& into) = 0;
};

class PlainSocket final : public Client {
public:
    explicit PlainSocket(int port) : _port(port) {}
    void open() override {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (::connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("plain socket: connect failed");
    }
    void close() override { ::close(_fd); }
    void write(const std::uint8_t* bytes, std::size_t length) override {
        for (std::size_t sent = 0; sent < length;) {
            const ssize_t count = ::send(_fd, bytes + sent, length - sent, MSG_NOSIGNAL);
            if (count <= 0)
                fail("plain socket: send failed");
            sent += static_cast<std::size_t>(count);
        }
    }
    void read(std::string& into) override {
        char buffer[65536];
        const ssize_t count = ::recv(_fd, buffer, sizeof buffer, 0);
        if (count <= 0)
            fail("plain socket: recv failed");
        into.append(buffer, static_cast<std::size_t>(count));
    }

private:
    int _port;
    int _fd = -1;
};

class ChannelClient final : public Client {
public:
    explicit ChannelClient(std::string url) : _url(std::move(url)), _channel(createChannelForURL(_url.c_str(), nullptr)) {}
    void open() override {
        CommErrorRef error;
        if (!_channel->openWithTimeout(5.0, &error))
            fail("open: %s", error->message().c_str());
    }
    void close() override { _channel->close(); }
    void write(const std::uint8_t* bytes, std::size_t length) override {
        if (!_channel->write(SLKDataWithBytes(bytes, length)))
            fail("channel write failed");
    }
    void read(std::string& into) override {
        CommErrorRef error;
        const SLKData bytes = _channel->readWithTimeout(2.0, &error);
        if (!bytes || bytes->empty())
            fail("%s: %s", _url.c_str(), bytes ? "nothing arrived in time" : error->message().c_str());
        into.append(bytes->begin(), bytes->end());
    }

private:
    std::string _url;
    SLKDataChannelRef _channel;
};

struct Variant {
    std::string name;
    std::unique_ptr<Client> client;
    SimulatedInstrument* device;
    std::vector<double> roundTrips;   // seconds, one per exchange
    std::vector<double> bulkSeconds;   // one per turn
};

void roundTrips(Variant& variant, int count) {
    variant.client->open();
    std::string reply;
    for (int i = -20; i < count; ++i) {   // the first 20 warm the path up
        const auto start = Clock::now();
        variant.client->write(reinterpret_cast<const std::uint8_t*>("PING\n"), 5);
        reply.clear();
        while (reply.empty() || reply.back() != '\n')
            variant.client->read(reply);
        if (reply != "OK\n")
            fail("%s: unexpected reply \"%s\"", variant.name.c_str(), reply.c_str());
        if (i >= 0)
            variant.roundTrips.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    variant.client->close();
}

// Device to host, then host to device; every byte checked.
void bulk(Variant& variant, const std::string& data) {
    variant.client->open();
    // ser2net opens the pseudo-terminal once a client connects, dropping what waited there: the
    // device starts sending once a byte from the client has come through.
    variant.client->write(reinterpret_cast<const std::uint8_t*>("S"), 1);
    if (variant.device->receive(1, std::chrono::seconds(5)) != "S")
        fail("%s: the start byte did not arrive", variant.name.c_str());
    const auto start = Clock::now();
    auto sender = std::async(std::launch::async, [&] { variant.device->send(data); });
    std::string got;
    while (got.size() < data.size())
        variant.client->read(got);
    sender.get();
    auto writer = std::async(std::launch::async, [&] {
        variant.client->write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    });
    const std::string arrived = variant.device->receive(data.size(), std::chrono::seconds(60));
    writer.get();
    variant.bulkSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    variant.client->close();
    if (got != data || arrived != data)
        fail("%s: bulk bytes differ", variant.name.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    const int rounds = static_cast<int>(args.pick(2000, 500));
    const double mib = args.pick(2, 1);
    armWatchdog(300);

    SimulatedInstrument rawDevice, rfc2217Device;
    selko::test::Ser2NetServer server(rawDevice.path(), rfc2217Device.path());
    if (!server.started())
        fail("ser2net did not start (scripts/ensure-deps installs it)");
    std::vector<Variant> variants;
    variants.push_back({"plain socket", std::make_unique<PlainSocket>(server.rawPort()), &rawDevice, {}, {}});
    variants.push_back({"tcp://", std::make_unique<ChannelClient>(server.tcpURL()), &rawDevice, {}, {}});
    variants.push_back({"rfc2217://", std::make_unique<ChannelClient>(server.rfc2217URL()), &rfc2217Device, {}, {}});

    auto answer = [](const std::string& line) { return line == "PING" ? std::string("OK\n") : std::string(); };
    rawDevice.startResponder(false, answer);
    rfc2217Device.startResponder(false, answer);
    constexpr int kBlock = 250;
    for (int done = 0; done < rounds; done += kBlock)
        for (Variant& variant : variants)
            roundTrips(variant, std::min(kBlock, rounds - done));
    rawDevice.stopResponder();
    rfc2217Device.stopResponder();

    std::mt19937 random(2217);
    std::string data(static_cast<std::size_t>(mib * 1024 * 1024), '\0');
    for (char& byte : data)
        byte = static_cast<char>(random() & 0xFF);
    constexpr int kTurns = 5;
    for (int turn = 0; turn < kTurns; ++turn)
        for (Variant& variant : variants)
            bulk(variant, data);

    const Variant& plain = variants.front();
    const double plainTrip = median(plain.roundTrips);
    // Bulk: the median turn (one turn moves `mib` MiB each way).
    const double plainRate = 2 * mib / median(plain.bulkSeconds);
    const Target tripTarget{Target::AtMost, 1.10}, bulkTarget{Target::AtLeast, 0.90};
    Report report("network", args);
    for (const Variant& variant : variants) {
        if (&variant == &plain)
            continue;
        const double trip = median(variant.roundTrips), rate = 2 * mib / median(variant.bulkSeconds);
        report.add(variant.name + " round trip", "us", trip * 1e6, plainTrip * 1e6, tripTarget);
        report.add(variant.name + " bulk", "MiB/s", rate, plainRate, bulkTarget);
    }
    report.print(format("Network ports through ser2net: %d round trips, %.0f MiB each way per variant; "
                        "baseline: a plain blocking socket on the raw port", rounds, mib * kTurns));
    return 0;
}
