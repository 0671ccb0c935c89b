// Reading terminator-framed messages: a GPS receiver talks NMEA sentences ending in CR LF, and
// they arrive cut at arbitrary places. An aggregating transformer hands out one whole sentence
// per read, without its terminator.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <cstdio>
#include <string>
#include <vector>

int main() {
    SimulatedInstrument receiver(nullptr, false);
    if (!receiver.ready())
        return std::fprintf(stderr, "%s\n", receiver.error().c_str()), 1;

    CommErrorRef error;
    SLKDataChannelRef port = createActiveChannel(createUARTChannel(receiver.url().c_str(), nullptr, &error), &error);
    const std::vector<SLKDataTransformerRef> framing = {
        createAggregatingTransformer(SLKDataWithString("\r\n"), true, &error)};
    SLKDataChannelRef sentences = createChannelTransformer(port, &framing, nullptr, &error);
    if (!sentences || !sentences->openWithTimeout(1.0, &error))
        return std::fprintf(stderr, "open failed: %s\n", error ? error->message().c_str() : "?"), 1;

    // The receiver's output, split awkwardly: a sentence may end in the middle of a chunk and
    // the CR LF itself may be cut in two.
    receiver.send("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r");
    receiver.send("\n$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n$GPG");
    receiver.send("SA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r\n");

    int printed = 0;
    for (int attempt = 0; attempt < 40 && printed < 3; ++attempt) {
        SLKData sentence = sentences->readWithTimeout(0.1, &error);
        if (!sentence)
            return std::fprintf(stderr, "read failed: %s\n", error->message().c_str()), 1;
        if (sentence->empty())
            continue;   // no complete sentence yet
        std::printf("sentence %d: %s\n", ++printed, std::string(sentence->begin(), sentence->end()).c_str());
    }
    sentences->close();
    return printed == 3 ? 0 : 1;
}
