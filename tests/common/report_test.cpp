// Error documents and the value conversion.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "numeral.h"
#include "report.h"
#include "scripted_bus.h"
#include "lumabar_tables.h"

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

TEST(Numeral, ToInt32TakesTheSignedThirtyTwoBitRange) {
    int v = 0;
    EXPECT_TRUE(kelto::toInt32("2147483647", &v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(kelto::toInt32("300", &v));
    EXPECT_EQ(v, 300);
    EXPECT_FALSE(kelto::toInt32("2147483648", &v));
    EXPECT_FALSE(kelto::toInt32("", &v));
    EXPECT_FALSE(kelto::toInt32(std::string(400, '9').c_str(), &v));
    EXPECT_EQ(v, 300) << "unchanged by a failed conversion";
}

}  // namespace
