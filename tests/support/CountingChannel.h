// A pass-through channel that counts the reads made through it and the bytes they returned, so
// a test can tell how often a background reader read and when it has buffered what arrived.
#ifndef SELKO_TEST_COUNTING_CHANNEL_H
#define SELKO_TEST_COUNTING_CHANNEL_H

#include <SelkoCommunication.h>

#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <atomic>

namespace selko::test {

class CountingChannel : public SLKDataChannel {
public:
    explicit CountingChannel(SLKDataChannelRef inner) : _inner(std::move(inner)) {}
    bool openWithTimeout(double timeout, CommErrorRef* error) override { return _inner->openWithTimeout(timeout, error); }
    bool close(CommErrorRef* error) override { return _inner->close(error); }
    bool isOpened() override { return _inner->isOpened(); }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        ++_reads;
        SLKData bytes = _inner->readWithTimeout(timeout, error);
        if (bytes)
            _bytes += static_cast<long>(bytes->size());
        return bytes;
    }
    bool write(const SLKData& data, CommErrorRef* error) override { return _inner->write(data, error); }

    long reads() const { return _reads.load(); }
    long bytes() const { return _bytes.load(); }

    // Waits until the loop has read `total` bytes and handed them to the buffer: a read started
    // after the one that returned the last of them.
    void awaitBuffered(long total) const {
        ASSERT_TRUE(eventually([&] { return bytes() >= total; }));
        const long seen = reads();
        ASSERT_TRUE(eventually([&] { return reads() > seen; }));
    }

private:
    const SLKDataChannelRef _inner;
    std::atomic<long> _reads{0};
    std::atomic<long> _bytes{0};
};

} // namespace selko::test

#endif
