// A decorator for lines whose far end sends back what it is sent. Both directions are cut into
// messages at a delimiter; each written message waits as a pending echo, and a received message
// equal to the oldest pending echo is dropped instead of delivered.
//
// The mutex guards only the buffers and queues. It is never held while the wrapped channel is
// called, so a background reader below us and a writer on another thread never wait on each other
// through this layer.
#include "CommErrorRaise.h"
#include "SLKChannelDecorator.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t notFound = static_cast<std::size_t>(-1);

// Offset of the leftmost complete occurrence of `delimiter` in `buffer` that starts at `from` or
// later, or notFound. memchr finds candidates for the first byte, so a one-byte delimiter (the
// usual line feed) costs one library scan.
std::size_t findDelimiter(const SLKBytes& buffer, std::size_t from, const SLKBytes& delimiter) {
    const std::size_t length = delimiter.size();
    if (buffer.size() < length)
        return notFound;
    const std::uint8_t* const bytes = buffer.data();
    const std::size_t lastStart = buffer.size() - length;
    for (std::size_t at = from; at <= lastStart; ++at) {
        const void* candidate = std::memchr(bytes + at, delimiter[0], lastStart - at + 1);
        if (candidate == nullptr)
            return notFound;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(candidate) - bytes);
        if (std::memcmp(bytes + at + 1, delimiter.data() + 1, length - 1) == 0)
            return at;
    }
    return notFound;
}

// Cuts every complete message (bytes up to and including the leftmost delimiter) off the front
// of the uncut bytes `buffer[uncut..]` onto the back of `queue`, oldest first; a message is
// recorded as its length and stays where it lies. Afterwards the uncut bytes hold no complete
// delimiter.
//
// The work is linear in the bytes added since the last cut: `scanned` (an offset into `buffer`)
// remembers where the search has to resume. The uncut bytes hold no complete delimiter, so only
// an occurrence that begins in their last (delimiter length - 1) bytes can be completed by bytes
// appended later.
template <class Queue>
void splitByDelimiterPushDelimitedOnQueue(const SLKBytes& buffer, std::size_t& uncut, std::size_t& scanned,
                                          Queue& queue, const SLKBytes& delimiter) {
    for (std::size_t searchFrom = std::max(uncut, scanned);;) {
        const std::size_t at = findDelimiter(buffer, searchFrom, delimiter);
        if (at == notFound)
            break;
        const std::size_t messageEnd = at + delimiter.size();
        queue.push_back(messageEnd - uncut);
        uncut = messageEnd;
        searchFrom = messageEnd;
    }
    const std::size_t overlap = delimiter.size() - 1;
    scanned = std::max(uncut, buffer.size() > overlap ? buffer.size() - overlap : 0);
}

} // namespace

SLPEchoRemovalChannel::SLPEchoRemovalChannel(SLKDataChannelRef channel, const SLKBytes& delimiter)
    : SLKChannelDecorator(std::move(channel)), _delimiter(delimiter) {}

SLK_DECORATOR_OWN_FORWARDS(SLPEchoRemovalChannel)

bool SLPEchoRemovalChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    // Recorded only once the wrapped channel took the bytes: a rejected write never becomes an
    // expected echo.
    if (!SLK_CONTAIN(error, SLKErrorPortSystem, false, _channel->write(data, error)))
        return false;
    // No bytes (a user-written channel may accept null), or no delimiter to cut at (only a
    // directly constructed channel can have none): nothing to expect back.
    if (!data || _delimiter.empty())
        return true;
    std::lock_guard<std::mutex> guard(_readWriteMutex);
    _writeBuffer.insert(_writeBuffer.end(), data->begin(), data->end());
    splitByDelimiterPushDelimitedOnQueue(_writeBuffer, _writeTail, _writeScanned, _writeQueue, _delimiter);
    return true;
}

SLKData SLPEchoRemovalChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    // Exactly one wrapped read per call, with the caller's timeout: this layer keeps no time.
    SLKData received = SLK_CONTAIN(error, SLKErrorRead, SLKData(), _channel->readWithTimeout(timeout, error));
    if (!received || _delimiter.empty())
        return received;

    std::lock_guard<std::mutex> guard(_readWriteMutex);
    _readBuffer.insert(_readBuffer.end(), received->begin(), received->end());
    std::size_t uncut = 0; // no complete message is left in _readBuffer between reads
    splitByDelimiterPushDelimitedOnQueue(_readBuffer, uncut, _readScanned, _readQueue, _delimiter);

    SLKBytes result; // not reserved up front: a read of nothing but echoes returns no capacity
    const std::uint8_t* const bytes = _readBuffer.data();
    std::size_t message = 0; // offset of the oldest received message not yet matched
    std::size_t next = 0;    // its index in _readQueue
    while (!_writeQueue.empty() && next < _readQueue.size()) {
        const std::size_t length = _readQueue[next];
        if (length == _writeQueue.front() &&
            std::memcmp(bytes + message, _writeBuffer.data() + _writeFront, length) == 0) {
            // The echo of the oldest pending message: dropped.
            _writeFront += length;
            _writeQueue.pop_front();
        } else {
            result.insert(result.end(), bytes + message, bytes + message + length);
        }
        message += length;
        ++next;
    }
    _readQueue.clear();

    if (_writeQueue.empty()) {
        // Nothing is expected back, so nothing needs holding: deliver the rest, which is the
        // unmatched messages followed by the tail, in one piece.
        result.insert(result.end(), bytes + message, bytes + _readBuffer.size());
        _readBuffer.clear();
        _readScanned = 0;
    } else {
        // Every message was matched or delivered; the tail may be the start of a pending echo.
        _readBuffer.erase(_readBuffer.begin(), _readBuffer.begin() + static_cast<std::ptrdiff_t>(message));
        _readScanned -= message;
    }
    dropMatchedEchoes();
    return std::make_shared<const SLKBytes>(std::move(result));
}

void SLPEchoRemovalChannel::dropMatchedEchoes() {
    // Moving the live bytes down only once at least as many have been matched keeps the cost of
    // compaction proportional to the bytes written.
    const std::size_t live = _writeBuffer.size() - _writeFront;
    if (_writeFront == 0 || _writeFront < live)
        return;
    _writeBuffer.erase(_writeBuffer.begin(), _writeBuffer.begin() + static_cast<std::ptrdiff_t>(_writeFront));
    _writeTail -= _writeFront;
    _writeScanned -= _writeFront;
    _writeFront = 0;
}
