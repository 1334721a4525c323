// A whole flash against the drive's own time: the blocks of a 12-block image
// sent as the worker sends them (SendImageBlock for every step of the block
// plan, each waiting for its status), to bench/timed's drive, which takes T
// over every command and ends it either before the call returns ("now") or
// later from its own thread ("later"). Per repetition the counter `ratio` is
// the flash's wall time over the drive's own time, summed over the blocks
// (each from the call to the status, as the drive stored it); `nominal` is
// the same against 12 x T.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/BlockPlan.h"
#include "transfer/Transfer.h"
#include "platform/aspi.h"
#include "state/SharedState.h"

namespace {
constexpr int kBlocks = 12;
constexpr int32_t kBlockKb = 64;
constexpr int32_t kImageSize = kBlocks * kBlockKb * 1024;

using SetDriveFn = void (*)(uint32_t, int);
using DriveTimeFn = uint64_t (*)();

struct TimedDrive {
    SetDriveFn set = nullptr;
    DriveTimeFn spent = nullptr;
};

// The bench manager, as the program bound it.
TimedDrive Bind() {
    TimedDrive drive;
    if ((aspi::GetASPI32SupportInfo() & 0xFF) != 1) return drive;
    if (void *library = dlopen("libwnaspi32.so.1", RTLD_NOW | RTLD_NOLOAD)) {
        drive.set = reinterpret_cast<SetDriveFn>(dlsym(library, "BenchSetDrive"));
        drive.spent = reinterpret_cast<DriveTimeFn>(dlsym(library, "BenchDriveNanoseconds"));
    }
    return drive;
}

void BM_Flash(benchmark::State &state) {
    static const TimedDrive drive = Bind();
    if (drive.set == nullptr || drive.spent == nullptr) {
        state.SkipWithError("bench/timed's manager is not bound");
        return;
    }
    const auto commandTime = std::chrono::microseconds(state.range(0));
    drive.set(static_cast<uint32_t>(commandTime.count()), static_cast<int>(state.range(1)));
    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    std::vector<uint8_t> image(kImageSize);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    const BlockPlan plan = MakeBlockPlan(kImageSize, kBlockKb, kBlocks, kTransferBufferSize);
    if (plan.verdict != PlanVerdict::Ok || plan.steps.size() != kBlocks) {
        state.SkipWithError("no plan of 12 blocks");
        return;
    }

    double flashSeconds = 0;
    double driveSeconds = 0;
    for (auto _ : state) {
        const uint64_t driveBefore = drive.spent();
        const auto start = std::chrono::steady_clock::now();
        for (const BlockStep &step : plan.steps)
            if (SendImageBlock(image.data(), step, 0, 0).status != SS_COMP) state.SkipWithError("refused");
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        flashSeconds += elapsed;
        driveSeconds += static_cast<double>(drive.spent() - driveBefore) / 1e9;
    }
    const double nominal = static_cast<double>(state.iterations()) * kBlocks *
                           std::chrono::duration<double>(commandTime).count();
    state.counters["ratio"] = flashSeconds / driveSeconds;
    state.counters["nominal"] = nominal > 0 ? flashSeconds / nominal : 0;  // no set time: 0
    state.counters["drive_us"] = driveSeconds / static_cast<double>(state.iterations() * kBlocks) * 1e6;
    state.counters["block_us"] = flashSeconds / static_cast<double>(state.iterations() * kBlocks) * 1e6;
    std::free(TransferBuffer);
    TransferBuffer = nullptr;
}

// {time per command in microseconds, 1: the drive ends it from its own thread}
// and enough flashes for about half a second each. A drive that ends every
// command at once from its own thread (0 us) shows what a block costs beyond
// the drive's hand-over.
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({0, 1})->Iterations(2000)->UseManualTime();
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({1000, 1})->Iterations(40)->UseManualTime();
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({10000, 1})->Iterations(5)->UseManualTime();
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({100000, 1})->Iterations(1)->UseManualTime();
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({1000, 0})->Iterations(40)->UseManualTime();
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({10000, 0})->Iterations(5)->UseManualTime();
BENCHMARK(BM_Flash)->ArgNames({"us", "later"})->Args({100000, 0})->Iterations(1)->UseManualTime();
}  // namespace

BENCHMARK_MAIN();
