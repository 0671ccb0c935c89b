// SelkoCommunication: talk to devices on serial (UART) ports.
//
// A program builds a stack of channels from the bottom up: a UART channel made from a
// "uart:///dev/..." URL, then any decorators it wants (background reader, sliced reader, echo
// remover, transforming channel), opens the top of the stack, writes commands and reads replies
// within timeouts, and closes it again.
//
//     CommErrorRef error;
//     SLKDataChannelRef port = createUARTChannel("uart:///dev/ttyUSB0", nullptr, &error);
//     if (!port || !port->openWithTimeout(1.0, &error)) { /* error->message() says why */ }
//     port->write(SLKDataWithString("PING\n"), &error);
//     SLKData reply = port->readWithTimeout(1.0, &error);   // empty: nothing arrived in time
//
// Error reporting is the same everywhere: a fallible call returns false (or null) and, when the
// caller passed an error slot, stores a CommError in it. A successful call leaves the slot as it
// was. Nothing in the library throws. An exception thrown by your own channel, transformer or
// callable is caught by the decorator above it, which fails the call (open, close and write
// with code 4, read with code 5, "Unexpected exception: <what()>"); one thrown by a callable on
// a thread of selko_detachNewThreadWithBlock ends that callable only.
//
// Timeouts are seconds as a double: SELKO_COMMUNICATION_TIME_FOREVER (-1.0) waits without limit,
// SELKO_COMMUNICATION_TIME_NOW (0.0) does not wait; other negative values are invalid.
#ifndef SELKO_COMMUNICATION_H
#define SELKO_COMMUNICATION_H

#include <sys/select.h>
#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

struct termios;

// Marks what the shared library exports; everything else is built hidden.
#define SELKO_API __attribute__((visibility("default")))
// Keeps a private helper of an exported class out of the library's exported symbols.
#define SELKO_LOCAL __attribute__((visibility("hidden")))

// The factories and low-level functions have C linkage so that their symbols are plain names,
// although they take and return C++ types. clang warns about that combination; it is intended.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

// ---------------------------------------------------------------------------------------------
// Bytes, options and errors
// ---------------------------------------------------------------------------------------------

/// Mutable bytes: what transformers rewrite in place.
using SLKBytes = std::vector<std::uint8_t>;
/// Immutable shared bytes: read results, written data, factory byte arguments. Null means null.
using SLKData = std::shared_ptr<const SLKBytes>;

/// A value of the UART options map: a flag, an integer or a string.
using SLKOptionValue = std::variant<bool, long long, std::string>;
/// The UART options map (keys are the SELKO_COMMUNICATION_UART_* constants).
using SLKOptions = std::map<std::string, SLKOptionValue>;

/// The six error codes a CommError can carry.
enum SLKErrorCode : int {
    SLKErrorAlreadyOpened = 1,   ///< the channel is already open
    SLKErrorNotOpened = 2,       ///< the channel is not open (or its background read stopped)
    SLKErrorInvalidArgument = 3, ///< a bad argument or setting
    SLKErrorPortSystem = 4,      ///< a system call on the serial port failed
    SLKErrorRead = 5,            ///< reading failed
    SLKErrorUnsupported = 6,     ///< the channel variant does not offer the operation
};

/// The error record of every failure. Immutable; may be passed between threads.
class SELKO_API CommError {
public:
    /// A value of the info map: a text, or a list of texts (the call stack).
    using InfoValue = std::variant<std::string, std::vector<std::string>>;
    /// The info map; the library fills exactly "ErrorMessage", "ErrorLocation", "ErrorCallStack".
    using InfoMap = std::map<std::string, InfoValue>;

    CommError(std::string domain, int code, InfoMap userInfo);

    /// SelkoCommunicationErrorDomain for every error the library raises.
    const std::string& domain() const noexcept { return _domain; }
    /// One of SLKErrorCode.
    int code() const noexcept { return _code; }
    /// The info map.
    const InfoMap& userInfo() const noexcept { return _userInfo; }
    /// "ErrorMessage": the formatted message ("" when absent).
    std::string message() const;
    /// "ErrorLocation": source path relative to the source root, a colon and the line.
    std::string location() const;
    /// "ErrorCallStack": the raising thread's call stack, one text per frame.
    std::vector<std::string> callStack() const;

private:
    std::string _domain;
    int _code;
    InfoMap _userInfo;
};

/// Shared, immutable error.
using CommErrorRef = std::shared_ptr<const CommError>;

// ---------------------------------------------------------------------------------------------
// Exported constants and version data
// ---------------------------------------------------------------------------------------------

