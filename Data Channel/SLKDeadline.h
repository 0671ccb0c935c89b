// Internal: a channel timeout turned into a point on the monotonic clock, and the timeout check
// every channel makes.
#ifndef SELKO_DEADLINE_H
#define SELKO_DEADLINE_H

#include "SelkoCommunication.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

namespace selko::detail {

// True for FOREVER, NOW and every non-negative number; false for NaN and other negative values.
// Every channel refuses the false ones with code 3 "time out has an invalid value".
inline bool isValidTimeout(double timeout) {
    return !std::isnan(timeout) && (timeout >= 0.0 || timeout == SELKO_COMMUNICATION_TIME_FOREVER);
}

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // FOREVER (and any time beyond a billion seconds, about 30 years) never passes; NOW has
    // passed already. Measured on a clock that never steps: setting the wall clock neither ends a
    // wait early nor stretches it.
    explicit Deadline(double timeout) : _forever(timeout == SELKO_COMMUNICATION_TIME_FOREVER || timeout > 1e9) {
        if (!_forever)
            _at = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(timeout, 0.0)));
    }

    bool forever() const { return _forever; }
    bool passed() const { return !_forever && Clock::now() >= _at; }
    Clock::time_point at() const { return _forever ? Clock::time_point::max() : _at; }
    // The time left as ppoll takes it: null without limit, zero once passed.
    const timespec* remaining(timespec& left) const {
        if (_forever)
            return nullptr;
        const auto rest = std::max(_at - Clock::now(), Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(rest);
        left.tv_sec = static_cast<time_t>(seconds.count());
        left.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(rest - seconds).count());
        return &left;
    }
    // Milliseconds left for poll: -1 without limit, rounded up so a wait never ends early.
    int pollMilliseconds() const {
        if (_forever)
            return -1;
        const auto left = _at - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return static_cast<int>(std::min<long long>(milliseconds, 1000LL * 3600));
    }
    // The earlier of this deadline and `seconds` from now.
    Deadline capped(double seconds) const {
        Deadline cap(seconds);
        return (!_forever && _at < cap._at) ? *this : cap;
    }

private:
    bool _forever;
    Clock::time_point _at{};
};

} // namespace selko::detail

#endif
