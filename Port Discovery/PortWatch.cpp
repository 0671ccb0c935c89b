#include "PortWatch.h"

#include "PortListing.h"
#include "UEventMessage.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <system_error>

namespace selko::detail {

// Shared by the watcher and its thread, so that a watcher destroyed from inside its own listener
// leaves the thread something to finish with.
struct PortWatch::State {
    State(std::string root, std::unique_ptr<DeviceEventSource> source, Listener listener, int wakeFd)
        : root(std::move(root)), source(std::move(source)), listener(std::move(listener)), wakeFd(wakeFd) {}
    ~State() { ::close(wakeFd); }

    const std::string root;
    const std::unique_ptr<DeviceEventSource> source;
    const Listener listener;
    const int wakeFd;
    std::atomic<bool> stopping{false};
    std::map<std::string, SLKPortInfo> known;   // by path; the thread's alone once it runs
};

namespace {

using State = PortWatch::State;

// The same port as far as a user can tell: a replugged adapter on the node it had before is not.
bool samePort(const SLKPortInfo& a, const SLKPortInfo& b) {
    return a.path == b.path && a.transport == b.transport && a.driver == b.driver &&
           a.usbVendorId == b.usbVendorId && a.usbProductId == b.usbProductId && a.usbInterface == b.usbInterface &&
           a.usbSerialNumber == b.usbSerialNumber && a.usbLocation == b.usbLocation;
}

void report(State& state, SLKPortChange change, const SLKPortInfo& port) {
    if (state.stopping.load())
        return;
    // The listener is the user's: an exception from it must not end the process.
    try {
        state.listener(change, port);
    } catch (...) {
    }
}

void portAppeared(State& state, SLKPortInfo port) {
    const auto found = state.known.find(port.path);
    if (found != state.known.end()) {
        if (samePort(found->second, port))
            return;
        // Another device on the node, and its removal was never heard.
        const SLKPortInfo gone = std::move(found->second);
        state.known.erase(found);
        report(state, SLKPortChange::Removed, gone);
    }
    const SLKPortInfo& added = state.known.emplace(port.path, std::move(port)).first->second;
    report(state, SLKPortChange::Added, added);
}

void portDisappeared(State& state, const std::string& path) {
    const auto found = state.known.find(path);
    if (found == state.known.end())
        return;
    const SLKPortInfo gone = std::move(found->second);
    state.known.erase(found);
    report(state, SLKPortChange::Removed, gone);
}

void handle(State& state, const DeviceEvent& event) {
    if (event.value("SUBSYSTEM") != "tty")
        return;
    if (event.action == "add") {
        SLKPortInfo port;
        if (describePortUnder(state.root, event.name(), &port))
            portAppeared(state, std::move(port));
    } else if (event.action == "remove") {
        portDisappeared(state, "/dev/" + event.name());
    }
}

// After lost events: what the listing shows now against what was known.
void resynchronize(State& state) {
    std::vector<SLKPortInfo> ports;
    std::string failure;
    if (!listPortsUnder(state.root, &ports, &failure))
        return;
    std::vector<std::string> gone;
    for (const auto& [path, known] : state.known) {
        bool present = false;
        for (const SLKPortInfo& port : ports)
            present = present || samePort(port, known);
        if (!present)
            gone.push_back(path);
    }
    for (const std::string& path : gone)
        portDisappeared(state, path);
    for (SLKPortInfo& port : ports)
        portAppeared(state, std::move(port));
}

void watch(const std::shared_ptr<State>& state) {
    pollfd waits[2] = {{state->source->descriptor(), POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    std::string message;
    while (!state->stopping.load()) {
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waits[1].revents != 0)
            return;
        // Taking what waits until nothing does: under a steady flow of events that could be never,
        // so a stop is looked for between messages too.
        while (!state->stopping.load()) {
            const DeviceEventSource::Received received = state->source->receive(&message);
            if (received == DeviceEventSource::Received::None)
                break;
            if (received == DeviceEventSource::Received::Ended)
                return;
            if (received == DeviceEventSource::Received::Lost) {
                resynchronize(*state);
                continue;
            }
            DeviceEvent event;
            if (parseUEventMessage(message.data(), message.size(), &event))
                handle(*state, event);
        }
    }
}

} // namespace

PortWatch::PortWatch(std::shared_ptr<State> state, std::thread thread) noexcept
    : _state(std::move(state)), _thread(std::move(thread)) {}

std::unique_ptr<PortWatch> PortWatch::start(std::string root, std::unique_ptr<DeviceEventSource> source,
                                            std::vector<SLKPortInfo> present, Listener listener) {
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
        return nullptr;
    auto state = std::make_shared<State>(std::move(root), std::move(source), std::move(listener), wakeFd);
    for (SLKPortInfo& port : present)
        state->known.emplace(port.path, std::move(port));
    try {
        std::thread thread([state] { watch(state); });
        return std::unique_ptr<PortWatch>(new PortWatch(std::move(state), std::move(thread)));
    } catch (const std::system_error& failure) {
        errno = failure.code().value();
        return nullptr;
    }
}

PortWatch::~PortWatch() {
    _state->stopping.store(true);
    if (_thread.get_id() == std::this_thread::get_id()) {
        // Inside the listener: the thread sees `stopping` when the listener returns, and the
        // state lives on with it until then.
        _thread.detach();
        return;
    }
    const std::uint64_t one = 1;
    while (::write(_state->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    _thread.join();
}

} // namespace selko::detail
