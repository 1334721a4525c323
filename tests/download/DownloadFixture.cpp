#include "tests/download/DownloadFixture.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "state/SharedState.h"
#include "image/Trailer.h"
#include "app/WindowFlash.h"

namespace {
struct Trampoline {
    LPTHREAD_START_ROUTINE start;
    void *param;
    ThreadCountingLayer *layer;
};

DWORD RunCounted(void *raw) {
    auto *t = static_cast<Trampoline *>(raw);
    const DWORD result = t->start(t->param);
    ThreadCountingLayer *layer = t->layer;
    delete t;
    layer->finished.fetch_add(1);
    return result;
}

uint8_t PatternByte(int32_t i) { return static_cast<uint8_t>((i * 31 + (i >> 8) * 7 + (i >> 16)) & 0xFF); }
}  // namespace

HANDLE ThreadCountingLayer::CreateThread(LPTHREAD_START_ROUTINE start, void *param) {
    if (failThreads) return nullptr;
    started.fetch_add(1);
    return RecorderLayer::CreateThread(RunCounted, new Trampoline{start, param, this});
}

void DownloadFlow::SetUp() {
    aspi = std::make_unique<FakeAspi>(layer);
    aspi->SetAdapters(2);
    aspi->AddDevice(kAdapter, kTarget, 0x05, "QUORVEL CDRW-4824A      1.10");
    form = std::make_unique<TForm1>();
    // The tests tick Timer1Timer by hand: the timer itself must never fire
    // on its own, however slowly a case runs.
    form->Timer1->setInterval(24 * 3600 * 1000);
    ASSERT_NE(TransferBuffer, nullptr);
    SelectedAdapter = kAdapter;
    SelectedTarget = kTarget;
    std::memset(TransferBuffer, kBufferFill, kTransferBufferSize);
    bufferBefore.assign(TransferBuffer, TransferBuffer + kTransferBufferSize);
    char pattern[] = "/tmp/quorvel-download-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    layer.Clear();
}

void DownloadFlow::TearDown() {
    aspi->OpenGate();
    EXPECT_TRUE(WaitFor([this] { return layer.finished.load() == layer.started.load(); })) << "a worker did not end";
    if (!path.empty()) std::remove(path.c_str());
    ::rmdir(dir.c_str());
    // The window lives to the end of the process, as it does in the program:
    // each case runs in a process of its own.
    (void)form.release();
    aspi.reset();
}

void DownloadFlow::LoadImage(int32_t size, int32_t blockSizeKb, int32_t blockCount) {
    path = dir + "/IMAGE.BIN";
    FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (int32_t i = 0; i < size; ++i) bytes[static_cast<size_t>(i)] = PatternByte(i);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    std::snprintf(ImagePath, sizeof ImagePath, "%s", path.c_str());
    // the trailer as loading the image found it
    if (size >= 48) {
        const int64_t offset = TrailerOffset(size, bytes[static_cast<size_t>(size - 48)]);
        if (offset >= 0) std::memcpy(ImageTrailer, bytes.data() + offset, sizeof ImageTrailer);
    }
    ImageSize = size;
    BlockSizeKb = blockSizeKb;
    BlockCount = blockCount;
}

std::vector<uint8_t> DownloadFlow::FileBytes() const {
    std::vector<uint8_t> bytes;
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return bytes;
    int c;
    while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return bytes;
}

std::vector<FakeRequest> DownloadFlow::Downloads() {
    std::vector<FakeRequest> downloads;
    for (FakeRequest &request : aspi->Requests())
        if (request.srb.CDBByte[0] == 0xFF) downloads.push_back(std::move(request));
    return downloads;
}

std::vector<std::vector<uint8_t>> DownloadFlow::ExpectedTransfers(const std::vector<int32_t> &lengths) {
    const std::vector<uint8_t> file = FileBytes();
    std::vector<uint8_t> buffer = bufferBefore;
    std::vector<std::vector<uint8_t>> transfers;
    size_t offset = 0;
    for (int32_t length : lengths) {
        std::copy(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + length),
                  buffer.begin());
        offset += static_cast<size_t>(length);
        transfers.emplace_back(buffer.begin(), buffer.begin() + 65536);
    }
    return transfers;
}

bool DownloadFlow::WaitFor(const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool DownloadFlow::WaitForWorkers() {
    // The flash's worker has ended, and the window has acted on everything
    // it told: the drive's answer, and the box that says it.
    return WaitFor([this] {
        const FlashState state = CurrentFlashState();
        return layer.finished.load() == layer.started.load() && !DriveBeingWritten(CurrentFlashState()) &&
               state != FlashState::Sending && state != FlashState::FinalInDrive && state != FlashState::Ending &&
               (state != FlashState::Idle || layer.transfersRunning.load() == 0);
    });
}

void DownloadFlow::RestartRefusedBySystem() {
    form->Timer1Timer(form->Timer1);
    ReportRestartRefusal("it was not allowed.");
}

std::vector<std::string> DownloadFlow::BoxTexts() {
    std::vector<std::string> texts;
    for (const BoxRecord &box : layer.Boxes()) texts.push_back(box.text);
    return texts;
}

bool DownloadFlow::HasEvent(const std::string &event) {
    for (const std::string &e : layer.Events())
        if (e == event) return true;
    return false;
}

int DownloadFlow::EventIndex(const std::string &prefix) {
    const std::vector<std::string> events = layer.Events();
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
}
