// Factories of the decorator channels. Each checks its arguments in a fixed order and reports
// only the first failure.
#include "CommErrorRaise.h"

namespace {

bool refuseNullChannel(const SLKDataChannelRef& channel, CommErrorRef* error) {
    if (channel)
        return false;
    SLK_RAISE(error, SLKErrorInvalidArgument, "channel cannot be nil");
    return true;
}

} // namespace

SLKDataChannelRef createPassiveChannel(SLKDataChannelRef channel, CommErrorRef* error) noexcept {
    if (refuseNullChannel(channel, error))
        return nullptr;
    return std::make_shared<SLPPassiveChannel>(std::move(channel));
}

SLKDataChannelRef createActiveChannel(SLKDataChannelRef channel, CommErrorRef* error) noexcept {
    if (refuseNullChannel(channel, error))
        return nullptr;
    return SLPActiveChannel::initWithChannel(std::move(channel), true);
}

SLKDataChannelRef createActiveNullChannel(SLKDataChannelRef channel, CommErrorRef* error) noexcept {
    if (refuseNullChannel(channel, error))
        return nullptr;
    return SLPActiveChannel::initWithChannel(std::move(channel), false);
}

SLKDataChannelRef createEchoRemovalChannel(SLKDataChannelRef channel, SLKData delimiter, CommErrorRef* error) noexcept {
    if (refuseNullChannel(channel, error))
        return nullptr;
    if (!delimiter || delimiter->empty()) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "delimiter cannot be nil, or empty");
        return nullptr;
    }
    return std::make_shared<SLPEchoRemovalChannel>(std::move(channel), *delimiter);
}

SLKDataChannelRef createChannelTransformer(SLKDataChannelRef channel,
                                           const std::vector<SLKDataTransformerRef>* readTransformers,
                                           const std::vector<SLKDataTransformerRef>* writeTransformers,
                                           CommErrorRef* error) noexcept {
    if (refuseNullChannel(channel, error))
        return nullptr;
    if (!SLPChannelTransformer::isHomogenousDataTransformerArray(readTransformers)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "Objects in readTransformers must conform to SLKDataTransformer");
        return nullptr;
    }
    if (!SLPChannelTransformer::isHomogenousDataTransformerArray(writeTransformers)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "Objects in writeTransformers must conform to SLKDataTransformer");
        return nullptr;
    }
    return std::make_shared<SLPChannelTransformer>(std::move(channel), readTransformers, writeTransformers);
}
