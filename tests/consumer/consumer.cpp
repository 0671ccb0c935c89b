// A program outside the project: it uses only the installed header and library, and exchanges
// one command with the simulated instrument.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <cstdio>
#include <string>

static int failure(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
}

int main() {
    SimulatedInstrument instrument(SimulatedInstrument::laboratoryMeter, false);
    if (!instrument.ready())
        return failure(instrument.error());
    CommErrorRef error;
    SLKDataChannelRef port = createUARTChannel(instrument.url().c_str(), nullptr, &error);
    if (!port || !port->openWithTimeout(1.0, &error) || !port->write(SLKDataWithString("PING\n"), &error))
        return failure(error->message());
    std::string reply;
    for (int attempt = 0; attempt < 20 && reply.find('\n') == std::string::npos; ++attempt) {
        const SLKData bytes = port->readWithTimeout(0.25, &error);
        if (!bytes)
            return failure(error->message());
        reply.append(bytes->begin(), bytes->end());
    }
    port->close();
    std::printf("consumer of SelkoCommunication %.2f: PING -> %s", SelkoCommunicationVersionNumber, reply.c_str());
    return reply == "OK\n" ? 0 : 1;
}
