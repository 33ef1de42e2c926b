// The simulated bootloader: entry, version reply, recovery search, the page
// sequence that writes flash, and the return to the application.
#include <zlib.h>

#include "sim_fixture.h"

namespace kelto::sim::testing {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kNotFound = ERR_CANSessionMux_MessageNotFound;

// Bootloader identifiers of one kind.
struct BootIds {
    uint32_t data, command, reset, reply, enter;
};
constexpr BootIds kLbBoot = {0x1b070040, 0x1b070042, 0x1b0700C2, 0x1b070100, 0x1b070180};
constexpr BootIds kTcBoot = {0x1a070040, 0x1a070042, 0x1a0700C2, 0x1a070100, 0x1a070180};

Bytes command(uint32_t address, uint8_t code) {
    return {static_cast<uint8_t>(address),
            static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address >> 16),
            0x40,
            code,
            0,
            0,
            0};
}

Bytes pattern(uint8_t seed) {
    Bytes page(64);
    for (int i = 0; i < 64; ++i) page[i] = static_cast<uint8_t>(seed + i * 3);
    return page;
}

class BootloaderTest : public SimBusTest {
  protected:
    // One step of a page transfer: a frame, then the pause after it.
    struct Step {
        enum What { kLoad, kData, kUnlock, kErase, kWrite } what;
        uint32_t address = 0;
        int chunk = 0;  // kData: which 8 bytes of the page
    };

    // The transfer a tool makes for one page: load, 8 data frames in pairs
    // with 10 ms pauses, unlock, erase, write, 10 ms after each.
    static std::vector<Step> fullSequence(uint32_t address) {
        std::vector<Step> s{{Step::kLoad, address}};
        for (int c = 0; c < 8; ++c) s.push_back({Step::kData, address, c});
        s.push_back({Step::kUnlock, address});
        s.push_back({Step::kErase, address});
        s.push_back({Step::kWrite, address});
        return s;
    }

    void run(const BootIds& ids, const std::vector<Step>& steps, const Bytes& page) {
        for (const Step& s : steps) {
            switch (s.what) {
                case Step::kLoad:
                    send(ids.command, command(s.address, kCmdLoadAddress));
                    break;
                case Step::kData:
                    send(ids.data,
                         Bytes(page.begin() + s.chunk * 8, page.begin() + s.chunk * 8 + 8));
                    if (s.chunk % 2 == 1) kelto::sleepMs(10);
                    break;
                case Step::kUnlock:
                    send(ids.command, command(s.address, kCmdUnlock));
                    kelto::sleepMs(10);
                    break;
                case Step::kErase:
                    send(ids.command, command(s.address, kCmdErase));
                    kelto::sleepMs(10);
                    break;
                case Step::kWrite:
                    send(ids.command, command(s.address, kCmdWrite));
                    kelto::sleepMs(10);
                    break;
            }
        }
    }

    void enterBootloader(const BootIds& ids, int id) { send(ids.enter | id, sumFrame({1, 2, 3})); }

    // Pages written and their crc32 as `kelto_sim show` reports them.
    std::pair<int, uint32_t> flash(Kind kind, int id) {
        BusImage image;
        std::string err;
        EXPECT_TRUE(busRead(*admin_, &image, &err)) << err;
        int slot = findDevice(image, kind, id);
        int pages = -1;
        uint32_t crc = 0;
        EXPECT_TRUE(flashSummary(*admin_, slot, image.slots[slot], &pages, &crc, &err)) << err;
        return {pages, crc};
    }
};

uint32_t crcOf(std::initializer_list<Bytes> pages) {
    uLong c = crc32(0L, Z_NULL, 0);
    for (const Bytes& p : pages) c = crc32(c, p.data(), static_cast<uInt>(p.size()));
    return static_cast<uint32_t>(c);
}

// --- Entry, reply, recovery -----------------------------------------------------

TEST_F(BootloaderTest, EntryFrameSwitchesToTheBootloaderAndRepliesWithVersions) {
    struct Case {
        Kind kind;
        BootIds ids;
        uint32_t presence;
    } cases[] = {{kLumabar, kLbBoot, 0x08072400}, {kTorvexc, kTcBoot, 0x02072400}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        add(c.kind, 5, {"firmware=2.3", "hardware=4.5", "bootloader=6.7", "latency_ms=2"});
        receive(c.ids.reply);
        enterBootloader(c.ids, 5);
        EXPECT_EQ(device(c.kind, 5).mode, kModeBootloader);
        advanceMs(1);
        EXPECT_EQ(receive(c.ids.reply).status, kNotFound);
        advanceMs(1);
        EXPECT_EQ(receive(c.ids.reply).data, (Bytes{6, 7, 2, 3, 4, 5, 0, 0}));
        receive(c.presence | 5);
        kelto::sleepMs(200);
        EXPECT_EQ(receive(c.presence | 5).status, kNotFound) << "no presence in the bootloader";
    }
}

TEST_F(BootloaderTest, EntryFrameWithABadSumOrForAnotherIdIsIgnored) {
    add(kLumabar, 5);
    Bytes bad = sumFrame({1, 2, 3});
    bad[0] ^= 1;
    send(kLbBoot.enter | 5, bad);
    send(kLbBoot.enter | 6, sumFrame({1}));
    send(kLbBoot.enter, sumFrame({1}));  // ID 0 reaches only bootloaders and device 0
    send(kTcBoot.enter | 5, sumFrame({1}));
    EXPECT_EQ(device(kLumabar, 5).mode, kModeApp);
}

