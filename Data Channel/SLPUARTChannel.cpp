#include "CommErrorRaise.h"
#include "Pending.h"
struct SLPUARTChannel::Descriptor {};
bool SLPUARTChannel::checkURL(const char*) { SLK_PENDING(); }
SLKOptions SLPUARTChannel::defaultConfig() { SLK_PENDING(); }
std::shared_ptr<SLPUARTChannel> SLPUARTChannel::initForURL(const char*, const SLKOptions*) { SLK_PENDING(); }
SLPUARTChannel::SLPUARTChannel(std::string, SLKOptions) { SLK_PENDING(); }
SLPUARTChannel::~SLPUARTChannel() {}
bool SLPUARTChannel::openWithTimeout(double, CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPUARTChannel::close(CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPUARTChannel::isOpened() noexcept { SLK_PENDING(); }
SLKData SLPUARTChannel::readWithTimeout(double, CommErrorRef*) noexcept { SLK_PENDING(); }
bool SLPUARTChannel::write(const SLKData&, CommErrorRef*) noexcept { SLK_PENDING(); }
std::shared_ptr<SLPUARTChannel::Descriptor> SLPUARTChannel::acquireDescriptor() const { SLK_PENDING(); }
bool SLPUARTChannel::releaseDescriptor(const std::shared_ptr<Descriptor>&) { SLK_PENDING(); }
bool openPortWithError__no_cleanup(int*, const char*, const SLKOptions&, CommErrorRef*) noexcept { SLK_PENDING(); }
bool setCharacterSizeSpecifier(struct termios*, char, CommErrorRef*) noexcept { SLK_PENDING(); }
bool setParityMaskSpecifier(struct termios*, char, CommErrorRef*) noexcept { SLK_PENDING(); }
bool setStopBitSpecifier(struct termios*, char, CommErrorRef*) noexcept { SLK_PENDING(); }
