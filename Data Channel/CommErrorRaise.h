// The one way the library reports a failure: build a CommError at the raising site and store it
// in the caller's slot. Every raising site goes through SLK_RAISE so that messages, locations and
// call stacks are made the same way everywhere.
#ifndef SELKO_COMM_ERROR_RAISE_H
#define SELKO_COMM_ERROR_RAISE_H

#include "SelkoCommunication.h"

#include <exception>
#include <string>
#include <type_traits>
#include <vector>

namespace selko::detail {

// Message arguments become text before formatting: %s and %@ take texts, %d an integer.
inline std::string messageArgument(const char* text) { return text ? text : "(null)"; }
inline std::string messageArgument(const std::string& text) { return text; }
template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer>>>
std::string messageArgument(Integer value) {
    return std::to_string(value);
}

// Replaces each %s, %d and %@ of `format` by the next argument, in order; "%%" is one '%'.
std::string formatMessage(const char* format, const std::vector<std::string>& arguments);

// Builds the record (message, "path:line", the calling thread's stack) and stores it in *slot.
void raiseCommError(CommErrorRef* slot, int code, const char* file, int line, const char* format,
                    const std::vector<std::string>& arguments);

template <class... Arguments>
void raise(CommErrorRef* slot, int code, const char* file, int line, const char* format,
           const Arguments&... arguments) {
    raiseCommError(slot, code, file, line, format, {messageArgument(arguments)...});
}

// Runs `call` and returns its result. An exception from user code below (a user-written channel,
// transformer or callable) must not cross a library frame and end the process: it becomes a
// failure, `failed` with code `code` "Unexpected exception: %s" (what(), or "unknown").
template <class Result, class Call>
Result contain(CommErrorRef* slot, int code, Result failed, const char* file, int line, Call&& call) noexcept {
    // The record is built inside the handler: what() points into the exception object, which
    // is gone once the handler ends.
    try {
        return call();
    } catch (const std::exception& exception) {
        try {
            if (slot != nullptr)
                raise(slot, code, file, line, "Unexpected exception: %s", exception.what());
        } catch (...) {
            // No memory left even for the record: the failure result alone must do.
        }
    } catch (...) {
        try {
            if (slot != nullptr)
                raise(slot, code, file, line, "Unexpected exception: %s", "unknown");
        } catch (...) {
        }
    }
    return failed;
}

} // namespace selko::detail

// Evaluates `expression`; an exception thrown from it becomes the failure result `failed` with a
// code `code` error "Unexpected exception: ..." at this line.
#define SLK_CONTAIN(slot, code, failed, expression)                                                 \
    ::selko::detail::contain((slot), (code), (failed), __FILE__, __LINE__, [&] { return (expression); })

// Raises a CommError of `code` into `slot` (a CommErrorRef*, may be null). Without a slot nothing
// is built and the arguments are not even evaluated.
#define SLK_RAISE(slot, code, ...)                                                                  \
    do {                                                                                            \
        CommErrorRef* slk_raise_slot_ = (slot);                                                     \
        if (slk_raise_slot_ != nullptr)                                                             \
            ::selko::detail::raise(slk_raise_slot_, (code), __FILE__, __LINE__, __VA_ARGS__);       \
    } while (0)

#endif
