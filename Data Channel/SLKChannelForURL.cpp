// One factory for every kind of port, chosen by the URL's scheme.
#include "CommErrorRaise.h"

SLKDataChannelRef createChannelForURL(const char* url, const SLKOptions* options, CommErrorRef* error) noexcept {
    if (SLPUARTChannel::checkURL(url))
        return createUARTChannel(url, options, error);
    SLK_RAISE(error, SLKErrorInvalidArgument, "Provided url %@ not valid", url ? url : "(null)");
    return nullptr;
}