extern "C" {
/// Timeout -1.0: wait until bytes arrive, without limit.
SELKO_API extern const double SELKO_COMMUNICATION_TIME_FOREVER;
/// Timeout 0.0: do not wait; return what is already there.
SELKO_API extern const double SELKO_COMMUNICATION_TIME_NOW;
/// 65536: the read size used when the number of waiting bytes is unknown.
SELKO_API extern const std::size_t DEFAULT_BUFFER_SIZE;
/// "@(#)PROGRAM:SelkoCommunication  PROJECT:SelkoCommunication-1.18.0\n"
SELKO_API extern const char* const SelkoCommunicationVersionString;
/// 1.18
SELKO_API extern const double SelkoCommunicationVersionNumber;
/// The domain of every CommError the library raises ("org.selko.selko-communication").
SELKO_API extern const char* const SelkoCommunicationErrorDomain;
/// Options key: line mode string such as "8N1" (size 5-8, parity N/O/E, stop bits 1/2). Default "8N1".
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_MODE;
/// Options key: line speed in bits per second, an integer. Default 115200.
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_BAUD;
/// Options key: request exclusive use of the port (TIOCEXCL), a flag. Default true.
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK;
/// Options key: flow control, a string: "none" (default), "rts/cts" (CRTSCTS) or "xon/xoff"
/// (IXON and IXOFF with DC1/DC3 as start and stop characters).
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_FLOW_CONTROL;
/// Options key: ask the driver for low-latency delivery (ASYNC_LOW_LATENCY), a flag. Default
/// false. A driver that has no such setting (a pseudo-terminal, many USB adapters) is left as it is.
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_LOW_LATENCY;
/// Options key: the level of the DTR line right after the open, a flag. Absent (the default): the
/// line stays as the driver left it (Linux raises DTR and RTS at every open, so false lowers DTR
/// a moment after it rose). Code 4 "Error setting DTR on ..." where the port has no modem lines.
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_DTR;
/// Options key: the level of the RTS line right after the open, a flag; as the DTR key.
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_RTS;
/// Options key: the driver's RS-485 mode (TIOCSRS485), a string: "rts-on-send" (RTS drives the
/// transmitter enable, raised while sending) or "rts-after-send" (the inverse: lowered while
/// sending), or "off" (RS-485 turned off if the driver has it on; a driver without RS-485 is
/// already off). Absent (the default): the driver's RS-485 settings are left as they are, so a
/// port the system set up for RS-485 stays so. Code 4 "Error setting RS-485 on ..." where the
/// driver has no RS-485 mode.
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_RS485;
/// Options keys: with an RS-485 mode on, the milliseconds RTS is set before sending and kept
/// after it (integers in 0..4294967295, default 0; the driver may clamp them).
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_RS485_DELAY_BEFORE;
SELKO_API extern const char* const SELKO_COMMUNICATION_UART_RS485_DELAY_AFTER;

/// Bytes of a zero-terminated text, without the terminator (null text: empty bytes). Never null.
SELKO_API SLKData SLKDataWithString(const char* text) noexcept;
/// A copy of `length` bytes at `bytes` (null bytes or zero length: empty bytes). Never null.
SELKO_API SLKData SLKDataWithBytes(const void* bytes, std::size_t length) noexcept;
}

// ---------------------------------------------------------------------------------------------
// Channels
// ---------------------------------------------------------------------------------------------

/// A byte channel. Every channel of the library and every decorator implements it; callers may
/// implement it too and wrap their own channels in the library's decorators.
class SELKO_API SLKDataChannel {
public:
    virtual ~SLKDataChannel();
    /// Opens the channel. Code 1 when already open (where the channel checks).
    virtual bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) = 0;
    /// Closes the channel. Code 2 when not open (where the channel checks).
    virtual bool close(CommErrorRef* error = nullptr) = 0;
    /// Whether the channel is open. Never fails.
    virtual bool isOpened() = 0;
    /// The bytes that arrived within the timeout, in order; empty when none arrived; null on failure.
    virtual SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) = 0;
    /// Hands all of `data` to the layer below; false on failure.
    virtual bool write(const SLKData& data, CommErrorRef* error = nullptr) = 0;
    /// The channel this one wraps; null for a channel that wraps none (the default).
    virtual std::shared_ptr<SLKDataChannel> nextLayer();
};

/// Shared channel reference.
using SLKDataChannelRef = std::shared_ptr<SLKDataChannel>;

/// The modem status lines of a serial port.
struct SLKModemLines {
    bool cts = false, dsr = false, dcd = false, ri = false;
};
/// Which of a port's queues a call means.
enum class SLKQueue { Input, Output, Both };

/// Line control of a serial port. Every call fails with code 2 "Cannot communicate with closed
/// devices" on a closed port, code 3 for a bad argument and code 4 with the system's error text
/// when the port refuses the request.
class SELKO_API SLKSerialPort {
public:
    virtual ~SLKSerialPort();
    /// Raises (true) or lowers the DTR line.
    virtual bool setDTR(bool on, CommErrorRef* error = nullptr) = 0;
    /// Raises (true) or lowers the RTS line.
    virtual bool setRTS(bool on, CommErrorRef* error = nullptr) = 0;
    /// Reads the CTS, DSR, DCD and RI lines into `*lines`.
    virtual bool modemLines(SLKModemLines* lines, CommErrorRef* error = nullptr) = 0;
    /// Sends a break of `seconds` (0: the system's default length).
    virtual bool sendBreak(double seconds, CommErrorRef* error = nullptr) = 0;
    /// Drops unread input, unsent output, or both.
    virtual bool discard(SLKQueue queue, CommErrorRef* error = nullptr) = 0;
    /// Waits until everything written has left the port; code 4 when `timeout` runs out first.
    virtual bool drain(double timeout, CommErrorRef* error = nullptr) = 0;
    /// The number of bytes waiting in the input or output queue.
    virtual bool queued(SLKQueue queue, long long* bytes, CommErrorRef* error = nullptr) = 0;
};

/// The serial port at the bottom of `channel`'s stack, found by following nextLayer(). Null with
/// code 3 "channel cannot be nil" for a null channel, and code 6 when the bottom channel has no
/// line control (the message names its kind).
SELKO_API std::shared_ptr<SLKSerialPort> SLKSerialPortOf(SLKDataChannelRef channel, CommErrorRef* error = nullptr);

/// When a reconnecting channel retries its open: after firstRetry seconds, then at doubling
/// intervals up to longestRetry.
struct SLKReconnectPolicy {
    double firstRetry = 0.05;
    double longestRetry = 1.0;
};
/// What a reconnecting channel tells its listener: the device went away, or it is back.
enum class SLKLinkEvent { Lost, Restored };

/// The direction of a block shown to a tap.
enum class SLKDirection { Read, Write };

