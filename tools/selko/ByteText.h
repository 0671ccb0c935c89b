// Bytes as text: strict hexadecimal input, hex dumps, printable escapes, line ends.
#ifndef SELKO_TOOL_BYTE_TEXT_H
#define SELKO_TOOL_BYTE_TEXT_H

#include <SelkoCommunication.h>

#include <string>

namespace selko::tool {

// "2A 49 44 4e" or "2a49444e" -> bytes; UsageError for anything else (odd digit count, non-hex).
SLKBytes bytesFromHex(const std::string& text);
// "2A 49 0A " (upper case, a blank after every byte).
std::string hexDump(const SLKBytes& bytes);
// Printable ASCII as it is, \n \r \t \\ \" and \xNN for the rest (logs, JSON-safe text).
std::string escaped(const SLKBytes& bytes);
// The line end named by --eol: "lf", "crlf", "cr" or "none"; UsageError otherwise.
std::string lineEnd(const std::string& name);

} // namespace selko::tool

#endif
