#include "tool.h"

namespace kelto {

namespace {
const ToolProfile* selected = nullptr;
}

ErrorTable withSharedErrors(ErrorTable toolTexts) {
    static const std::pair<int, const char*> SHARED[] = {
        {0, "Success (or error error)"},
        {10, "ID not found on network"},
        {11, "CAN receive timeout"},
        {12, "No devices found"},
        {14, "New ID already found on network"},
        {20, "This executable requires arguments"},
        {22, "First argument must be a valid ID"},
        {23, "IDs must be greater than zero and less than sixty (0 < id < 60)."},
        {24, "Too many arguments"},
        {27, "This field does not allow a set value."},
        {28, "This field requires a value."},
        {29, "Firmware path must not contain spaces."},
        {30, "Unrecognized command"},
        {31, "New name longer than eight characters"},
        {99, "Reached end of program without producing an error message or result"},
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