/// What is known about one serial port of this machine.
struct SLKPortInfo {
    std::string path;                 ///< /dev/ttyUSB0
    std::vector<std::string> links;   ///< stable names: /dev/serial/by-id/..., /dev/serial/by-path/...
    std::string transport;            ///< "usb", "native", "bluetooth", "pci", "platform", "virtual"
    std::string driver;               ///< ftdi_sio, cp210x, cdc_acm, serial8250, ...
    std::string description;          ///< one human line: product, else driver and path
    int usbVendorId = -1, usbProductId = -1, usbInterface = -1;
    std::string usbManufacturer, usbProduct, usbSerialNumber, usbLocation;   ///< location: "1-1.4"
};

/// The serial ports of this machine, sorted by path.
SELKO_API std::vector<SLKPortInfo> selko_listPorts(CommErrorRef* error = nullptr);

/// A change of the machine's serial ports.
enum class SLKPortChange { Added, Removed };
/// Watches the serial ports as they appear and disappear; watching stops when it is destroyed.
class SELKO_API SLKPortWatcher {
public:
    virtual ~SLKPortWatcher();
};
/// Starts watching: `listener` hears each port that appears or disappears, once per change, on
/// the watcher's own thread. Works from the kernel's device events, without a udev daemon. A
/// Removed port carries what was known when it came. Destroying the watcher waits for a listener
/// call in progress (the listener may destroy it itself); an exception from the listener is
/// dropped. Code 3 "listener cannot be nil"; code 4 when the events cannot be received.
SELKO_API std::shared_ptr<SLKPortWatcher> selko_watchPorts(
    std::function<void(SLKPortChange, const SLKPortInfo&)> listener, CommErrorRef* error = nullptr);

/// One thread that waits on the ports of many channels at once (epoll) instead of a thread per
/// channel; nothing wakes while every port is silent. Channels attach (createActiveChannelOnLoop)
/// and leave at any time; the loop may be destroyed with channels still attached: their reading
/// then stops as if the device were lost (each closes the channel it wraps, a waiting reader ends
/// with code 5, close answers code 2 "The event loop was destroyed", a reopen fails with code 4).
/// The destructor returns once no turn runs any more (unless it runs on the loop's own thread).
class SELKO_API SLKEventLoop {
public:
    virtual ~SLKEventLoop();
};
/// A new event loop with its thread (named "selko-loop"). Code 4 "Error starting the event loop -
/// ..." when its descriptors or its thread cannot be made.
SELKO_API std::shared_ptr<SLKEventLoop> createEventLoop(CommErrorRef* error = nullptr);
/// For the application's own event loop (epoll, Boost.Asio, Qt, GLib, libuv): a descriptor that
/// polls readable while bytes wait at the top of the stack, so that a read with
/// SELKO_COMMUNICATION_TIME_NOW takes them. It belongs to the channel (do not close it) and stays
/// valid until the channel is destroyed. -1 and code 6 when no layer has one.
/// The first layer from the top that has one answers: a UART, tcp:// or rfc2217:// channel (an
/// epoll set holding the open port: readable while input, a hang-up or an error waits, quiet while
/// closed, the same number across reopens), or an active channel (readable while its buffer holds
/// bytes, or once its reading stopped on its own until close has reported it). Layers above that
/// hold bytes back (an aggregating transformer) are not seen: read until a read comes back empty.
/// Code 3 "channel cannot be nil", code 4 when the system refuses a descriptor.
SELKO_API int SLKReadableDescriptor(SLKDataChannelRef channel, CommErrorRef* error = nullptr);

template <class T> class databufferchannel_t;
namespace selko::detail {
class PortHandle;
class ReadableWatch;
class ReadySignal;
class ReaderHandoff;
class ActiveReading;
class EventLoopCore;
}

/// A serial port addressed by a "uart" URL. Open, close, read and write may come from different
/// threads (a background reader reads while callers write or close, several readers may wait at
/// once). A read never blocks past its timeout: when another reader or a discard takes the bytes
/// its wait saw, it waits again. A close wakes every read that waits (it fails with code 2 and
/// takes no byte), waits for the calls in flight to leave, and returns with the descriptor closed
/// and the exclusive use it set released (a lock another program holds stays). A write held back
/// by flow control delays a close by at most about half a second: its unsent bytes are then
/// discarded and, if it is still in the kernel, the port is released under it (the write fails).
/// A read of a hung-up port fails with code 5 "Device disconnected" and closes the channel.
class SELKO_API SLPUARTChannel final : public SLKDataChannel, public SLKSerialPort {
public:
    /// True exactly when `url` is not null and its scheme (the text before the first ':') is "uart".
    static bool checkURL(const char* url);
    /// A new map with the defaults: mode "8N1", baud 115200, exclusive lock true, flow control
    /// "none", low latency false.
    static SLKOptions defaultConfig();
    /// A closed channel for `url` with the defaults overlaid by `options` (null: defaults only);
    /// null when `url` is null. The options map is copied.
    static std::shared_ptr<SLPUARTChannel> initForURL(const char* url, const SLKOptions* options);

    /// A closed channel; `options` are used as they are (initForURL merges the defaults).
    SLPUARTChannel(std::string url, SLKOptions options);
    /// Closes the descriptor if the channel is still open.
    ~SLPUARTChannel() override;

    /// Opens and configures the port (the timeout is not used). Code 1 when open; codes 3 and 4
    /// from the port configuration (see openPortWithError__no_cleanup).
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// Closes the descriptor. Code 2 "Device Already Closed" when not open.
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    /// Code 2 when not open or closed while waiting, code 3 for an invalid timeout (negative other
    /// than -1.0, or NaN), code 5 when the wait or read fails or the port hung up ("Device
    /// disconnected"; the channel then closes itself). Works whatever the descriptor's number.
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// One write system call; code 2 when not open, code 4 unless every byte was taken. Null data
    /// is refused (false) without a record, as at every layer; empty data is a success.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;

