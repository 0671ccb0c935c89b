// A simulated instrument on a pseudo-terminal, so the examples run without hardware: the
// library opens path() as its serial port, and the instrument answers on the other side.
#ifndef SELKO_EXAMPLES_SIMULATED_INSTRUMENT_H
#define SELKO_EXAMPLES_SIMULATED_INSTRUMENT_H

#include <functional>
#include <string>
#include <thread>

class SimulatedInstrument {
public:
    // Answers one command line (without its LF); the answer is sent as it is.
    using Responder = std::function<std::string(const std::string& command)>;

    // Opens the pseudo-terminal and starts answering. With `echo`, every received byte is sent
    // back first, as terminals and many instruments do.
    SimulatedInstrument(Responder responder, bool echo);
    ~SimulatedInstrument();
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

    // False when the pseudo-terminal could not be made; error() then says why.
    bool ready() const { return _master >= 0; }
    const std::string& error() const { return _error; }
    std::string url() const { return "uart://" + _path; }
    // Sends bytes the host did not ask for (a talker such as a GPS receiver).
    void send(const std::string& bytes);

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
