#include "ManyPorts.h"

#include "Bench.h"
#include "Ports.h"

#include <malloc.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace selko::bench {

void raiseDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= wanted)
        return;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
        fail("%zu descriptors needed, the hard limit is %llu (raise it with ulimit -Hn)", wanted,
             static_cast<unsigned long long>(limit.rlim_max));
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        fail("setrlimit: %s", std::strerror(errno));
}

Instruments makeInstruments(std::size_t count) {
    Instruments instruments;
    instruments.reserve(count);
    while (instruments.size() < count) {
        instruments.push_back(std::make_unique<SimulatedInstrument>());
        if (!instruments.back()->ready())
            fail("instrument %zu: %s", instruments.size(), instruments.back()->error().c_str());
    }
    return instruments;
}

namespace {

SLKDataChannelRef openOver(const std::string& url, const std::function<SLKDataChannelRef(SLKDataChannelRef, CommErrorRef*)>& decorate) {
    CommErrorRef error;
    const SLKDataChannelRef uart = createUARTChannel(url.c_str(), nullptr, &error);
    const SLKDataChannelRef channel = uart ? decorate(uart, &error) : nullptr;
    if (!channel || !channel->openWithTimeout(1.0, &error))
        fail("%s: %s", url.c_str(), error ? error->message().c_str() : "no error record");
    return channel;
}

} // namespace

SLKDataChannelRef openOnLoop(const std::string& url, const std::shared_ptr<SLKEventLoop>& loop) {
    return openOver(url, [&loop](SLKDataChannelRef uart, CommErrorRef* error) {
        return createActiveChannelOnLoop(uart, loop, error);
    });
}

SLKDataChannelRef openThreaded(const std::string& url) {
    return openOver(url, [](SLKDataChannelRef uart, CommErrorRef* error) { return createActiveChannel(uart, error); });
}

PlainEpollServer::PlainEpollServer(const Instruments& instruments) {
    _epoll = ::epoll_create1(EPOLL_CLOEXEC);
    _stop = ::eventfd(0, EFD_CLOEXEC);
    if (_epoll < 0 || _stop < 0)
        fail("epoll: %s", std::strerror(errno));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = _stop;
    ::epoll_ctl(_epoll, EPOLL_CTL_ADD, _stop, &event);
    for (const auto& instrument : instruments) {
        const int port = openRawPort(instrument->path());
        event.data.fd = port;
        if (::epoll_ctl(_epoll, EPOLL_CTL_ADD, port, &event) != 0)
            fail("epoll_ctl: %s", std::strerror(errno));
        _ports.push_back(port);
    }
    _thread = std::thread([this] {
        epoll_event ready[64];
        for (char discard[4096];;) {
            const int count = ::epoll_wait(_epoll, ready, 64, -1);
            for (int i = 0; i < count; ++i) {
                if (ready[i].data.fd == _stop)
                    return;
                (void)!::read(ready[i].data.fd, discard, sizeof discard);
            }
        }
    });
}

PlainEpollServer::~PlainEpollServer() {
    const std::uint64_t one = 1;
    (void)!::write(_stop, &one, sizeof one);
    _thread.join();
    for (const int port : _ports)
        ::close(port);
    ::close(_stop);
    ::close(_epoll);
}

Usage processUsage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw)};
}

double residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* file = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(file);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

double heapBytes() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

std::vector<double> inChildProcess(const std::function<std::vector<double>()>& measure) {
    int channel[2];
    if (::pipe(channel) != 0)
        fail("pipe: %s", std::strerror(errno));
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        fail("fork: %s", std::strerror(errno));
    if (child == 0) {
        ::close(channel[0]);
        const std::vector<double> figures = measure();
        writeAll(channel[1], figures.data(), figures.size() * sizeof(double));
        std::fflush(nullptr);
        ::_exit(0);
    }
    ::close(channel[1]);
    std::vector<double> figures;
    double figure = 0;
    for (ssize_t got; (got = ::read(channel[0], &figure, sizeof figure)) != 0;) {
        if (got == static_cast<ssize_t>(sizeof figure))
            figures.push_back(figure);
        else if (!(got < 0 && errno == EINTR))
            fail("short answer from the measuring process");
    }
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("the measuring process failed (status %d)", status);
    return figures;
}

bool pollReadable(int fd, double seconds) {
    pollfd waiting{fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(std::ceil(seconds * 1000)));
    if (ready < 0 && errno != EINTR)
        fail("poll: %s", std::strerror(errno));
    return ready > 0;
}

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty())
        return NAN;
    const auto rank = static_cast<std::ptrdiff_t>(std::min(samples.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(samples.size()))));
    std::nth_element(samples.begin(), samples.begin() + rank, samples.end());
    return samples[static_cast<std::size_t>(rank)];
}

} // namespace selko::bench
