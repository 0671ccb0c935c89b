// The device floods the line while the program does not read: the active channel's loop must
// take everything off the port into its buffer, lose nothing, keep the order, hand it all over
// when the program finally reads, and give the memory back once the data is released.
#include "FaultSupport.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using selko::test::VirtualDevice;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1024 * 1024;
// Sanitizer builds keep shadow memory for every byte and run several times slower: 32 MiB there
// exercises the same paths within the same time bound.
constexpr std::size_t kFloodBytes = (selko::test::kSanitizedBuild ? 32 : 256) * kMiB;

TEST(Flood, EverythingSentWhileNobodyReadsIsDeliveredInOrderAndTheMemoryReturns) {
    selko::test::Watchdog watchdog("flood and drain", 150s);
    const int threadsBefore = selko::test::threadCount();
    const std::size_t residentBefore = selko::test::residentBytes();
    std::size_t residentPeak = 0;
    {
        VirtualDevice device;
        CommErrorRef error;
        const SLKDataChannelRef active = createActiveChannel(createUARTChannel(device.url().c_str(), nullptr), &error);
        ASSERT_TRUE(active && active->openWithTimeout(1.0, &error)) << (error ? error->message() : "");

        // The device writes everything; its writes block whenever the terminal's small buffer is
        // full, so the sender finishing means the loop has taken all but the last few KiB.
        const auto sendStart = Clock::now();
        std::thread sender([&device] {
            constexpr std::size_t chunk = 4 * kMiB;
            for (std::size_t offset = 0; offset < kFloodBytes; offset += chunk)
                device.send(selko::test::patternBytes(offset, chunk));
        });
        sender.join();
        const double sendSeconds = std::chrono::duration<double>(Clock::now() - sendStart).count();
        std::printf("[ figure   ] flood of %zu MiB taken off the port in %.2f s (%.0f MiB/s)\n", kFloodBytes / kMiB,
                    sendSeconds, static_cast<double>(kFloodBytes / kMiB) / sendSeconds);
        residentPeak = selko::test::residentBytes();

        std::size_t received = 0;
        std::size_t reads = 0;
        const auto drainDeadline = Clock::now() + 20s;
        while (received < kFloodBytes && Clock::now() < drainDeadline) {
            const SLKData bytes = active->readWithTimeout(1.0, &error);
            ASSERT_NE(bytes, nullptr) << error->message();
            ++reads;
            for (std::size_t i = 0; i < bytes->size(); ++i) {
                if ((*bytes)[i] != selko::test::patternByte(received + i))
                    FAIL() << "byte " << received + i << " differs: lost, duplicated or reordered data";
            }
            received += bytes->size();
            residentPeak = std::max(residentPeak, selko::test::residentBytes());
        }
        ASSERT_EQ(received, kFloodBytes);
        std::printf("[ figure   ] drained in %zu reads; resident memory peak %.0f MiB over a start of %.0f MiB\n",
                    reads, static_cast<double>(residentPeak) / kMiB, static_cast<double>(residentBefore) / kMiB);
        const SLKData nothingMore = active->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
        ASSERT_NE(nothingMore, nullptr);
        EXPECT_TRUE(nothingMore->empty()) << "bytes appeared that the device never sent";
        EXPECT_TRUE(active->close(&error));
    }
    ASSERT_TRUE(selko::test::eventually([&] { return selko::test::threadCount() == threadsBefore; }));
    // The buffered data lived in large blocks that go back to the system when freed; allow for
    // allocator caches, but not for a buffer that kept the flood. (A sanitizer's allocator keeps
    // freed memory in quarantine on purpose, so there the figure says nothing.)
    const std::size_t residentAfter = selko::test::residentBytes();
    std::printf("[ figure   ] resident memory after release %.0f MiB\n", static_cast<double>(residentAfter) / kMiB);
    if (!selko::test::kSanitizedBuild) {
        EXPECT_LT(residentAfter, residentBefore + kFloodBytes / 4)
            << "memory did not return after draining and releasing: " << residentAfter / kMiB << " MiB";
    }
}

} // namespace
