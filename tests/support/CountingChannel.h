// A pass-through channel that counts the reads made through it and the bytes they returned.
#ifndef SELKO_TEST_COUNTING_CHANNEL_H
#define SELKO_TEST_COUNTING_CHANNEL_H

#include <SelkoCommunication.h>

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
        _bytes += bytes ? static_cast<long>(bytes->size()) : 0;
        return bytes;
    }
    bool write(const SLKData& data, CommErrorRef* error) override { return _inner->write(data, error); }
    long reads() const { return _reads.load(); }
    long bytes() const { return _bytes.load(); }

private:
    const SLKDataChannelRef _inner;
    std::atomic<long> _reads{0}, _bytes{0};
};

} // namespace selko::test

#endif
