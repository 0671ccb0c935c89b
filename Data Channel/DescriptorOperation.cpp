#include "CommErrorRaise.h"
#include "Pending.h"
std::int64_t select_with_retry(int, fd_set*, struct timeval*) noexcept { SLK_PENDING(); }
std::int64_t read_with_retry(int, void*, std::size_t) noexcept { SLK_PENDING(); }
SLKData selko_communication_read(int, double, CommErrorRef*) noexcept { SLK_PENDING(); }
