// Internal: the "uart" URL of a UART channel: scheme test and device path.
#ifndef SELKO_UART_URL_H
#define SELKO_UART_URL_H

#include <string>

namespace selko::detail {

// True exactly when `url` is not null and the text before its first ':' is "uart" (case-sensitive).
bool isUARTURL(const char* url) noexcept;

// The device path of `url`: its path component, percent-decoded. "uart:///dev/ttyS0",
// "uart://localhost/dev/ttyS0" and "uart:/dev/ttyS0" all give "/dev/ttyS0". False (and `path`
// untouched) for a null URL, an authority other than "" or "localhost" (case-insensitive), a query
// ('?'), a fragment ('#'), or a '%' not followed by two hex digits or decoding to a NUL byte.
// The scheme itself is not checked here.
bool devicePathFromURL(const char* url, std::string& path);

// The value of the hex digit `c`, or -1.
int hexDigitValue(char c) noexcept;

// `text` with its %XX escapes decoded into `decoded`; false for a '%' not followed by two hex
// digits or decoding to a NUL byte.
bool percentDecoded(const std::string& text, std::string& decoded);

} // namespace selko::detail

#endif
