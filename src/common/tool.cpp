#include "tool.h"

#include "report.h"

namespace kelto {

namespace {
const ToolProfile* selected = nullptr;
}

ErrorTable withSharedErrors(ErrorTable toolTexts) {
    static const std::pair<int, const char*> SHARED[] = {
        {0, "Success (or error error)"},
        {ID_NOT_FOUND, "ID not found on network"},
        {RECEIVE_TIMEOUT, "CAN receive timeout"},
        {NO_DEVICES, "No devices found"},
        {NEW_ID_TAKEN, "New ID already found on network"},
        {NO_ARGUMENTS, "This executable requires arguments"},
        {ID_NOT_DIGITS, "First argument must be a valid ID"},
        {ID_OUT_OF_RANGE, "IDs must be greater than zero and less than sixty (0 < id < 60)."},
        {TOO_MANY_ARGUMENTS, "Too many arguments"},
        {VALUE_NOT_ALLOWED, "This field does not allow a set value."},
        {VALUE_REQUIRED, "This field requires a value."},
        {PATH_WITH_SPACES, "Firmware path must not contain spaces."},
        {UNKNOWN_COMMAND, "Unrecognized command"},
        {NAME_TOO_LONG, "New name longer than eight characters"},
        {NO_RESULT, "Reached end of program without producing an error message or result"},
    };
    for (const auto& [code, text] : SHARED) toolTexts.emplace(code, text);
    return toolTexts;
}

void setTool(const ToolProfile& profile) {
    selected = &profile;
}

const ToolProfile& tool() {
    return *selected;
}

uint32_t messageIdOf(const std::string& word) {
    const auto it = selected->messageIds->find(word);
    return it == selected->messageIds->end() ? 0 : it->second;
}

}  // namespace kelto