    // Line control. Code 2 when not open, code 4 "Error <doing what> on <device> - <system
    // text>(<errno>)." when the port refuses (a pseudo-terminal has no modem lines: ENOTTY).
    /// Raises or lowers DTR (TIOCMBIS/TIOCMBIC).
    bool setDTR(bool on, CommErrorRef* error = nullptr) noexcept override;
    /// Raises or lowers RTS (TIOCMBIS/TIOCMBIC); with "rts/cts" flow control the driver may take it back.
    bool setRTS(bool on, CommErrorRef* error = nullptr) noexcept override;
    /// CTS, DSR, DCD and RI (TIOCMGET). Code 3 "lines cannot be nil" for a null pointer.
    bool modemLines(SLKModemLines* lines, CommErrorRef* error = nullptr) noexcept override;
    /// A break of `seconds`, 0 for the system's default (0.25 to 0.5 s); returns when it ended.
    /// Code 3 for a negative, infinite or NaN length.
    bool sendBreak(double seconds, CommErrorRef* error = nullptr) noexcept override;
    /// Drops bytes received and not read (Input), written and not sent (Output), or both (tcflush).
    bool discard(SLKQueue queue, CommErrorRef* error = nullptr) noexcept override;
    /// Waits, checking every few milliseconds, until the output queue is empty; code 4 with
    /// ETIMEDOUT's text when `timeout` runs out, code 2 when the channel is closed meanwhile,
    /// code 3 for an invalid timeout. FOREVER waits without limit; 0 checks once.
    bool drain(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// Bytes received and not read (FIONREAD), written and not sent (TIOCOUTQ), or their sum.
    /// Code 3 "bytes cannot be nil" for a null pointer.
    bool queued(SLKQueue queue, long long* bytes, CommErrorRef* error = nullptr) noexcept override;

    /// The URL given at construction.
    const std::string& url() const noexcept { return _url; }
    /// The channel's own options (defaults merged with the caller's).
    const SLKOptions& options() const noexcept { return _options; }

private:
    friend int SLKReadableDescriptor(SLKDataChannelRef channel, CommErrorRef* error);
    SELKO_LOCAL std::shared_ptr<selko::detail::PortHandle> acquirePort() const;
    SELKO_LOCAL bool releasePort(const std::shared_ptr<selko::detail::PortHandle>& expected);
    // An epoll set holding the port's descriptor while the channel is open: stable for the
    // channel's life, quiet while it is closed.
    SELKO_LOCAL int readableDescriptor(CommErrorRef* error);

    // Null while closed. Read and replaced with the atomic shared_ptr operations.
    std::shared_ptr<selko::detail::PortHandle> _uartHandle;
    std::string _url;
    SLKOptions _options;
    // The port's descriptor joins it right after the open and leaves it before the close.
    const std::unique_ptr<selko::detail::ReadableWatch> _watch;
};

/// What the decorators that run on the caller's threads share: open, close, isOpened and
/// nextLayer go to the wrapped channel, and an exception thrown below fails the call (open and
/// close with code 4 "Unexpected exception: ..."; isOpened answers false).
class SELKO_API SLKChannelDecorator : public SLKDataChannel {
public:
    ~SLKChannelDecorator() override;
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    SLKDataChannelRef nextLayer() override;

protected:
    /// Wraps `channel` (not null; the factories check).
    explicit SLKChannelDecorator(SLKDataChannelRef channel);

