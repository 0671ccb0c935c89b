// A simulated instrument on a pseudo-terminal, so that everything runs without hardware: the
// library opens path() as its serial port, and the instrument plays the device on the master side.
// The examples and `selko sim` let it answer commands; the tests and benchmarks also send and
// receive by hand, read the port's settings back through its own slave descriptor, and hang up.
#ifndef SELKO_SIMULATED_INSTRUMENT_H
#define SELKO_SIMULATED_INSTRUMENT_H

#include <chrono>
#include <functional>
#include <string>
#include <thread>

class SimulatedInstrument {
public:
    // Answers one command line (without its CR LF or LF); the answer is sent as it is.
    using Responder = std::function<std::string(const std::string& command)>;

    // Opens the pseudo-terminal; nothing answers until startResponder. The instrument keeps one
    // raw slave descriptor of its own open for its whole life, so the line stays up between the
    // host's opens and nothing it sends is cooked before the host configures the port (which also
    // means an exclusive-use flag set by the host outlives the host's own close).
    SimulatedInstrument();
    // Opens the pseudo-terminal and starts answering at once.
    SimulatedInstrument(Responder responder, bool echo) : SimulatedInstrument() { startResponder(echo, responder); }
    ~SimulatedInstrument() { hangUp(); }
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

    // False when the pseudo-terminal could not be made; error() then says why.
    bool ready() const { return _master >= 0; }
    const std::string& error() const { return _error; }
    const std::string& path() const { return _path; }
    std::string url() const { return "uart://" + _path; }
    int masterFd() const { return _master; }
    // The instrument's own slave descriptor: for reading the port's settings back (tcgetattr,
    // TIOCGEXCL, TCGETS2).
    int slaveFd() const { return _slave; }

    // Sends bytes the host did not ask for (a talker such as a GPS receiver), every one of them.
    void send(const std::string& bytes);
    // Reads what the host wrote until `count` bytes arrived or `timeout` passed.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout);

    // Starts a thread that answers: with `echo`, every received byte is sent back first, as
    // terminals and many instruments do; every LF-ended line goes to `responder` (if any).
    void startResponder(bool echo, Responder responder = nullptr);
    void stopResponder();
    // The far end goes away: the master and the instrument's slave descriptor close, so host
    // reads of the port return at once with no bytes.
    void hangUp();

    // A laboratory meter: PING -> OK, *IDN? -> identity, MEAS? -> a reading, else ERR.
    static std::string laboratoryMeter(const std::string& command);

private:
    void serve(const Responder& responder, bool echo);

    int _master = -1;
    int _slave = -1;
    int _stop[2] = {-1, -1};
    std::string _path;
    std::string _error;
    std::thread _server;
};

#endif
