#include "operations.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "status_words.h"

namespace kelto::web {

using nlohmann::json;

namespace {

const ToolInfo TOOLS[] = {
    {"lumabar", "kelto_lumabar", 200},
    {"torvexc", "kelto_torvexc", 1000},
};

constexpr int ID_CHANGE_SETTLE_MS = 200;  // the tool's pause before its scan
constexpr int NAME_PAUSE_MS = 100;        // the tool's pause before a name read
constexpr int MIN_ID = 1;
constexpr int MAX_ID = 59;
constexpr int BYTE_MAX = 255;

// Bootloader entry: the entry frame's pause and the wait for the
// bootloader's versions, the settle pause, per page four slots and three
// commands of 10 ms each, and the pause before the application starts.
constexpr int ENTRY_MS = 20 + RECEIVE_TIMEOUT_MS;
constexpr int BOOT_SETTLE_MS = 200;
constexpr int PAGE_MS = 70;
constexpr int RUN_APP_DELAY_MS = 1000;

// The lighting commands and how many values each takes.
const std::map<std::string, size_t> LIGHTING_COMMANDS = {
    {"showrgb", 3}, {"writeregister", 5}, {"showregister", 1},
    {"cycle", 2},   {"fade", 2},          {"reset", 0},
};

const std::vector<std::string> IDENTITY_READS = {"name", "serial", "versions"};

bool contains(const std::vector<std::string>& words, const std::string& w) {
    return std::find(words.begin(), words.end(), w) != words.end();
}

// An integer from lo to hi; JSON floats, strings and booleans are refused.
bool integerIn(const json& value, const std::string& what, int lo, int hi, int& out,
               std::string& error) {
    // Unsigned JSON numbers may exceed int64_t; every range here is within it.
    bool integer = value.is_number_integer();
    bool huge = value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(hi);
    int64_t v = integer && !huge ? value.get<int64_t>() : 0;
    if (!integer || huge || v < lo || v > hi) {
        error = what + ": an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
                " is needed, got " + value.dump(-1, ' ', false, json::error_handler_t::replace);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// The member `key` of a JSON object body.
const json* member(const json& body, const char* key, std::string& error) {
    if (!body.is_object()) {
        error = "the request body must be a JSON object";
        return nullptr;
    }
    auto it = body.find(key);
    if (it == body.end()) {
        error = std::string("the request body needs \"") + key + "\"";
        return nullptr;
    }
    return &*it;
}

bool integerMember(const json& body, const char* key, int lo, int hi, int& out,
                   std::string& error) {
    const json* v = member(body, key, error);
    return v && integerIn(*v, key, lo, hi, out, error);
}

// A name the tool writes as it is: at most 8 bytes, no control characters.
bool checkName(const json& body, std::string& name, std::string& error) {
    const json* v = member(body, "value", error);
    if (!v) return false;
    if (!v->is_string()) {
        error = "name: a string is needed";
        return false;
    }
    name = v->get<std::string>();
    if (name.size() > static_cast<size_t>(MAX_NAME_BYTES)) {
        error = "name: at most 8 bytes (UTF-8), got " + std::to_string(name.size());
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            error = "name: control characters are not allowed";
            return false;
        }
    }
    return true;
}

int readMs(int presenceMs) {
    return presenceMs + RECEIVE_TIMEOUT_MS;
}

std::optional<Operation> busOperation(const Request& rq, Operation op, std::string& error) {
    if (rq.write) {
        error = "\"" + rq.action + "\" is read with GET";
        return std::nullopt;
    }
    if (rq.action == "scan") {
        op.args = {"scan"};
        op.mandatedMs = toolInfo(rq.kind).presenceMs;
    } else if (rq.action == "version") {
        op.args = {"version"};
    } else {
        error = "unknown bus request \"" + rq.action + "\" (scan, version)";
        return std::nullopt;
    }
    return op;
}

std::optional<Operation> readOperation(const Request& rq, Operation op, std::string& error) {
    bool torvexcField =
        rq.kind == Kind::Torvexc && (contains(TORVEXC_SETTINGS, rq.action) || rq.action == "scan");
    if (!contains(IDENTITY_READS, rq.action) && !torvexcField) {
        error = "\"" + rq.action + "\" cannot be read from a " + toolInfo(rq.kind).kind;
        return std::nullopt;
    }
    op.args.push_back(rq.action);
    op.mandatedMs =
        readMs(toolInfo(rq.kind).presenceMs) + (rq.action == "name" ? NAME_PAUSE_MS : 0);
    return op;
}

bool lightingArgs(const json& body, std::vector<std::string>& args, std::string& error) {
    const json* command = member(body, "command", error);
    if (!command) return false;
    auto it = command->is_string() ? LIGHTING_COMMANDS.find(command->get<std::string>())
                                   : LIGHTING_COMMANDS.end();
    if (it == LIGHTING_COMMANDS.end()) {
        error = "command: one of showrgb, writeregister, showregister, cycle, fade, reset";
        return false;
    }
    json values = body.value("values", json::array());
    if (!values.is_array() || values.size() != it->second) {
        error = it->first + ": \"values\" must be a list of " + std::to_string(it->second) +
                " integers";
        return false;
    }
    args.push_back(it->first);
    for (const json& v : values) {
        int n = 0;
        if (!integerIn(v, it->first + " value", 0, BYTE_MAX, n, error)) return false;
        args.push_back(std::to_string(n));
    }
    return true;
}

std::optional<Operation> writeOperation(const Request& rq, Operation op, std::string& error) {
    int presence = toolInfo(rq.kind).presenceMs;
    int n = 0;
    std::string name;
    if (rq.action == "name") {
        if (!checkName(rq.body, name, error)) return std::nullopt;
        op.args.insert(op.args.end(), {"name", name});
        op.mandatedMs = readMs(presence) + NAME_PAUSE_MS;
    } else if (rq.kind == Kind::Torvexc && contains(TORVEXC_SETTINGS, rq.action)) {
        if (!integerMember(rq.body, "value", 0, BYTE_MAX, n, error)) return std::nullopt;
        op.args.insert(op.args.end(), {rq.action, std::to_string(n)});
        op.mandatedMs = readMs(presence);
    } else if (rq.action == "blink") {
        if (!integerMember(rq.body, "seconds", 0, BYTE_MAX, n, error)) return std::nullopt;
        op.args.insert(op.args.end(), {"blink", std::to_string(n)});
        op.mandatedMs = presence;
    } else if (rq.action == "id") {
        if (!integerMember(rq.body, "new_id", MIN_ID, MAX_ID, n, error)) return std::nullopt;
        if (n == rq.device) {
            error = "new_id: the device already has ID " + std::to_string(n);
            return std::nullopt;
        }
        op.args.insert(op.args.end(), {"id", std::to_string(n)});
        op.devices.push_back(n);
        op.mandatedMs = presence + ID_CHANGE_SETTLE_MS + presence;
    } else if (rq.action == "light" && rq.kind == Kind::Lumabar) {
        if (!lightingArgs(rq.body, op.args, error)) return std::nullopt;
        op.mandatedMs = presence;
        op.printsJson = false;
        op.lighting = true;
    } else {
        error = "\"" + rq.action + "\" cannot be written to a " + toolInfo(rq.kind).kind;
        return std::nullopt;
    }
    return op;
}

std::optional<json> jsonObject(const std::string& text) {
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
    return doc;
}

// The last non-empty line of a tool's standard error ("Error in hex file #3").
std::string lastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "";
    size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

}  // namespace

const std::vector<std::string> TORVEXC_SETTINGS = {
    "potentiometer", "brake",         "limit_enabled", "limit_forward",
    "limit_reverse", "fault_voltage", "fault_time",    "inverted",
};

const ToolInfo& toolInfo(Kind kind) {
    return TOOLS[kind == Kind::Lumabar ? 0 : 1];
}

std::optional<Kind> parseKind(const std::string& word) {
    if (word == "lumabar") return Kind::Lumabar;
    if (word == "torvexc") return Kind::Torvexc;
    return std::nullopt;
}

std::optional<int> parseDeviceId(const std::string& text) {
    if (text.empty() || text.size() > 2) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    int id = std::stoi(text);
    if (id < MIN_ID || id > MAX_ID) return std::nullopt;
    return id;
}

std::optional<Operation> buildOperation(const Request& rq, std::string& error) {
    Operation op;
    op.kind = rq.kind;
    if (rq.device == 0) return busOperation(rq, op, error);
    op.args = {std::to_string(rq.device)};
    op.devices = {rq.device};
    return rq.write ? writeOperation(rq, op, error) : readOperation(rq, op, error);
}

Operation firmwareOperation(Kind kind, int device, const std::string& path, int pages,
                            int searchMs) {
    Operation op;
    op.kind = kind;
    op.firmware = true;
    op.printsJson = false;
    int transfer = BOOT_SETTLE_MS + pages * PAGE_MS + RUN_APP_DELAY_MS;
    if (device == 0) {
        op.args = {"firmware", path};
        op.mandatedMs = searchMs + transfer;
    } else {
        op.args = {std::to_string(device), "firmware", path};
        op.devices = {device};
        op.mandatedMs = toolInfo(kind).presenceMs + ENTRY_MS + transfer;
    }
    return op;
}

RunReport reportRun(const Operation& op, const RunResult& run, int limitMs) {
    std::string program = toolInfo(op.kind).program;
    json doc = {{"tool", program},           {"args", op.args},
                {"stdout", run.out},         {"stderr", run.err},
                {"timed_out", run.timedOut}, {"ms", std::lround(run.seconds * 1000)}};
    doc["exit_status"] = run.exited ? json(run.exitStatus) : json();
    doc["signal"] = run.signal ? json(run.signal) : json();
    std::optional<json> result = jsonObject(run.out);
    doc["result"] = result ? *result : json();

    int http = 502;
    bool ok = false;
    std::string error, words;
    if (!run.started) {
        http = 500, words = "could not be started", error = run.startError;
    } else if (run.timedOut) {
        http = 504, words = "stopped at its time limit";
        error =
            program + " did not finish within " + std::to_string(limitMs) + " ms and was stopped";
    } else if (run.aborted) {
        http = 503, words = "stopped: the server is shutting down";
        error = program + " was stopped because the server is shutting down";
    } else if (!run.exited) {
        words = "ended by a signal";
        error = program + " was ended by signal " + std::to_string(run.signal) + " (" +
                strsignal(run.signal) + ")";
    } else {
        ok = run.exitStatus == 0 || (op.lighting && run.exitStatus == 99);
        words = statusWords(run.exitStatus);
        if (result && result->contains("error") && (*result)["error"].is_string())
            error = (*result)["error"].get<std::string>();
        else if (!ok)
            error = lastLine(run.err).empty() ? words : lastLine(run.err);
        if (ok && op.printsJson && !result) {
            ok = false;
            error = program + " printed no JSON object";
        }
        if (ok) http = 200;
    }
    doc["ok"] = ok;
    doc["status_text"] = words;
    if (!ok) doc["error"] = error;
    return {http, doc};
}

std::string toText(const json& doc) {
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kelto::web