    SLKDataChannelRef _channel;
};

/// Reads in slices of a tenth of the timeout and notices between slices when the wrapped
/// channel was closed. Everything else goes straight to the wrapped channel.
class SELKO_API SLPPassiveChannel final : public SLKChannelDecorator {
public:
    /// Wraps `channel` (not null; createPassiveChannel checks).
    explicit SLPPassiveChannel(SLKDataChannelRef channel);
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    /// Code 2 "Cannot communicate with closed device" when the wrapped channel is closed at the
    /// start; null with the slot set to null when it closes during the read; a failing slice's
    /// error passed on unchanged.
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;
    SLKDataChannelRef nextLayer() override;

private:
    SELKO_LOCAL SLKData readInSlices(double timeout, CommErrorRef* error);
};

/// Keeps reading the wrapped channel on a background thread (1/30 s slices) into a buffer;
/// a read takes everything buffered since the previous read. The null variant
/// (createActiveNullChannel) drains and discards, and refuses reads and writes with code 6. The
/// same class serves createActiveChannelOnLoop, where an event loop does the reading instead of
/// a thread of its own.
class SELKO_API SLPActiveChannel final : public SLKDataChannel,
                                         public std::enable_shared_from_this<SLPActiveChannel> {
public:
    /// A new active channel over `channel`; its read loop starts at once when `channel` is open.
    static std::shared_ptr<SLPActiveChannel> initWithChannel(SLKDataChannelRef channel, bool bufferData);

    /// Opens the wrapped channel and starts a read loop. Code 1 when open; the wrapped channel's
    /// errors; code 4 "Error starting the read thread - ..." when no thread can be started.
    /// Returns whether the wrapped channel is open afterwards.
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// Closes the wrapped channel, which ends the loop's read at once, and stops the loop: once
    /// close returns, the loop never reads the wrapped channel again (a read still in flight has
    /// ended, within one slice at most), so the channel can be opened under another owner. Code 2
    /// "Device Already Closed" when not open, or code 2 with the stopped loop's own message
    /// ("Device disconnected" after the port hung up).
    bool close(CommErrorRef* error = nullptr) noexcept override;
    /// The wrapped channel is open and the current read loop runs.
    bool isOpened() noexcept override;
    /// Everything buffered since the previous read, waiting up to `timeout` for the first bytes.
    /// Code 6 (null variant), 2 when not open, 3 for an invalid timeout (negative other than
    /// -1.0, or NaN), 5 "read failed with error %s (%d)" (ECANCELED when the loop stops while the
    /// reader waits); when the loop stopped otherwise meanwhile, the error it recorded (possibly
    /// none).
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// Writes through to the wrapped channel. Code 6 (null variant), 2 when not open.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;
    SLKDataChannelRef nextLayer() override;
    ~SLPActiveChannel() override;

private:
    using Buffer = databufferchannel_t<unsigned char>;
    // Starts a thread with a block; false (the cause in errno) when it could not be started.
    using ThreadLauncher = std::function<bool(std::function<void()> block)>;
    // What one turn of the reading found.
    enum class Turn { Stopped, Empty, Bytes };
    friend struct SLPActiveChannelAccess;   // the library's own construction with a launcher or a loop
    friend int SLKReadableDescriptor(SLKDataChannelRef channel, CommErrorRef* error);

    SLPActiveChannel(SLKDataChannelRef channel, bool bufferData, std::shared_ptr<selko::detail::ActiveReading> reading);
    static std::shared_ptr<SLPActiveChannel> make(SLKDataChannelRef channel, bool bufferData,
                                                              ThreadLauncher launcher);
    // A channel whose reading `loop` does, waiting on `descriptor` (readable while a read of
    // `channel` with SELKO_COMMUNICATION_TIME_NOW would find something).
    static std::shared_ptr<SLPActiveChannel> makeOnLoop(SLKDataChannelRef channel, std::shared_ptr<SLKEventLoop> loop,
                                                        int descriptor, CommErrorRef* error);
    SELKO_LOCAL static std::shared_ptr<SLPActiveChannel> makeWithReading(
        SLKDataChannelRef channel, bool bufferData, std::shared_ptr<selko::detail::ActiveReading> reading);
    SELKO_LOCAL bool isOpen_unsafe();
    // False (with the reason for the record in *why) when the reading could not be started.
    SELKO_LOCAL bool detach_read_loop__unsafe(CommErrorRef* why);
    SELKO_LOCAL void abandonUnstartedLoop__unsafe(CommErrorRef record);
    // One turn of the loop over `chan`: unless stopped, one read of the wrapped channel with
    // `timeout`, its bytes sent to `chan`, a failure recorded.
    // A reader of the threaded variant takes turns too (`ownReaders` 1: it is counted itself).
    SELKO_LOCAL Turn readTurn(const std::shared_ptr<Buffer>& chan, double timeout, int ownReaders = 0);
    // The thread's loop over `chan`, in slices of `slice` seconds, until it stops.
    SELKO_LOCAL void runThread(const std::shared_ptr<Buffer>& chan, double slice);
    // Whether the loop over `chan` may take another turn (not stopped, not replaced); under _loopTurn.
    SELKO_LOCAL bool turnIsCurrent__locked(const std::shared_ptr<Buffer>& chan);
    // A waiting reader of the threaded variant, reading the port itself when bytes arrive.
    SELKO_LOCAL bool receiveTakingTurns(const std::shared_ptr<Buffer>& chan, double timeout, SLKData& received);
    // The buffer got bytes or was closed: for a poll, and for readers waiting on the port.
    SELKO_LOCAL void announce(int ownReaders = 0);
    // The reading of `chan` can go on no more (its event loop was destroyed): the wrapped channel
    // is closed and `record` kept for close, as after a failed read.
    SELKO_LOCAL void readingLost(const std::shared_ptr<Buffer>& chan, CommErrorRef record);
    // Waits until the current loop is between turns and marks it stopped (closes its buffer).
    SELKO_LOCAL void stopLoop__unsafe();
    SELKO_LOCAL void recordReadError(const std::shared_ptr<Buffer>& chan, CommErrorRef readError);
    SELKO_LOCAL CommErrorRef loadReadError() const;
    SELKO_LOCAL std::shared_ptr<Buffer> currentBuffer() const;
    SELKO_LOCAL bool openLocked(double timeout, CommErrorRef* error);
    SELKO_LOCAL bool closeLocked(CommErrorRef* error);
    SELKO_LOCAL SLKData receive(double timeout, CommErrorRef* error);
    // Readable while the buffer holds bytes, or the loop stopped on its own (not by our close).
    SELKO_LOCAL int readableDescriptor(CommErrorRef* error);
    SELKO_LOCAL bool readableNow() const;
    SELKO_LOCAL void refreshReadable();

    const bool _buffer;
    const SLKDataChannelRef _commChannel;
    // Atomic shared_ptr operations only. While a loop runs it holds that loop's "no error yet"
    // token: a null pointer that shares ownership with the loop's buffer channel.
    CommErrorRef _readError;
    std::mutex _stateLock;
    // Held by a loop for each turn (check that it is current and not stopped, read), and by a
    // close or an open while it marks the loop stopped or installs a new buffer: no loop reads a
    // byte that belongs to a later open.
    std::mutex _loopTurn;
    std::shared_ptr<Buffer> _chan; // replaced under _stateLock and _loopTurn, read with atomic operations
    // Who reads: a detached thread per open in slices, or an event loop when the port is readable.
    const std::shared_ptr<selko::detail::ActiveReading> _reading;
    const std::unique_ptr<selko::detail::ReadySignal> _readable;
    // Threaded variant over a stack with a readable descriptor: readers read the port while they wait.
    std::unique_ptr<selko::detail::ReaderHandoff> _handoff;
    // Whether the last turn found bytes (set within the turn): a layer above the port may hold
    // more back, which only another turn brings out, since the port may stay quiet.
    std::atomic<bool> _lastTurnFoundBytes{false};
    // Set by our own close (the loop's stop is then no news for a poll), cleared at each start.
    std::atomic<bool> _stoppedByClose{false};
};

/// Drops from what is read the echoes of what was written, cutting both directions into
/// messages at a delimiter.
class SELKO_API SLPEchoRemovalChannel final : public SLKChannelDecorator {
public:
    /// Wraps `channel` with a copy of `delimiter` (neither empty; createEchoRemovalChannel checks).
    SLPEchoRemovalChannel(SLKDataChannelRef channel, const SLKBytes& delimiter);
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    /// One read of the wrapped channel, then echo matching. Never raises an error of its own.
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// Writes through, then records the data as pending echoes. Never raises an error of its own.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;
    SLKDataChannelRef nextLayer() override;

private:
    // Releases the bytes of matched echoes from the front of _writeBuffer (amortised).
    SELKO_LOCAL void dropMatchedEchoes();

