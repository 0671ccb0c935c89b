// One factory for every kind of port, chosen by the URL's scheme.
#include "CommErrorRaise.h"
#include "SLKNetworkURL.h"
#include "SLPRFC2217Channel.h"
#include "SLPTCPChannel.h"
#include "SLPUSBChannel.h"

SLKDataChannelRef createChannelForURL(const char* url, const SLKOptions* options, CommErrorRef* error) noexcept {
    if (SLPUARTChannel::checkURL(url))
        return createUARTChannel(url, options, error);
    try {
        selko::detail::USBPortIdentity identity;
        if (selko::detail::parseUSBPortURL(url, &identity))
            return std::make_shared<SLPUSBChannel>(std::move(identity), options ? *options : SLKOptions());
        selko::detail::NetworkAddress address;
        if (selko::detail::parseNetworkURL(url, address)) {
            if (address.scheme == selko::detail::NetworkScheme::TCP)
                return std::make_shared<SLPTCPChannel>(url, std::move(address));
            return std::make_shared<SLPRFC2217Channel>(url, std::move(address), options ? *options : SLKOptions());
        }
    } catch (const std::exception&) {
        // Out of memory: reported like any URL we cannot serve.
    }
    SLK_RAISE(error, SLKErrorInvalidArgument, "Provided url %@ not valid", url ? url : "(null)");
    return nullptr;
}
