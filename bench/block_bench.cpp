// Cost per download block: the program's path for one block as the worker
// sends it (SendImageBlock: the block from the flash's copy of the image into
// TransferBuffer, byte 5, the request block, the manager call through the
// platform layer, the wait for the status) against a manager that completes
// at once, beside the bare cost of reading the same 64 KiB from the image
// file in the page cache. The two run interleaved, repetition by repetition
// (--benchmark_enable_random_interleaving), so that run.sh can take their
// ratio round by round.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/BlockPlan.h"
#include "transfer/Transfer.h"
#include "drive/Scsi.h"
#include "platform/aspi.h"
#include "state/SharedState.h"

namespace {
constexpr size_t kBlock = 65536;
constexpr size_t kImageSize = 16u << 20;  // stays in the page cache, and in memory

std::vector<uint8_t> MakeImage() {
    std::vector<uint8_t> image(kImageSize);
    for (size_t i = 0; i < kImageSize; ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 16));
    return image;
}

const std::vector<uint8_t> &Image() {
    static const std::vector<uint8_t> image = MakeImage();
    return image;
}

std::string MakeImageFile() {
    char name[] = "/tmp/quorvel-bench-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) std::abort();
    if (::write(fd, Image().data(), kImageSize) != static_cast<ssize_t>(kImageSize)) std::abort();
    ::close(fd);
    return name;
}

const std::string &ImageName() {
    static const std::string name = [] {
        std::string made = MakeImageFile();
        std::atexit([] { ::unlink(ImageName().c_str()); });
        return made;
    }();
    return name;
}

// The program's path for one 64 KiB block, walking through the image.
void BM_ProgramBlock(benchmark::State &state) {
    if ((aspi::GetASPI32SupportInfo() & 0xFF) != 1) {
        state.SkipWithError("the instant manager is not bound");
        return;
    }
    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    const uint8_t *image = Image().data();
    BlockStep step{0, static_cast<int32_t>(kBlock), kFurtherBlockMark};
    for (auto _ : state) {
        if (static_cast<size_t>(step.offset) + kBlock > kImageSize) step.offset = 0;
        if (SendImageBlock(image, step, 0, 0).status != SS_COMP) state.SkipWithError("refused");
        step.offset += static_cast<int32_t>(kBlock);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
    std::free(TransferBuffer);
    TransferBuffer = nullptr;
}
BENCHMARK(BM_ProgramBlock);

// The bare read of the same 64 KiB, from the file in the page cache.
void BM_BareRead(benchmark::State &state) {
    std::vector<uint8_t> buffer(kBlock);
    const int fd = ::open(ImageName().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open the image file");
        return;
    }
    off_t position = 0;
    for (auto _ : state) {
        if (static_cast<size_t>(position) + kBlock > kImageSize) position = 0;
        if (::pread(fd, buffer.data(), kBlock, position) != static_cast<ssize_t>(kBlock))
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
        position += static_cast<off_t>(kBlock);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
    ::close(fd);
}
BENCHMARK(BM_BareRead);

// The command alone: request block, the manager call, the status.
void BM_CommandOnly(benchmark::State &state) {
    std::vector<uint8_t> buffer(kBlock);
    for (auto _ : state) {
        if (ExecuteScsiCommand(0, 0, DownloadCommand, 12, buffer.data(), kBlock) != SS_COMP)
            state.SkipWithError("refused");
    }
}
BENCHMARK(BM_CommandOnly);
}  // namespace

BENCHMARK_MAIN();
