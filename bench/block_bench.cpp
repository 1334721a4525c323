// Cost per download block: the program's path (ReadImageBlock, byte 5,
// SendDownloadCommand: request block, manager call through the platform
// layer, poll) against a manager that completes at once, beside the bare cost
// of reading 64 KiB from the same file and copying it once.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "state/SharedState.h"
#include "download/Download.h"
#include "drive/Scsi.h"
#include "platform/Files.h"
#include "platform/aspi.h"

namespace {
constexpr size_t kBlock = 65536;
constexpr size_t kFileSize = 16u << 20;  // stays in the page cache

std::string MakeImageFile() {
    char name[] = "/tmp/quorvel-bench-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) std::abort();
    std::vector<uint8_t> chunk(kBlock);
    for (size_t i = 0; i < kBlock; ++i) chunk[i] = static_cast<uint8_t>(i * 31);
    for (size_t written = 0; written < kFileSize; written += kBlock)
        if (::write(fd, chunk.data(), kBlock) != static_cast<ssize_t>(kBlock)) std::abort();
    ::close(fd);
    return name;
}

const std::string &ImageName() {
    static const std::string name = MakeImageFile();
    return name;
}

void BM_ProgramBlock(benchmark::State &state) {
    if ((aspi::GetASPI32SupportInfo() & 0xFF) != 1) {
        state.SkipWithError("the instant manager is not bound");
        return;
    }
    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    ImageFile = OpenRawFile(ImageName().c_str());
    SelectedAdapter = 0;
    SelectedTarget = 0;
    size_t position = 0;
    for (auto _ : state) {
        if (position + kBlock > kFileSize) position = 0;
        if (!ReadImageBlock(static_cast<int32_t>(position), kBlock)) state.SkipWithError("short read");
        DownloadCommand[5] = 0xFF;
        if (SendDownloadCommand() != 1) state.SkipWithError("refused");
        position += kBlock;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
    CloseRawFile(ImageFile);
    ImageFile = nullptr;
    std::free(TransferBuffer);
    TransferBuffer = nullptr;
}
BENCHMARK(BM_ProgramBlock);

void BM_BareReadAndCopy(benchmark::State &state) {
    std::vector<uint8_t> buffer(kTransferBufferSize);
    std::vector<uint8_t> device(kBlock);
    FILE *file = std::fopen(ImageName().c_str(), "rb");
    size_t position = 0;
    for (auto _ : state) {
        if (position + kBlock > kFileSize) {
            std::rewind(file);
            position = 0;
        }
        if (std::fread(buffer.data(), 1, kBlock, file) != kBlock) state.SkipWithError("short read");
        std::memcpy(device.data(), buffer.data(), kBlock);
        benchmark::DoNotOptimize(device.data());
        benchmark::ClobberMemory();
        position += kBlock;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
    std::fclose(file);
}
BENCHMARK(BM_BareReadAndCopy);

// Reading alone, for the share of the block that is the file.
void BM_BareRead(benchmark::State &state) {
    std::vector<uint8_t> buffer(kTransferBufferSize);
    FILE *file = std::fopen(ImageName().c_str(), "rb");
    size_t position = 0;
    for (auto _ : state) {
        if (position + kBlock > kFileSize) {
            std::rewind(file);
            position = 0;
        }
        if (std::fread(buffer.data(), 1, kBlock, file) != kBlock) state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer.data());
        position += kBlock;
    }
    std::fclose(file);
}
BENCHMARK(BM_BareRead);

// The command alone: request block, manager call and poll, no file read.
void BM_CommandOnly(benchmark::State &state) {
    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    for (auto _ : state) benchmark::DoNotOptimize(SendDownloadCommand());
    std::free(TransferBuffer);
    TransferBuffer = nullptr;
}
BENCHMARK(BM_CommandOnly);
}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(ImageName().c_str());
    return 0;
}
