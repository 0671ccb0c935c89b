// --map: the rewriting of line ends in each direction, named by comma-separated flags.
//   ICRNL    incoming CR becomes LF          OCRCRNL  outgoing CR becomes CR LF
//   INLCRNL  incoming LF becomes CR LF       ONLCRNL  outgoing LF becomes CR LF
//   IGNCR    incoming CR is dropped
#ifndef SELKO_TOOL_LINE_MAP_H
#define SELKO_TOOL_LINE_MAP_H

#include <SelkoCommunication.h>

#include <string>

namespace selko::tool {

class LineMap {
public:
    LineMap() = default;
    // The flags of `flags` (upper or lower case); UsageError for an unknown one.
    explicit LineMap(const std::string& flags);
    SLKBytes incoming(const SLKBytes& bytes) const;
    SLKBytes outgoing(const SLKBytes& bytes) const;

private:
    bool _crToLF = false, _lfToCRLF = false, _dropCR = false;   // incoming
    bool _outCRToCRLF = false, _outLFToCRLF = false;
};

} // namespace selko::tool

#endif
