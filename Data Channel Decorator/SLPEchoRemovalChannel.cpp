#include "CommErrorRaise.h"
#include "Pending.h"
SLPEchoRemovalChannel::SLPEchoRemovalChannel(SLKDataChannelRef, const SLKBytes&) { SLK_PENDING(); }
bool SLPEchoRemovalChannel::openWithTimeout(double, CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPEchoRemovalChannel::close(CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPEchoRemovalChannel::isOpened() noexcept { SLK_PENDING(); }
SLKData SLPEchoRemovalChannel::readWithTimeout(double, CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPEchoRemovalChannel::write(const SLKData&, CommErrorRef*) noexcept { SLK_PENDING(); }
