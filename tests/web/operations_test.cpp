// Requests to tool command lines, and finished runs to API documents.
#include "operations.h"

#include <gtest/gtest.h>

#include "status_words.h"

namespace kelto::web {
namespace {

using nlohmann::json;

struct Accepted {
    Request request;
    std::vector<std::string> args;
    std::vector<int> devices;
    int mandatedMs;
    bool lighting;
};

TEST(WebBuildOperation, AcceptedRequestsBecomeToolArguments) {
    const Accepted cases[] = {
        {{Kind::Lumabar, 0, "scan", false, {}}, {"scan"}, {}, 200, false},
        {{Kind::Torvexc, 0, "scan", false, {}}, {"scan"}, {}, 1000, false},
        {{Kind::Torvexc, 0, "version", false, {}}, {"version"}, {}, 0, false},
        {{Kind::Lumabar, 3, "name", false, {}}, {"3", "name"}, {3}, 1300, false},
        {{Kind::Torvexc, 59, "scan", false, {}}, {"59", "scan"}, {59}, 2000, false},
        {{Kind::Torvexc, 5, "versions", false, {}}, {"5", "versions"}, {5}, 2000, false},
        {{Kind::Lumabar, 3, "name", true, {{"value", "Left Bar"}}},
         {"3", "name", "Left Bar"},
         {3},
         1300,
         false},
        {{Kind::Lumabar, 3, "name", true, {{"value", ""}}}, {"3", "name", ""}, {3}, 1300, false},
        {{Kind::Torvexc, 5, "inverted", true, {{"value", 255}}},
         {"5", "inverted", "255"},
         {5},
         2000,
         false},
        {{Kind::Torvexc, 5, "blink", true, {{"seconds", 0}}},
         {"5", "blink", "0"},
         {5},
         1000,
         false},
        {{Kind::Lumabar, 12, "id", true, {{"new_id", 20}}},
         {"12", "id", "20"},
         {12, 20},
         600,
         false},
        {{Kind::Lumabar, 3, "light", true, {{"command", "showrgb"}, {"values", {255, 64, 0}}}},
         {"3", "showrgb", "255", "64", "0"},
         {3},
         200,
         true},
        {{Kind::Lumabar, 3, "light", true, {{"command", "reset"}}}, {"3", "reset"}, {3}, 200, true},
    };
    for (const Accepted& c : cases) {
        std::string error;
        std::optional<Operation> op = buildOperation(c.request, error);
        ASSERT_TRUE(op) << c.request.action << ": " << error;
        EXPECT_EQ(op->args, c.args);
        EXPECT_EQ(op->devices, c.devices);
        EXPECT_EQ(op->mandatedMs, c.mandatedMs) << c.request.action;
        EXPECT_EQ(op->lighting, c.lighting);
        EXPECT_EQ(op->printsJson, !c.lighting);
    }
}

TEST(WebBuildOperation, RefusedRequestsSayWhy) {
    const std::pair<Request, const char*> cases[] = {
        {{Kind::Lumabar, 3, "name", true, {{"value", "123456789"}}}, "at most 8 bytes"},
        {{Kind::Lumabar, 3, "name", true, {{"value", "a\x7f"}}}, "control"},
        {{Kind::Lumabar, 3, "name", true, json::array()}, "JSON object"},
        {{Kind::Torvexc, 5, "brake", true, {{"value", 256}}}, "0 to 255"},
        {{Kind::Torvexc, 5, "brake", true, {{"value", -1}}}, "0 to 255"},
        {{Kind::Torvexc, 5, "brake", true, {{"value", 2.0}}}, "integer"},
        {{Kind::Torvexc, 5, "brake", true, {{"value", json::number_unsigned_t(1) << 63}}},
         "0 to 255"},
        {{Kind::Torvexc, 5, "scan", true, {{"value", 1}}}, "cannot be written"},
        {{Kind::Torvexc, 5, "id", true, {{"new_id", 0}}}, "1 to 59"},
        {{Kind::Lumabar, 3, "light", true, {{"command", "flash"}}}, "showrgb"},
        {{Kind::Lumabar, 3, "light", true, {{"command", "fade"}, {"values", {1, 2, 3}}}}, "2"},
        {{Kind::Lumabar, 3, "brake", false, {}}, "cannot be read"},
        {{Kind::Lumabar, 0, "scan", true, {}}, "GET"},
    };
    for (const auto& [request, words] : cases) {
        std::string error;
        EXPECT_FALSE(buildOperation(request, error)) << request.action;
        EXPECT_NE(error.find(words), std::string::npos) << error;
    }
}

TEST(WebParseDeviceId, DigitsFromOneTo59Only) {
    EXPECT_EQ(parseDeviceId("1"), 1);
    EXPECT_EQ(parseDeviceId("59"), 59);
    EXPECT_EQ(parseDeviceId("07"), 7);
    for (const char* bad : {"", "0", "60", "00", "261", "5x", "-1", "+5", " 5", "1e1"})
        EXPECT_FALSE(parseDeviceId(bad)) << bad;
}

TEST(WebFirmwareOperation, TimeIsTheUpdatesOwnWaits) {
    Operation byId = firmwareOperation(Kind::Torvexc, 5, "/tmp/x.hex", 64, 60000);
    EXPECT_EQ(byId.args, (std::vector<std::string>{"5", "firmware", "/tmp/x.hex"}));
    EXPECT_EQ(byId.mandatedMs, 1000 + 1020 + 200 + 64 * 70 + 1000);
    Operation recovery = firmwareOperation(Kind::Lumabar, 0, "/tmp/x.hex", 2, 30000);
    EXPECT_EQ(recovery.args, (std::vector<std::string>{"firmware", "/tmp/x.hex"}));
    EXPECT_TRUE(recovery.devices.empty());
    EXPECT_EQ(recovery.mandatedMs, 30000 + 200 + 140 + 1000);
}

RunResult exited(int status, std::string out, std::string err = "") {
    RunResult r;
    r.started = r.exited = true;
    r.exitStatus = status;
    r.out = std::move(out);
    r.err = std::move(err);
    return r;
}

TEST(WebReportRun, StatusAndErrorText) {
    Operation read = *[] {
        std::string e;
        return buildOperation({Kind::Lumabar, 3, "name", false, {}}, e);
    }();
    Operation light = read;
    light.lighting = true;
    light.printsJson = false;
    RunResult timedOut = exited(0, "");
    timedOut.exited = false, timedOut.timedOut = true;
    RunResult crashed = exited(0, "");
    crashed.exited = false, crashed.signal = 6;
    RunResult notStarted;
    notStarted.startError = "cannot start x: No such file or directory";

    struct Case {
        Operation op;
        RunResult run;
        int http;
        bool ok;
        const char* error;  // null: no "error" member
        const char* words;
    };
    const Case cases[] = {
        {read, exited(0, "{\"name\":\"Front\"}\n"), 200, true, nullptr, "success"},
        {read, exited(13, "{\"error\":\"No response from Lumabar\"}\n"), 502, false,
         "No response from Lumabar", "the device did not answer"},
        {read, exited(77, "{\"error\":\"A code added later\"}\n"), 502, false, "A code added later",
         "the tool ended with status 77"},
        {read, exited(26, "somethings up\n", "Error in hex file #3\n"), 502, false,
         "Error in hex file #3", "the firmware file was rejected; nothing was sent"},
        {read, exited(0, "garbage"), 502, false, "kelto_lumabar printed no JSON object", "success"},
        {read, exited(0, "[1]"), 502, false, "kelto_lumabar printed no JSON object", "success"},
        {light, exited(99, ""), 200, true, nullptr, "lighting command sent"},
        {read, exited(99, ""), 502, false, "lighting command sent", "lighting command sent"},
        {read, timedOut, 504, false, "kelto_lumabar did not finish within 1700 ms and was stopped",
         "stopped at its time limit"},
        {read, crashed, 502, false, "kelto_lumabar was ended by signal 6 (Aborted)",
         "ended by a signal"},
        {read, notStarted, 500, false, "cannot start x: No such file or directory",
         "could not be started"},
    };
    for (const Case& c : cases) {
        RunReport r = reportRun(c.op, c.run, 1700);
        EXPECT_EQ(r.httpStatus, c.http) << r.doc;
        EXPECT_EQ(r.doc["ok"], c.ok) << r.doc;
        EXPECT_EQ(r.doc["status_text"], c.words) << r.doc;
        if (c.error)
            EXPECT_EQ(r.doc["error"], c.error) << r.doc;
        else
            EXPECT_FALSE(r.doc.contains("error")) << r.doc;
    }
}

TEST(WebToText, InvalidUtf8FromAToolIsReplaced) {
    json doc = {{"stdout", std::string("a\xff") + "b"}};
    EXPECT_EQ(toText(doc),
              "{\"stdout\":\"a\xef\xbf\xbd"
              "b\"}");
}

TEST(WebStatusWords, KnownAndUnknownCodes) {
    EXPECT_EQ(statusWords(10), "the device is not on the bus");
    EXPECT_EQ(statusWords(31), "the name is longer than 8 bytes");
    EXPECT_EQ(statusWords(200), "the tool ended with status 200");
}

}  // namespace
}  // namespace kelto::web