TEST_F(BootloaderTest, BootloaderAnswersTheRecoverySearchAndNoApplicationQuery) {
    add(kLumabar, 5, {"mode=bootloader"});
    receive(kLbBoot.reply);
    send(0x08073805);
    send(kLbBoot.enter, sumFrame({9, 9}));
    advanceMs(5);
    EXPECT_EQ(receive(0x08073805).status, kNotFound);
    EXPECT_EQ(receive(kLbBoot.reply).status, 0);
}

TEST_F(BootloaderTest, BootReplyZeroEntersButNeverAnswers) {
    add(kTorvexc, 5, {"boot_reply=0"});
    receive(kTcBoot.reply);
    enterBootloader(kTcBoot, 5);
    send(kTcBoot.enter, sumFrame({4}));
    advanceMs(50);
    EXPECT_EQ(device(kTorvexc, 5).mode, kModeBootloader);
    EXPECT_EQ(receive(kTcBoot.reply).status, kNotFound);
}

TEST_F(BootloaderTest, RunAppAndResetReturnToTheApplication) {
    struct Case {
        const char* what;
        uint32_t id;
        Bytes frame;
    } cases[] = {
        {"run application after a transfer", kLbBoot.command, command(0x1FC0, kCmdRunApp)},
        {"run application reusing an entry payload", kLbBoot.command, {1, 2, 3, 4, 0x11, 6, 7, 8}},
        {"bootloader reset", kLbBoot.reset, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        ASSERT_TRUE(busClear(*admin_, &err)) << err;
        add(kLumabar, 5, {"mode=bootloader"});
        receive(0x08072405);
        send(c.id, c.frame);
        EXPECT_EQ(device(kLumabar, 5).mode, kModeApp);
        advanceMs(50);
        EXPECT_EQ(receive(0x08072405).status, 0) << "presence resumes";
    }
}

// --- Page sequence and flash -----------------------------------------------------

TEST_F(BootloaderTest, FullSequenceWritesThePage) {
    add(kTorvexc, 5);
    enterBootloader(kTcBoot, 5);
    Bytes a = pattern(1), b = pattern(77);
    run(kTcBoot, fullSequence(0x1FC0), b);
    run(kTcBoot, fullSequence(0x0040), a);
    // Both pages' exact bytes, in ascending page address.
    EXPECT_EQ(flash(kTorvexc, 5), std::make_pair(2, crcOf({a, b})));
}

TEST_F(BootloaderTest, OutOfOrderSequencesWriteNothing) {
    using S = Step;
    const uint32_t A = 0x0400;
    auto without = [&](int index) {
        std::vector<Step> s = fullSequence(A);
        s.erase(s.begin() + index);
        return s;
    };
    auto withExtra = [&](int index, Step extra) {
        std::vector<Step> s = fullSequence(A);
        s.insert(s.begin() + index, extra);
        return s;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"no load", without(0)},
        {"seven data frames", without(8)},
        {"no unlock", without(9)},
        {"no erase", without(10)},
        {"nine data frames", withExtra(9, {S::kData, A, 0})},
        {"unlock for another address",
         [&] {
             auto s = fullSequence(A);
             s[9].address = 0x440;
             return s;
         }()},
        {"write for another address",
         [&] {
             auto s = fullSequence(A);
             s[11].address = 0x440;
             return s;
         }()},
        {"erase before unlock",
         [&] {
             auto s = fullSequence(A);
             std::swap(s[9], s[10]);
             return s;
         }()},
        {"data after unlock", withExtra(10, {S::kData, A, 0})},
        {"address above 16 bits", fullSequence(0x10000)},
        {"address not on a page boundary", fullSequence(0x0410)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        ASSERT_TRUE(busClear(*admin_, &err)) << err;
        add(kLumabar, 5, {"mode=bootloader"});
        run(kLbBoot, c.steps, pattern(5));
        EXPECT_EQ(flash(kLumabar, 5).first, 0);
        run(kLbBoot, fullSequence(A), pattern(5));
        EXPECT_EQ(flash(kLumabar, 5).first, 1) << "a fresh load starts the sequence anew";
    }
}

TEST_F(BootloaderTest, CommandWhileTheFlashIsBusyIsLost) {
    add(kLumabar, 5, {"mode=bootloader", "flash_busy_ms=15"});
    run(kLbBoot, fullSequence(0x0080), pattern(9));  // write comes 10 ms after the erase
    EXPECT_EQ(flash(kLumabar, 5).first, 0);
    EXPECT_EQ(device(kLumabar, 5).pageStep, kStepErased)
        << "the lost write left the sequence as it was";
    kelto::sleepMs(10);
    send(kLbBoot.command, command(0x0080, kCmdWrite));
    EXPECT_EQ(flash(kLumabar, 5), std::make_pair(1, crcOf({pattern(9)})));
}

TEST_F(BootloaderTest, EraseMakesAWrittenPageBlank) {
    add(kLumabar, 5, {"mode=bootloader"});
    run(kLbBoot, fullSequence(0x0080), pattern(9));
    ASSERT_EQ(flash(kLumabar, 5).first, 1);
    std::vector<Step> eraseOnly = fullSequence(0x0080);
    eraseOnly.pop_back();
    run(kLbBoot, eraseOnly, pattern(1));
    EXPECT_EQ(flash(kLumabar, 5), std::make_pair(0, crcOf({})));
}

TEST_F(BootloaderTest, DevicesInTheirApplicationIgnorePageFrames) {
    add(kLumabar, 5);
    run(kLbBoot, fullSequence(0x0080), pattern(9));
    EXPECT_EQ(flash(kLumabar, 5).first, 0);
}

}  // namespace
}  // namespace kelto::sim::testing