    // Messages are never copied out of their buffer: a queue holds the lengths of consecutive
    // complete messages lying in its buffer, so cutting and matching stay linear in the bytes.
    SLKBytes _readBuffer;                // received bytes not yet delivered or dropped
    SLKBytes _writeBuffer;               // pending echoes from _writeFront on, then the unfinished tail
    const SLKBytes _delimiter;
    std::vector<std::size_t> _readQueue; // received messages at the front of _readBuffer (within a read)
    std::deque<std::size_t> _writeQueue; // pending echoes, oldest first
    std::mutex _readWriteMutex;          // guards the buffers, the queues and the offsets
    std::size_t _readScanned = 0;        // where the next delimiter search in _readBuffer starts
    std::size_t _writeScanned = 0;       // the same for _writeBuffer
    std::size_t _writeFront = 0;         // offset of the oldest pending echo in _writeBuffer
    std::size_t _writeTail = 0;          // offset of the written bytes after the last delimiter
};

// ---------------------------------------------------------------------------------------------
// Transformers
// ---------------------------------------------------------------------------------------------

/// Rewrites blocks of bytes in place. One instance is never called from two threads at once.
class SELKO_API SLKDataTransformer {
public:
    virtual ~SLKDataTransformer();
    /// Rewrites `data` in place; may hold bytes back and emit them in a later call.
    virtual void modifyData(SLKBytes& data) = 0;
};

/// Shared transformer reference.
using SLKDataTransformerRef = std::shared_ptr<SLKDataTransformer>;

/// Passes every block read or written through transformer lists, on a private copy.
class SELKO_API SLPChannelTransformer final : public SLKChannelDecorator {
public:
    /// Null lists mean empty lists; the lists are copied (the transformers are shared).
    SLPChannelTransformer(SLKDataChannelRef channel, const std::vector<SLKDataTransformerRef>* readTransformers,
                          const std::vector<SLKDataTransformerRef>* writeTransformers);
    /// True when no element of `list` is null (a null list is fine).
    static bool isHomogenousDataTransformerArray(const std::vector<SLKDataTransformerRef>* list);
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    /// Null data: false, slot untouched, nothing written.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;
    SLKDataChannelRef nextLayer() override;

private:
    SELKO_LOCAL SLKData readTransformed(double timeout, CommErrorRef* error);
    SELKO_LOCAL bool writeTransformed(const SLKBytes& data, CommErrorRef* error);

    std::vector<SLKDataTransformerRef> _readTransformers;
    std::vector<SLKDataTransformerRef> _writeTransformers;
};

/// A transformer that runs a callable on every block.
class SELKO_API SLPBlockDataTransformer : public SLKDataTransformer {
public:
    using Block = std::function<void(SLKBytes&)>;
    /// `blk` must not be empty.
    explicit SLPBlockDataTransformer(Block blk);
    /// Runs the stored callable on `data`; what the callable throws passes through.
    void modifyData(SLKBytes& data) override;
    /// The stored callable (atomic with respect to setBlk).
    Block blk() const;
    /// Replaces the stored callable (must not be empty).
    void setBlk(Block blk);

private:
    std::shared_ptr<const Block> _blk;   // atomic shared_ptr operations only
};

/// Collects blocks and releases one terminator-ended message per call.
class SELKO_API SLPDataAggregatorTransformer final : public SLKDataTransformer {
public:
    /// `terminator` must not be empty (createAggregatingTransformer checks).
    SLPDataAggregatorTransformer(const SLKBytes& terminator, bool removeTerminator);
    /// Appends `data` to the buffer and leaves in it the next complete message, or nothing.
    void modifyData(SLKBytes& data) noexcept override;
    bool removeTerminator() const noexcept { return _removeTerminator; }
    /// Bytes received and not yet released, oldest first.
    SLKBytes buffer() const;
    const SLKBytes& data2Find() const noexcept { return _data2Find; }

private:
    const bool _removeTerminator;
    SLKBytes _buffer;
    const SLKBytes _data2Find;
    std::size_t _start = 0;    // offset of the first unreleased byte in _buffer
    std::size_t _scanned = 0;  // offset from which the terminator search resumes
};

/// Calls an action on every occurrence of a pattern, optionally deleting the occurrences.
class SELKO_API SLPEventGenerationTransformer final : public SLKDataTransformer {
public:
    using Action = std::function<void()>;
    /// `pattern` must not be empty; an empty `action` calls nothing.
    SLPEventGenerationTransformer(const SLKBytes& pattern, Action action, bool removeData);
    /// Passes the stream on, holding back a possible start of the pattern, calling the action
    /// once per occurrence (and deleting it when removeData). What the action throws passes through.
    void modifyData(SLKBytes& data) override;
    bool removeData() const noexcept { return _removeData; }
    const Action& action() const noexcept { return _action; }

private:
    // One matching pass from _start; false once a further pass would append nothing to `data`.
    SELKO_LOCAL bool __modifyData(SLKBytes& data);
    // Length of the longest tail of _buffer[_start..) that is a proper prefix of the pattern.
    SELKO_LOCAL std::size_t heldBackLength() const noexcept;

