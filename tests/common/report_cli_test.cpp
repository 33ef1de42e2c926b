// Error documents, argument checks and the version query.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "cli.h"
#include "report.h"
#include "scripted_bus.h"
#include "tables.h"

namespace {

TEST(ReportError, PrintsTheTextOfTheCodeAndReturnsIt) {
    struct Case {
        int code;
        std::string out;
    };
    const Case cases[] = {
        {10, "{\"error\":\"ID not found on network\"}\n"},
        {21,
         "{\"error\":\"First argument must be \\\"scan\\\", \\\"reset\\\", or an ID followed by a "
         "field and possibly a new value\"}\n"},
        {28, "{\"error\":\"This field requires a value.\"}\n"},
        {13, "{\"error\":\"No response from Lumabar\"}\n"},
        {77, "{\"error\":\"\"}\n"},
    };
    ScriptedBus bus(lumabar::PROFILE);
    for (const Case& c : cases) {
        const Captured r = capture([&] { return kelto::reportError(c.code); });
        EXPECT_EQ(r.status, c.code);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(PrintDocument, SortsKeysAndStaysOnOneLine) {
    kelto::jsonLib json = kelto::jsonLib::object();
    json["serial"] = "x";
    json["bootloader"] = "1.0";
    json["name"] = "a\"b";
    const Captured r = capture([&] {
        kelto::printDocument(json);
        return 0;
    });
    EXPECT_EQ(r.out, "{\"bootloader\":\"1.0\",\"name\":\"a\\\"b\",\"serial\":\"x\"}\n");
}

TEST(Cli, IsIntAcceptsAsciiDigitsOnly) {
    for (const char* yes : {"", "0", "059", "99999999999999999999"})
        EXPECT_TRUE(kelto::isInt(yes)) << yes;
    for (const char* no : {"+5", "-5", " 5", "5 ", "0x5", "5a", "\xD9\xA5", "\x80"})
        EXPECT_FALSE(kelto::isInt(no)) << no;
}

TEST(Cli, ConversionsAndDeviceIdRange) {
    int v = 0;
    EXPECT_TRUE(kelto::toInt32("2147483647", &v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_FALSE(kelto::toInt32("2147483648", &v));
    EXPECT_FALSE(kelto::toInt32("", &v));
    EXPECT_FALSE(kelto::toInt32(std::string(400, '9').c_str(), &v));

    EXPECT_EQ(kelto::lowByte("300"), 44);
    EXPECT_EQ(kelto::lowByte(""), 0);
    EXPECT_EQ(kelto::lowByte("99999999999"), 255) << "saturates at INT_MAX";

    for (const char* ok : {"1", "59", "05", "0000000000000000000059"})
        EXPECT_TRUE(kelto::validDeviceId(ok)) << ok;
    for (const char* bad : {"0", "60", "256", "261", "", "4294967301", "99999999999999999999"})
        EXPECT_FALSE(kelto::validDeviceId(bad)) << bad;
}

TEST(VersionQuery, PrintsTheLibraryTextOrMinusOne) {
    ScriptedBus bus(lumabar::PROFILE);
    Captured r = capture([] { return kelto::versionQuery(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"version\":\"" KELTO_VERSION "\"}\n");

    kelto::ToolProfile missing = lumabar::PROFILE;
    missing.versionSymbol = "No_Such_GetLibraryVersion";
    kelto::setTool(missing);
    r = capture([] { return kelto::versionQuery(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"version\":\"-1\"}\n");
}

}  // namespace
