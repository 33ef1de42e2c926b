#include "tool.h"

namespace kelto {

namespace {
const ToolProfile* selected = nullptr;
}

void setTool(const ToolProfile& profile) { selected = &profile; }

const ToolProfile& tool() { return *selected; }

uint32_t messageIdOf(const std::string& word) {
    const auto it = selected->messageIds->find(word);
    return it == selected->messageIds->end() ? 0 : it->second;
}

}  // namespace kelto
