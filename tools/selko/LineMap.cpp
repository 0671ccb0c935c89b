#include "LineMap.h"

#include "Arguments.h"

#include <cctype>
#include <sstream>
#include <utility>

namespace selko::tool {

LineMap::LineMap(const std::string& flags) {
    const std::pair<const char*, bool*> known[] = {{"ICRNL", &_crToLF},        {"INLCRNL", &_lfToCRLF},
                                                   {"IGNCR", &_dropCR},        {"OCRCRNL", &_outCRToCRLF},
                                                   {"ONLCRNL", &_outLFToCRLF}};
    std::istringstream list(flags);
    for (std::string flag; std::getline(list, flag, ',');) {
        for (char& c : flag)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        bool* chosen = nullptr;
        for (const auto& [name, setting] : known)
            chosen = flag == name ? setting : chosen;
        if (!chosen)
            throw UsageError("--map takes ICRNL, INLCRNL, IGNCR, OCRCRNL and ONLCRNL, not '" + flag + "'");
        *chosen = true;
    }
}

SLKBytes LineMap::incoming(const SLKBytes& bytes) const {
    SLKBytes mapped;
    for (const std::uint8_t byte : bytes) {
        if (byte == '\r' && _dropCR)
            continue;
        if (byte == '\r' && _crToLF)
            mapped.push_back('\n');
        else if (byte == '\n' && _lfToCRLF)
            mapped.insert(mapped.end(), {'\r', '\n'});
        else
            mapped.push_back(byte);
    }
    return mapped;
}

SLKBytes LineMap::outgoing(const SLKBytes& bytes) const {
    SLKBytes mapped;
    for (const std::uint8_t byte : bytes) {
        mapped.push_back(byte);
        if ((byte == '\r' && _outCRToCRLF) || (byte == '\n' && _outLFToCRLF)) {
            mapped.back() = '\r';
            mapped.push_back('\n');
        }
    }
    return mapped;
}

} // namespace selko::tool
