// Internal: lets the readers of a threaded active channel read the port themselves while they
// wait. With the background thread as the only reader, every reply costs two wake-ups in series
// (the port wakes the thread, the thread wakes the reader), and the second one is most of the gap
// to a plain read on an idle machine. So a reader that finds the buffer empty polls the port
// itself and takes a turn when bytes arrive, and the thread stands aside while any reader waits;
// the rest of the time the thread drains the port as before.
//
// Readers and senders follow the event-count pattern: a reader enters (counted) before it looks
// at the buffer, and whoever puts bytes in the buffer or closes it signals after doing so, when
// someone is counted. So a reader either finds the bytes or is woken.
#ifndef SELKO_READER_HANDOFF_H
#define SELKO_READER_HANDOFF_H

#include "SLKDeadline.h"

#include <atomic>
#include <memory>

namespace selko::detail {

class ReaderHandoff {
public:
    // Over the wrapped stack's readable descriptor `port` (owned by that stack). Null when no
    // signal descriptor can be made: the channel then keeps the thread as the only reader.
    static std::unique_ptr<ReaderHandoff> make(int port);
    ~ReaderHandoff();
    ReaderHandoff(const ReaderHandoff&) = delete;
    ReaderHandoff& operator=(const ReaderHandoff&) = delete;

    // A reader's side: enter before looking at the buffer, leave when the read is over.
    void enter();
    void leave();
    enum class Wake { Port, Signal, Timeout };
    // Waits until the port is readable, a signal came, or the deadline passed. A signal is
    // consumed; the caller re-raises it (signal()) if it was a close that others must see too.
    Wake wait(const Deadline& deadline);
    // After bytes went into the buffer or it was closed: wakes the counted readers other than the
    // caller's own `ownReaders` (1 when a counted reader calls).
    void signal(int ownReaders = 0);

    // The thread's side. Whether a reader waits now or came since the thread's last look (`seen`,
    // the thread's own count of entries, is brought up to date): the thread then stays aside for
    // another pause instead of polling the port, so a reply wakes the reader alone, not both. A
    // reader that reads again within a pause (a command and its reply, a bulk stream) never
    // meets the thread; bytes that arrive while nobody reads wait at most a pause or two.
    bool readersActive(unsigned& seen) const;
    // Until the port is readable (true), or `slice` seconds.
    bool awaitPort(double slice);

private:
    ReaderHandoff(int port, int signal) : _port(port), _signal(signal) {}

    const int _port;
    const int _signal;   // an eventfd
    std::atomic<int> _readers{0};
    std::atomic<unsigned> _entries{0};
};

} // namespace selko::detail

#endif
