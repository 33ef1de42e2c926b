#include "scripted_bus.h"

#include <cstdio>

ScriptedBus::ScriptedBus(const kelto::ToolProfile& profile) : profile_(profile) {
    virtualClockReset();
    fakeCanReset();
    kelto::setTool(profile_);
    fakeCanOnSend([this](const FakeFrame& frame) {
        const auto field = fields_.find(frame.id);
        if (field != fields_.end() && frame.data.size() == 1) field->second = frame.data[0];
        if (!frame.data.empty()) return;
        const auto it = answers_.find(frame.id);
        if (it != answers_.end())
            fakeCanArrive(frame.timeUs + it->second.second, frame.id, it->second.first);
        if (field != fields_.end()) fakeCanArrive(frame.timeUs + 1000, frame.id, {field->second});
    });
}

ScriptedBus::~ScriptedBus() {
    fakeCanReset();
}

void ScriptedBus::present(uint8_t id, int periodMs) {
    const uint32_t presence = profile_.messageIds->at(profile_.presenceKey) | id;
    const int64_t start = kelto::nowUs();
    for (int64_t t = 0; t < 10000000; t += periodMs * 1000)
        fakeCanArrive(start + t + 3000, presence, {0, 0, 0, 0, 0, 0, 0, 0});
}

void ScriptedBus::answer(uint32_t id, std::vector<uint8_t> reply, int64_t latencyUs) {
    answers_[id] = {std::move(reply), latencyUs};
}

void ScriptedBus::field(uint32_t id, uint8_t value) {
    fields_[id] = value;
}

std::vector<FakeFrame> ScriptedBus::sentOn(uint32_t id) const {
    std::vector<FakeFrame> out;
    for (const FakeFrame& f : fakeCanSent())
        if (id == 0 || f.id == id) out.push_back(f);
    return out;
}

std::string frameText(const FakeFrame& frame) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%08X#", frame.id);
    for (uint8_t b : frame.data) n += std::snprintf(buf + n, sizeof buf - n, "%02X", b);
    return buf;
}

ToolRun runTool(int (*toolMain)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const Captured c =
        capture([&] { return toolMain(static_cast<int>(args.size()), argv.data()); });
    ToolRun run{c.status, c.out, c.err, {}};
    for (const FakeFrame& f : fakeCanSent()) run.frames.push_back(frameText(f));
    return run;
}

std::string errorDocument(const std::string& text) {
    return "{\"error\":\"" + text + "\"}\n";
}
