// A thread-safe channel of elements between one producer thread and the threads that consume
// from it. The producer appends whole blocks; a consumer takes everything buffered so far in one
// constant-time exchange, waiting up to a timeout when nothing is there; the producer closes the
// channel when it stops for good, and a closed channel is never opened again.
//
// A shared block sent while nothing is buffered is kept as it is, and a consumer that takes it
// alone gets that very block: a consumer that keeps up with the producer costs no copy. Only a
// second block before the next receive copies the held one, once, into the growing array.
//
// Results are a flag plus errno (EINVAL, ETIMEDOUT, ECANCELED), not CommError records: the
// channel layer above turns them into records.
#ifndef SELKO_DATABUFFERCHANNEL_T_H
#define SELKO_DATABUFFERCHANNEL_T_H

#include "SelkoCommunication.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <vector>

template <class T> class databufferchannel_t {
public:
    databufferchannel_t() noexcept : closed(false) {
        pthread_condattr_t condAttributes;
        pthread_condattr_init(&condAttributes);
        // Deadlines are on the monotonic clock: a wall clock set forward or back (a board
        // without a real-time clock taking the time from the network) never shortens or
        // stretches a wait.
        pthread_condattr_setclock(&condAttributes, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &condAttributes);
        pthread_condattr_destroy(&condAttributes);
        pthread_mutexattr_t mutexAttributes;
        pthread_mutexattr_init(&mutexAttributes);
        pthread_mutex_init(&mutex, &mutexAttributes);
        pthread_mutexattr_destroy(&mutexAttributes);
    }

    ~databufferchannel_t() {
        pthread_mutex_destroy(&mutex);
        pthread_cond_destroy(&cond);
    }

    databufferchannel_t(const databufferchannel_t&) = delete;
    databufferchannel_t& operator=(const databufferchannel_t&) = delete;

    using Block = std::shared_ptr<const std::vector<T>>;

    // Takes every buffered element into `out`, waiting up to `timeout` seconds for the first
    // ones (SELKO_COMMUNICATION_TIME_NOW: no wait, SELKO_COMMUNICATION_TIME_FOREVER: no limit).
    // True with errno 0 on success; false with errno EINVAL (invalid timeout), ETIMEDOUT
    // (nothing within the timeout) or ECANCELED (closed), `out` unchanged.
    //
    // Our choices where the contract is open:
    // - A NaN timeout is refused with EINVAL once the channel is known to be open (it has no
    //   meaning as a wait, and waiting for ever on it could hang a caller that computed it).
    // - A timeout whose deadline does not fit the time type (infinity, or seconds beyond the
    //   range of time_t) waits without limit; nothing is ever converted out of range.
    // - A wait that fails other than by timing out (not expected with the deadlines built here)
    //   ends the receive with that error in errno, rather than waiting again and spinning.
    // - A non-empty `out` keeps its elements: the buffered ones are appended after them. The
    //   usual empty `out` gets them by exchanging storage, in constant time.
    bool TryReceive(double timeout, std::vector<T>& out) noexcept {
        Block held;
        if (!receive(timeout, held, out))
            return false;
        if (held)
            out.insert(out.end(), held->begin(), held->end());
        return true;
    }

    // The same, handing everything over as one block: the block the producer sent when it is the
    // only one buffered, otherwise a new block of all of them. `out` is replaced on success.
    bool TryReceive(double timeout, Block& out) noexcept {
        Block held;
        std::vector<T> taken;
        if (!receive(timeout, held, taken))
            return false;
        out = held ? std::move(held) : std::make_shared<const std::vector<T>>(std::move(taken));
        return true;
    }

    // Appends `count` elements as one block and wakes one waiting receiver; dropped once closed.
    void Send(const T* elements, std::size_t count) noexcept {
        lockedSend([&] {
            unhold();
            data.insert(data.end(), elements, elements + count);
        });
    }

    // Appends a shared block, kept as it is while nothing else is buffered. Null or empty: nothing.
    void Send(Block block) noexcept {
        if (!block || block->empty())
            return;
        lockedSend([&] {
            if (data.empty() && !held) {
                held = std::move(block);
                return;
            }
            unhold();
            data.insert(data.end(), block->begin(), block->end());
        });
    }

    // The producer's last step: every waiting receiver ends with ECANCELED. Idempotent.
    void Close() noexcept {
        pthread_mutex_lock(&mutex);
        closed.store(true);
        pthread_cond_broadcast(&cond);
        pthread_mutex_unlock(&mutex);
    }

    // Whether Close was called. Read without the mutex; it only ever turns from false to true,
    // and whoever sees it true also sees everything the producer did before closing.
    bool IsClosed() const noexcept { return closed.load(); }

    // Whether a receive would find elements now (for a poll's readable signal; a hint the moment
    // it returns, as another receiver may take them).
    bool HasData() const noexcept {
        pthread_mutex_lock(&mutex);
        const bool buffered = !empty();
        pthread_mutex_unlock(&mutex);
        return buffered;
    }

private:
    bool empty() const noexcept { return data.empty() && !held; }

    // The held block's elements move to the front of `data`, which is empty (a block is held only
    // while nothing else is buffered).
    void unhold() noexcept {
        if (held) {
            data.assign(held->begin(), held->end());
            held.reset();
        }
    }

    template <class Append> void lockedSend(Append append) noexcept {
        pthread_mutex_lock(&mutex);
        const bool appended = !closed.load();
        if (appended)
            append();
        pthread_mutex_unlock(&mutex);
        // Signalled after the unlock: the woken receiver finds the mutex free instead of waking
        // only to sleep again on it (one wake-up per block instead of two).
        if (appended)
            pthread_cond_signal(&cond);
    }

    // Waits as TryReceive says, then hands over the held block (into `block`) or the array (by
    // exchange with an empty `out`, else appended to it).
    bool receive(double timeout, Block& block, std::vector<T>& out) noexcept {
        const double now = SELKO_COMMUNICATION_TIME_NOW;
        const double forever = SELKO_COMMUNICATION_TIME_FOREVER;
        if (timeout < 0.0 && timeout != now && timeout != forever) {
            errno = EINVAL;
            return false;
        }
        pthread_mutex_lock(&mutex);
        if (closed.load()) {
            return unlockFailing(ECANCELED);
        }
        if (std::isnan(timeout)) {
            return unlockFailing(EINVAL);
        }
        if (empty()) {
            if (timeout == SELKO_COMMUNICATION_TIME_NOW) {
                return unlockFailing(ETIMEDOUT);
            }
            timespec deadline{};
            const bool unlimited = timeout == SELKO_COMMUNICATION_TIME_FOREVER || !deadlineAfter(timeout, deadline);
            for (;;) {
                const int waited = unlimited ? pthread_cond_wait(&cond, &mutex)
                                             : pthread_cond_timedwait(&cond, &mutex, &deadline);
                if (waited != ETIMEDOUT && !empty()) {
                    break;  // delivered even if closed meanwhile: it was sent before the close
                }
                if (waited == ETIMEDOUT) {
                    return unlockFailing(closed.load() ? ECANCELED : ETIMEDOUT);
                }
                if (closed.load()) {
                    return unlockFailing(ECANCELED);
                }
                if (waited != 0) {
                    return unlockFailing(waited);
                }
            }
        }
        block = std::move(held);
        held.reset();
        if (out.empty()) {
            out.swap(data);
        } else {
            out.insert(out.end(), data.begin(), data.end());
            data.clear();
        }
        pthread_mutex_unlock(&mutex);
        errno = 0;
        return true;
    }

    bool unlockFailing(int reason) noexcept {
        pthread_mutex_unlock(&mutex);
        errno = reason;
        return false;
    }

    // The monotonic instant `timeout` seconds from now (whole seconds truncated, the fraction
    // in nanoseconds, a full second of nanoseconds carried). False when the seconds would not fit
    // time_t (or the timeout is not finite).
    static bool deadlineAfter(double timeout, timespec& deadline) noexcept {
        timespec today{};
        clock_gettime(CLOCK_MONOTONIC, &today);
        if (!std::isfinite(timeout)) {
            return false;
        }
        const double whole = std::trunc(timeout);
        // Room left in time_t after today's seconds and a possible carry. Compared as doubles:
        // near the limit doubles are coarser than one second, but `whole` is an integral double
        // strictly below the rounded room, so it is also below the exact room.
        const double room = static_cast<double>(std::numeric_limits<time_t>::max() - today.tv_sec - 1);
        if (whole >= room) {
            return false;
        }
        long nanoseconds = static_cast<long>((timeout - whole) * 1e9) + today.tv_nsec;
        time_t seconds = static_cast<time_t>(whole) + today.tv_sec;
        if (nanoseconds >= 1000000000L) {
            seconds += 1;
            nanoseconds -= 1000000000L;
        }
        deadline.tv_sec = seconds;
        deadline.tv_nsec = nanoseconds;
        return true;
    }

    std::atomic<bool> closed;
    mutable pthread_mutex_t mutex;
    pthread_cond_t cond;
    std::vector<T> data;   // everything buffered, oldest first, unless a block is held
    Block held;            // the one block buffered, sent while nothing else was; never with data
};

#endif
