// What sets the two tools apart, as data. Each tool's main fills one
// ToolProfile from its own tables and selects it before any operation runs;
// the shared operations read it through tool().
//
//   kelto_lumabar: presence "ping" (0x08072400), 200 ms window, boot 0x1b07
//   kelto_torvexc: presence "scan" (0x02072400), 1000 ms window, boot 0x1a07
#ifndef KELTO_COMMON_TOOL_H
#define KELTO_COMMON_TOOL_H

#include <cstdint>
#include <map>
#include <string>

namespace kelto {

using MessageIdTable = std::map<std::string, uint32_t>;  // word -> message ID, device 0
using ErrorTable = std::map<int, std::string>;           // status code -> text

struct ToolProfile {
    const MessageIdTable* messageIds;  // the tool's MESSAGE_ID
    const ErrorTable* errorMessages;   // the tool's ERROR_MESSAGE
    const char* presenceKey;           // MESSAGE_ID key of the presence frames
    int presenceWindowMs;              // how long scan and idExists listen
    uint16_t bootHighHalf;             // bits 31-16 of the bootloader message IDs
    const char* versionSymbol;         // entry point of the driver library
};

// A tool's ERROR_MESSAGE: the codes and texts both tools share, with the
// tool's own texts (codes 13, 21, 25, 32) added or put in their place.
//   withSharedErrors({{13, "No response from Lumabar"}}).at(10) -> "ID not found on network"
ErrorTable withSharedErrors(ErrorTable toolTexts);

// Selects the profile used by every shared operation of this run.
void setTool(const ToolProfile& profile);

// The selected profile; setTool must have been called.
const ToolProfile& tool();

// MESSAGE_ID lookup that never changes the table: 0 for an unknown word.
uint32_t messageIdOf(const std::string& word);

}  // namespace kelto

#endif
