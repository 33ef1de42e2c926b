// Cost of the stand-in platform calls on the simulated bus, on the real
// clock: what the tools pay per receive and per send beyond their own waits.
// The bus lives in a fresh temporary directory with a few devices.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CANSessionMux.h"
#include "can_session_mux_internal.h"
#include "clock.h"
#include "device_model.h"
#include "sim_bus.h"

namespace {

using namespace kelto::sim;

std::string busDir;

// A bus with three lighting controllers (3, 12, 20) and two motor
// controllers (5, 9); motor controller 9 sits in its bootloader with a flash
// that is never busy, so page transfers can run back to back.
void setUpBus() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kelto-sim-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    busDir = tmpl + "/bus";
    setenv("KELTO_CAN_BUS", ("sim:" + busDir).c_str(), 1);
    std::string err;
    auto bus = openBus(busDir, &err);
    if (!bus) std::abort();
    busEdit(
        *bus,
        [](BusImage& image, std::string*) {
            const struct {
                Kind kind;
                uint8_t id;
            } devices[] = {
                {kLumabar, 3}, {kLumabar, 12}, {kLumabar, 20}, {kTorvexc, 5}, {kTorvexc, 9}};
            uint32_t slot = 0;
            for (const auto& d : devices)
                image.slots[slot++] = newDevice(d.kind, d.id, kelto::nowUs());
            image.header.slotCount = slot;
            Device& boot = image.slots[4];
            boot.mode = kModeBootloader;
            boot.flashBusyMs = 0;
            return true;
        },
        &err);
}

int32_t receiveOnce(uint32_t id) {
    uint8_t buf[8];
    uint8_t size = 8;
    uint32_t stamp = 0;
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_receiveMessage(&id, 0xFFFFFFFF, buf, &size, &stamp,
                                                          &status);
    return status;
}

int32_t sendOnce(uint32_t id, const uint8_t* data, uint8_t size) {
    int32_t status = 0;
    FRC_NetworkCommunication_CANSessionMux_sendMessage(id, data, size, 0, &status);
    return status;
}

// A receive that finds nothing: the common case of a scan's 128 calls.
void BM_ReceiveNothing(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(receiveOnce(0x08072407));
}
BENCHMARK(BM_ReceiveNothing);

// The whole scan's platform work: 64 receives, then 64 more.
void BM_Scan128Receives(benchmark::State& state) {
    for (auto _ : state) {
        for (uint32_t i = 0; i < 128; ++i)
            benchmark::DoNotOptimize(receiveOnce(0x08072400 | (i % 64)));
    }
}
BENCHMARK(BM_Scan128Receives)->Unit(benchmark::kMicrosecond);

// A query: the empty request frame (the device stores its reply).
void BM_SendQuery(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(sendOnce(0x08073803, nullptr, 0));
}
BENCHMARK(BM_SendQuery);

// A write the device stores: a lighting frame.
void BM_SendLightingFrame(benchmark::State& state) {
    uint8_t rgb[4] = {0, 1, 2, 3};
    for (auto _ : state) benchmark::DoNotOptimize(sendOnce(0x0807000C, rgb, 4));
}
BENCHMARK(BM_SendLightingFrame);

// A frame no device takes.
void BM_SendIgnored(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(sendOnce(0x0C000000, nullptr, 0));
}
BENCHMARK(BM_SendIgnored);

// The 12 frames of one firmware page into a bootloader.
void BM_PageTransfer12Sends(benchmark::State& state) {
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t address = 0;
    for (auto _ : state) {
        auto command = [&](uint8_t code) {
            uint8_t c[8] = {static_cast<uint8_t>(address),
                            static_cast<uint8_t>(address >> 8),
                            0,
                            0x40,
                            code,
                            0,
                            0,
                            0};
            sendOnce(0x1a070042, c, 8);
        };
        command(kCmdLoadAddress);
        for (int i = 0; i < 8; ++i) sendOnce(0x1a070040, data, 8);
        command(kCmdUnlock);
        command(kCmdErase);
        command(kCmdWrite);
        address = (address + 64) & 0xFFC0;
    }
}
BENCHMARK(BM_PageTransfer12Sends)->Unit(benchmark::kMicrosecond);

// The same 12 frames paced as an update sends them, with the updater's
// 10 ms pauses between them (not timed): a frame after a pause meets cold
// caches, which is what a firmware update pays per frame. The time shown is
// the mean per frame; "median_us" is the median frame, which a preempted
// frame of a loaded machine does not move.
void BM_PagedTransferWithPauses(benchmark::State& state) {
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t command[8] = {0, 0, 0, 0x40, kCmdLoadAddress, 0, 0, 0};
    std::vector<double> frames;
    for (auto _ : state) {
        double spent = 0;
        auto timedSend = [&](uint32_t id, const uint8_t* bytes) {
            const auto start = std::chrono::steady_clock::now();
            sendOnce(id, bytes, 8);
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            frames.push_back(s);
            spent += s;
        };
        command[4] = kCmdLoadAddress;
        timedSend(0x1a070042, command);
        for (int i = 0; i < 4; ++i) {
            timedSend(0x1a070040, data);
            timedSend(0x1a070040, data);
            kelto::sleepMs(10);
        }
        for (uint8_t code : {kCmdUnlock, kCmdErase, kCmdWrite}) {
            command[4] = code;
            timedSend(0x1a070042, command);
            kelto::sleepMs(10);
        }
        state.SetIterationTime(spent / 12);
    }
    std::sort(frames.begin(), frames.end());
    state.counters["median_us"] = frames[frames.size() / 2] * 1e6;
}
BENCHMARK(BM_PagedTransferWithPauses)->UseManualTime()->Iterations(40);

// A query on a bus whose trace already holds N frames: what one frame costs
// must not grow with the bus's history.
void BM_SendQueryOnTrace(benchmark::State& state) {
    {
        FILE* trace = std::fopen(tracePath(busDir).c_str(), "w");
        if (trace == nullptr) std::abort();
        for (int64_t k = 0; k < state.range(0); ++k)
            std::fprintf(trace, "(1700000000.%06d) sim 08072405#0000000000000000\n",
                         static_cast<int>(k % 1000000));
        std::fclose(trace);
    }
    for (auto _ : state) benchmark::DoNotOptimize(sendOnce(0x08073803, nullptr, 0));
}
BENCHMARK(BM_SendQueryOnTrace)->Arg(0)->Arg(100000);

// The first call of a process: selection, opening the bus, first read.
void BM_FirstCallOfAProcess(benchmark::State& state) {
    for (auto _ : state) {
        kelto::frc::forgetCanSession();
        benchmark::DoNotOptimize(receiveOnce(0x08072403));
    }
}
BENCHMARK(BM_FirstCallOfAProcess)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    setUpBus();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cmd = "rm -rf '" + busDir.substr(0, busDir.rfind('/')) + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