    const SLKBytes _pattern;
    SLKBytes _buffer;
    const bool _removeData;
    const Action _action;
    std::size_t _start = 0;  // offset of the first unemitted byte in _buffer
    const std::vector<std::size_t> _borders;  // _borders[i]: longest proper border of _pattern[0..i]
};

// ---------------------------------------------------------------------------------------------
// Factories and low-level functions
// ---------------------------------------------------------------------------------------------

extern "C" {
/// A closed UART channel for a "uart" URL; nothing is opened. Code 3 "Provided url %@ not valid"
/// for a null URL (shown as "(null)") or when the text before the first ':' is not exactly "uart".
/// The device is the URL's path, percent-decoded: "uart:///dev/serial/by-id/usb-My%20Device-if00"
/// opens ".../usb-My Device-if00"; "uart:/dev/ttyS0" and "uart://localhost/dev/ttyS0" work too.
/// A URL with a host other than "" or "localhost", a query, a fragment, or a bad percent escape
/// (not two hex digits, or %00) is accepted here, but opening it fails with code 4 "Error opening
/// serial port <url> - ..." (EINVAL) and opens nothing. The options are merged over the defaults
/// and copied. Flow control and low latency are checked before the device is opened: a bad value
/// fails openWithTimeout with code 3 ("Invalid flow control (Use none, rts/cts, or xon/xoff)",
/// "Invalid low latency (Use true or false)") and the device is never touched. Any other option
/// of the wrong type fails it with code 3 at the point it is read, after the device was opened
/// (and closed again): exclusive lock not a flag ("Invalid exclusive lock (Use true or false)");
/// baud not an integer in 1..4294967295 ("Invalid baud rate (Use a positive integer)"); mode not
/// a string (taken as "") or shorter than three characters (the missing characters are invalid:
/// "" and "9N1" fail on the size, "8" on the parity, "8N" on the stop bits). Every baud rate is
/// applied (one without a B-constant through termios2) and read back: a port that runs more than
/// 2% off fails with code 4 "Error setting baud rate <rate> on <device> - the port runs at <rate>.".
SELKO_API SLKDataChannelRef createUARTChannel(const char* url, const SLKOptions* options,
                                              CommErrorRef* error = nullptr) noexcept;
/// Any kind of port by URL: "uart:///dev/ttyX" (as createUARTChannel), "tcp://host:port" (a raw
/// TCP port), "rfc2217://host:port" (a remote serial port with line control) or
/// "usb://VVVV:PPPP[/SERIAL][?interface=N]" (a UART found by USB identity at every open; code 4
/// at the open when no port or several match). Code 3 "Provided url %@ not valid" for any other
/// scheme, a malformed usb URL, a missing port or a port out of range.
SELKO_API SLKDataChannelRef createChannelForURL(const char* url, const SLKOptions* options,
                                                CommErrorRef* error = nullptr) noexcept;
/// Shows every block read (after the wrapped read, empty ones too; failed reads are not shown) or
/// written (before the wrapped write) to `tap`, then passes it on unchanged. Code 3 "channel
/// cannot be nil", then "tap cannot be nil". An exception from `tap` or the wrapped channel fails
/// the call with "Unexpected exception: %s" (code 5 for reads, 4 otherwise) instead of escaping.
SELKO_API SLKDataChannelRef createTapChannel(SLKDataChannelRef channel,
                                             std::function<void(SLKDirection, const SLKBytes&)> tap,
                                             CommErrorRef* error = nullptr) noexcept;
/// Sliced reader over `channel`. Code 3 "channel cannot be nil".
SELKO_API SLKDataChannelRef createPassiveChannel(SLKDataChannelRef channel, CommErrorRef* error = nullptr) noexcept;
/// Background reader over `channel`. Code 3 "channel cannot be nil".
SELKO_API SLKDataChannelRef createActiveChannel(SLKDataChannelRef channel, CommErrorRef* error = nullptr) noexcept;
/// Background drain over `channel` that refuses reads and writes. Code 3 "channel cannot be nil".
SELKO_API SLKDataChannelRef createActiveNullChannel(SLKDataChannelRef channel, CommErrorRef* error = nullptr) noexcept;
/// An active channel with the contract of createActiveChannel whose background reading `loop`
/// does: it reads `channel` with SELKO_COMMUNICATION_TIME_NOW, on the loop's thread, whenever the
/// stack's readable descriptor (see SLKReadableDescriptor) fires. Code 3 "channel cannot be nil",
/// then "loop cannot be nil" (or "loop was not made by createEventLoop"), code 6 when no layer of
/// `channel` has a descriptor to wait on. Attaching at open fails with code 4 ("The event loop
/// was destroyed", "Error attaching to the event loop - ...").
SELKO_API SLKDataChannelRef createActiveChannelOnLoop(SLKDataChannelRef channel, std::shared_ptr<SLKEventLoop> loop,
                                                      CommErrorRef* error = nullptr) noexcept;
/// Keeps working across disconnects of the channel below it (an unplugged USB adapter, a
/// restarted terminal server): it reopens the wrapped channel, first after policy.firstRetry
/// seconds, then at doubling intervals up to policy.longestRetry, until the device is back or the
/// channel is closed. `listener` (may be empty) hears each change, on whichever thread noticed it.
/// Put it directly above the port (uart://, tcp://, rfc2217://; created over an open port it is
/// open at once). A read or write that finds the device gone (code 5 "Device disconnected", or a
/// system error such as EIO, ENODEV, ECONNRESET or EPIPE; never a timeout or a bad argument)
/// closes the port and tells the listener Lost with that failure. Until the reopen succeeds
/// (Restored), the channel stays open: reads wait out their timeout and return empty, writes fail
/// with code 4 "Device disconnected". openWithTimeout keeps trying a missing device until its
/// timeout runs out (FOREVER: until a close). close ends the retries at once (one attempt in
/// flight finishes first; a network attempt takes at most the open's timeout, or the longer of
/// 2 s and longestRetry after an open with FOREVER or NOW) and no thread of the channel outlives
/// close or destruction. Listener exceptions are kept in. Keep the
/// listener short: it may run on a read's thread (an active channel's), so it must not close a
/// channel stacked above this one. Code 3 "channel cannot be nil", "firstRetry must be a positive
/// number of seconds", "longestRetry must be a number of seconds no less than firstRetry" (NaN
/// and infinite values are refused too).
SELKO_API SLKDataChannelRef createReconnectingChannel(
    SLKDataChannelRef channel, SLKReconnectPolicy policy,
    std::function<void(SLKLinkEvent, const CommErrorRef& reason)> listener, CommErrorRef* error = nullptr) noexcept;
/// Echo remover over `channel`. Code 3 "channel cannot be nil", then "delimiter cannot be nil, or empty".
SELKO_API SLKDataChannelRef createEchoRemovalChannel(SLKDataChannelRef channel, SLKData delimiter,
                                                     CommErrorRef* error = nullptr) noexcept;
/// Transforming channel over `channel`; either list may be null. Code 3 "channel cannot be nil",
/// then a null element in the read list, then in the write list.
SELKO_API SLKDataChannelRef createChannelTransformer(SLKDataChannelRef channel,
                                                     const std::vector<SLKDataTransformerRef>* readTransformers,
                                                     const std::vector<SLKDataTransformerRef>* writeTransformers,
                                                     CommErrorRef* error = nullptr) noexcept;

/// Runs a copy of `blk` on every block. Code 3 "blk cannot be nil".
SELKO_API SLKDataTransformerRef createBlockTransformer(std::function<void(SLKBytes&)> blk,
                                                       CommErrorRef* error = nullptr) noexcept;
/// Puts `prepend` before every block. Code 3 "prepend can not be nil".
SELKO_API SLKDataTransformerRef createPrependingTransformer(SLKData prepend, CommErrorRef* error = nullptr) noexcept;
/// Puts `data` after every block. Code 3 "data can not be nil".
SELKO_API SLKDataTransformerRef createAppendingTransformer(SLKData data, CommErrorRef* error = nullptr) noexcept;
/// Releases one `terminator`-ended message per call. Code 3 "pattern cannot be nil, or empty".
SELKO_API SLKDataTransformerRef createAggregatingTransformer(SLKData terminator, bool removeTerminator,
                                                             CommErrorRef* error = nullptr) noexcept;
/// Deletes every occurrence of `pattern`. Code 3 "pattern cannot be nil, or empty".
SELKO_API SLKDataTransformerRef createFilteringTransformer(SLKData pattern, CommErrorRef* error = nullptr) noexcept;
/// Calls `action` on every occurrence of `pattern`, deleting it when `removeData`.
/// Code 3 "pattern cannot be nil, or empty", then "blk cannot be nil".
SELKO_API SLKDataTransformerRef createEventGeneratorTransformer(SLKData pattern, bool removeData,
                                                                std::function<void()> action,
                                                                CommErrorRef* error = nullptr) noexcept;
/// Calls `blk` when a block arrives at least `timeout` seconds after the previous one.
/// Code 3 "timeout cannot be less than or equal to zero" (also for a NaN timeout), then "blk cannot be nil".
SELKO_API SLKDataTransformerRef createTimeTransformer(double timeout, std::function<void()> blk,
                                                      CommErrorRef* error = nullptr) noexcept;
/// Hexadecimal text to bytes (pairs through strtoul, a leading "0x" removes every "0x"). Never null.
SELKO_API std::shared_ptr<SLKBytes> SLKDataFromHexString(const char* string) noexcept;

/// select() on a read set with the library's retry rule: EAGAIN retried, EINTR counts as 0.
SELKO_API std::int64_t select_with_retry(int nfds, fd_set* readfds, struct timeval* timeout) noexcept;
/// read() with the library's retry rule: EAGAIN retried, EINTR counts as 0 bytes.
SELKO_API std::int64_t read_with_retry(int fd, void* buffer, std::size_t length) noexcept;
/// Waits up to `timeout` for `fd` and reads what is waiting in one read. Empty when nothing came;
/// null with code 5 "Select failed with error %s (%d)" when the wait or the read fails. A
/// descriptor outside 0..FD_SETSIZE-1 and a NaN timeout are refused the same way with EINVAL
/// (as select refuses other negative times); a timeout above 1e9 s waits without limit.
SELKO_API SLKData selko_communication_read(int fd, double timeout, CommErrorRef* error = nullptr) noexcept;
/// Opens the URL's device and configures it from `options` (defaults merged). On false,
/// `*descriptor` is -1 when the open itself failed, else the open descriptor, which the caller
/// closes. Code 4 for failing system calls and a port off the requested speed, code 3 for a bad
/// mode string or option value (flow control, low latency, DTR, RTS and RS-485 before anything is
/// opened). DTR, RTS and then RS-485 are applied last, after the line is configured.
SELKO_API bool openPortWithError__no_cleanup(int* descriptor, const char* url, const SLKOptions& options,
                                             CommErrorRef* error = nullptr) noexcept;
/// Character size '5'..'8' into `attributes` (CSIZE is cleared first). Code 3 otherwise.
SELKO_API bool setCharacterSizeSpecifier(struct termios* attributes, char c, CommErrorRef* error = nullptr) noexcept;
/// Parity 'N', 'O' or 'E' into `attributes`. Code 3 otherwise, record unchanged.
SELKO_API bool setParityMaskSpecifier(struct termios* attributes, char c, CommErrorRef* error = nullptr) noexcept;
/// Stop bits '1' or '2' into `attributes`. Code 3 otherwise, record unchanged.
SELKO_API bool setStopBitSpecifier(struct termios* attributes, char c, CommErrorRef* error = nullptr) noexcept;
}

/// Runs a copy of `block` once on a new detached thread; the copy (and what it captured) is
/// released as that thread exits. Nothing is reported when the thread cannot be started.
SELKO_API void selko_detachNewThreadWithBlock(std::function<void()> block) noexcept;

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif // SELKO_COMMUNICATION_H
