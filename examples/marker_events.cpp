// Reacting to a marker: a fixture reports "!TRIP" inside its status stream whenever a limit is
// exceeded. An event-generating transformer calls an action on every occurrence (also one cut
// across two reads) and, here, deletes the marker from what the program reads.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <cstdio>
#include <string>
#include <vector>

int main() {
    SimulatedInstrument fixture(nullptr, false);
    if (!fixture.ready())
        return std::fprintf(stderr, "%s\n", fixture.error().c_str()), 1;

    int trips = 0;
    CommErrorRef error;
    const std::vector<SLKDataTransformerRef> watch = {
        createEventGeneratorTransformer(SLKDataWithString("!TRIP"), true, [&trips] { ++trips; }, &error)};
    SLKDataChannelRef port = createChannelTransformer(
        createActiveChannel(createUARTChannel(fixture.url().c_str(), nullptr, &error), &error), &watch, nullptr, &error);
    if (!port || !port->openWithTimeout(1.0, &error))
        return std::fprintf(stderr, "open failed: %s\n", error ? error->message().c_str() : "?"), 1;

    fixture.send("T=21.5 ");
    fixture.send("T=48.9!TR");   // the marker arrives in two pieces
    fixture.send("IP T=22.0 !TRIP T=21.9 ");

    std::string status;
    const std::string last = "T=21.9 ";
    for (int attempt = 0; attempt < 20 && (trips < 2 || status.size() < last.size() ||
                                           status.compare(status.size() - last.size(), last.size(), last) != 0);
         ++attempt) {
        SLKData bytes = port->readWithTimeout(0.1, &error);
        if (!bytes)
            return std::fprintf(stderr, "read failed: %s\n", error->message().c_str()), 1;
        status.append(bytes->begin(), bytes->end());
    }
    port->close();
    std::printf("status stream without markers: \"%s\"\n", status.c_str());
    std::printf("limit trips seen: %d\n", trips);
    return trips == 2 ? 0 : 1;
}
