#include "CommErrorRaise.h"
#include "Pending.h"
template <class T> class databufferchannel_t {};
std::shared_ptr<SLPActiveChannel> SLPActiveChannel::initWithChannel(SLKDataChannelRef, bool) { SLK_PENDING(); }
std::shared_ptr<SLPActiveChannel> SLPActiveChannel::initWithChannel(SLKDataChannelRef, bool, ThreadLauncher) { SLK_PENDING(); }
SLPActiveChannel::SLPActiveChannel(PrivateTag, SLKDataChannelRef, bool b, ThreadLauncher) : _buffer(b) { SLK_PENDING(); }
SLPActiveChannel::~SLPActiveChannel() {}
bool SLPActiveChannel::openWithTimeout(double, CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPActiveChannel::close(CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPActiveChannel::isOpened() noexcept { SLK_PENDING(); }
SLKData SLPActiveChannel::readWithTimeout(double, CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPActiveChannel::write(const SLKData&, CommErrorRef*) noexcept { SLK_PENDING(); }
void selko_detachNewThreadWithBlock(std::function<void()>) noexcept { SLK_PENDING(); }
