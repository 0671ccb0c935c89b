// What every test program shares: the simulated devices and stand-in channels (Devices.h), the
// assertion every error record gets, byte text, the bookkeeping of threads and descriptors, and
// the headers and literals most tests use. Header-only, so that the tests use it without a change
// to the support library.
#ifndef SELKO_TEST_SUPPORT_H
#define SELKO_TEST_SUPPORT_H

#include <SelkoCommunication.h>

#include "Devices.h"             // also brings <chrono>, <mutex>, <string> and <vector>
#include "SimulatedInstrument.h" // and <thread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <initializer_list>
#include <stdexcept>

namespace selko::test {

using namespace std::chrono_literals;
using namespace std::string_literals;

inline const std::string kClosed = "Cannot communicate with closed devices";
// Options that leave the port open to others (no TIOCEXCL).
inline const SLKOptions kShared{{SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK, false}};

// Where each kind of error is raised: the location prefix its record must carry.
inline const std::string kChannelSource = "Data Channel/SLKDataChannel.cpp:";
inline const std::string kDescriptorSource = "Data Channel/DescriptorOperation.cpp:";
inline const std::string kUARTSource = "Data Channel/SLPUARTChannel.cpp:";
inline const std::string kDecoratorSource = "Data Channel Decorator/SLKDataChannelDecorator.cpp:";
inline const std::string kActiveSource = "Data Channel Decorator/SLPActiveChannel.cpp:";
inline const std::string kPassiveSource = "Data Channel Decorator/SLPPassiveChannel.cpp:";
inline const std::string kTapSource = "Data Channel Decorator/SLPTapChannel.cpp:";
inline const std::string kTransformerSource = "Data Transformer/SLKDataTransformer.cpp:";

using Strings = std::vector<std::string>;

inline std::string text(const SLKData& data) { return data ? std::string(data->begin(), data->end()) : "<null>"; }

// The system's text for `number` followed by the number in parentheses, as the messages show it
// ("Invalid argument (22)" with a blank between, "Invalid argument(22)" without).
inline std::string errnoText(int number, const char* between = "") {
    return std::string(std::strerror(number)) + between + "(" + std::to_string(number) + ")";
}

// A record the library never builds: put in a slot to see whether a call leaves it or replaces it,
// or handed out by a scripted channel to see that a decorator passes it on unchanged.
inline CommErrorRef foreignError(const std::string& domain = "earlier", int code = 99,
                                 const std::string& message = "") {
    return std::make_shared<const CommError>(domain, code, CommError::InfoMap{{"ErrorMessage", message}});
}

// The record a failure of the library must leave: its domain, `code`, exactly `message`, a
// location in the source file `source` names, and the three info entries.
inline void expectError(const CommErrorRef& error, int code, const std::string& message, const std::string& source) {
    ASSERT_NE(error, nullptr) << message;
    EXPECT_EQ(error->domain(), SelkoCommunicationErrorDomain);
    EXPECT_EQ(error->code(), code);
    EXPECT_EQ(error->message(), message);
    EXPECT_EQ(error->location().rfind(source, 0), 0u) << error->location();
    EXPECT_EQ(error->userInfo().size(), 3u);
}

// A fixture for tests that start threads and open ports: by the end of each test every thread it
// started has ended and every descriptor it opened is closed.
class NothingLeftBehind : public ::testing::Test {
protected:
    void SetUp() override {
        // ThreadSanitizer starts a helper thread of its own along with the first thread a program
        // creates: have that happen before the count.
        static std::once_flag warmUp;
        std::call_once(warmUp, [] { std::thread([] {}).join(); });
        _threadsBefore = threadCount();
        _descriptorsBefore = openDescriptorCount();
    }
    void TearDown() override {
        EXPECT_TRUE(eventually([&] { return threadCount() <= _threadsBefore; })) << "a thread was left running";
        EXPECT_TRUE(eventually([&] { return openDescriptorCount() <= _descriptorsBefore; }))
            << "a descriptor was left open";
    }

private:
    int _threadsBefore = 0, _descriptorsBefore = 0;
};

inline long currentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

// Whether thread `tid` of this process waits in one of the system calls `numbers` right now.
inline bool blockedIn(long tid, std::initializer_list<long> numbers) {
    long number = -1;
    std::ifstream("/proc/self/task/" + std::to_string(tid) + "/syscall") >> number;
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}
// Waiting for readability: select (glibc may use pselect6) or poll (ppoll).
inline bool blockedInSelect(long tid) { return blockedIn(tid, {SYS_select, SYS_pselect6, SYS_poll, SYS_ppoll}); }
// A mutex or condition-variable wait.
inline bool blockedInFutex(long tid) { return blockedIn(tid, {SYS_futex}); }
// Either (a reader of an active channel waits on its buffer, or on the port beneath).
inline bool blockedWaiting(long tid) { return blockedInSelect(tid) || blockedInFutex(tid); }

// Runs `call` on a thread of its own and returns its future once `blocked` says that thread waits
// in the kernel (by default on a mutex or condition); `tid`, when given, gets the thread's id.
template <typename Call>
auto blockedCall(Call call, bool (*blocked)(long) = blockedInFutex, long* tid = nullptr) {
    const auto id = std::make_shared<std::atomic<long>>(0);
    auto result = std::async(std::launch::async, [id, call] {
        *id = currentThreadId();
        return call();
    });
    EXPECT_TRUE(eventually([&] { return *id != 0 && blocked(*id); }));
    if (tid)
        *tid = *id;
    return result;
}

// A handler that does nothing, installed for SIGUSR1 without SA_RESTART while this lives: every
// signal makes the interrupted wait, read or write return EINTR.
struct InterruptingSignal {
    struct sigaction previous {};
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        ::sigaction(SIGUSR1, &action, &previous);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &previous, nullptr); }
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A UART channel on `device`, opened.
inline SLKDataChannelRef openedUART(const SimulatedInstrument& device) {
    CommErrorRef error;
    SLKDataChannelRef uart = createUARTChannel(device.url().c_str(), nullptr, &error);
    EXPECT_TRUE(uart && uart->openWithTimeout(1.0, &error)) << (error ? error->message() : "");
    return uart;
}

// The descriptors of this process open on `device`'s port, apart from the device's own.
inline std::vector<int> portDescriptors(const SimulatedInstrument& device) {
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone; // a descriptor closed meanwhile reads as no link
        const int fd = std::stoi(entry.path().filename().string());
        if (fd != device.slaveFd() && std::filesystem::read_symlink(entry.path(), gone) == device.path())
            found.push_back(fd);
    }
    return found;
}

// The modem lines `port` reports, as letters (C: CTS, D: DSR, H: DCD, R: RI), or the code it failed with.
inline std::string modemLineLetters(SLKSerialPort& port) {
    SLKModemLines l;
    CommErrorRef error;
    if (!port.modemLines(&l, &error))
        return "code " + std::to_string(error->code());
    return std::string(l.cts ? "C" : "") + (l.dsr ? "D" : "") + (l.dcd ? "H" : "") + (l.ri ? "R" : "");
}

// Reads until `count` bytes arrived, a read failed, or five seconds passed.
inline std::string readAtLeast(SLKDataChannel& channel, std::size_t count) {
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    for (SLKData bytes; got.size() < count && secondsSince(start) < 5.0 && (bytes = channel.readWithTimeout(0.2));)
        got += text(bytes);
    return got;
}

} // namespace selko::test

#endif
