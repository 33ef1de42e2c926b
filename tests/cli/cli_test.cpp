// Argument checks and the version query of both command lines.
#include <gtest/gtest.h>

#include <string>

#include "cli.h"
#include "lumabar_tables.h"
#include "scripted_bus.h"

namespace {

TEST(Cli, IsIntAcceptsAsciiDigitsOnly) {
    for (const char* yes : {"", "0", "059", "99999999999999999999"})
        EXPECT_TRUE(kelto::isInt(yes)) << yes;
    for (const char* no : {"+5", "-5", " 5", "5 ", "0x5", "5a", "\xD9\xA5", "\x80"})
        EXPECT_FALSE(kelto::isInt(no)) << no;
}

TEST(Cli, LowByteAndDeviceIdRange) {
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
