// What the API may ask of the tools: a checked request becomes one tool run
// (its arguments, the devices it addresses and how long it may take), and a
// finished run becomes the JSON document the API returns.
//
//   Request{Kind::Torvexc, 5, "brake", true, {{"value", 1}}}
//     -> Operation{args {"5", "brake", "1"}, devices {5}, mandatedMs 2000, printsJson}
//   Request{Kind::Lumabar, 3, "name", true, {{"value", "far too long"}}}
//     -> refused: "name: at most 8 bytes (UTF-8), got 12"
#ifndef KELTO_WEB_OPERATIONS_H
#define KELTO_WEB_OPERATIONS_H

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

namespace kelto::web {

enum class Kind { Lumabar, Torvexc };

struct ToolInfo {
    const char* kind;     // "lumabar", "torvexc": the API's word for it
    const char* program;  // "kelto_lumabar", ...
    int presenceMs;       // the tool's presence window and scan time
};

const ToolInfo& toolInfo(Kind kind);
std::optional<Kind> parseKind(const std::string& word);

// A device ID in a path: decimal digits only, 1 to 59.
std::optional<int> parseDeviceId(const std::string& text);

constexpr int RECEIVE_TIMEOUT_MS = 1000;  // a tool's wait for a device's answer
constexpr int MAX_NAME_BYTES = 8;

// The motor controller's one-byte settings, readable and writable.
extern const std::vector<std::string> TORVEXC_SETTINGS;

struct Request {
    Kind kind;
    int device;          // 0: the bus (scan, version)
    std::string action;  // "scan", "version", "name", "brake", "blink", "id", "light", ...
    bool write;          // POST with `body`, not GET
    nlohmann::json body;
};

struct Operation {
    Kind kind;
    std::vector<std::string> args;  // after the program name
    std::vector<int> devices;       // device IDs it addresses, held while it runs
    int mandatedMs = 0;             // the longest its own waits may take
    bool printsJson = true;         // a JSON object on standard output
    bool lighting = false;          // a lighting command: 99 is its success
    bool firmware = false;          // progress text on standard output
};

// The operation for a request, or nullopt with `error` saying what is wrong.
std::optional<Operation> buildOperation(const Request& request, std::string& error);

// A firmware update of `pages` pages from `path`: device 0 is the recovery
// form, whose search for a device in its bootloader may take `searchMs`.
Operation firmwareOperation(Kind kind, int device, const std::string& path, int pages,
                            int searchMs);

// The API's document of a finished run and the HTTP status for it:
//   200 success, 502 the tool failed or printed no JSON, 504 it was stopped
//   at its time limit, 500 it could not be started.
//   {"tool", "args", "ok", "exit_status" (null unless it exited), "status_text",
//    "error" (the tool's own text, or what went wrong; absent on success),
//    "result" (its JSON object, or null), "stdout", "stderr", "ms",
//    "timed_out", "signal" (null unless one ended it)}
struct RunReport {
    int httpStatus;
    nlohmann::json doc;
};
RunReport reportRun(const Operation& op, const RunResult& run, int limitMs);

// Serialises for HTTP: invalid UTF-8 from a tool becomes U+FFFD.
std::string toText(const nlohmann::json& doc);

}  // namespace kelto::web

#endif
