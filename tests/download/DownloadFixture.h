// A window with a drive behind an in-process manager, an image file written
// by the test, and the shared state as Open leaves it, for the download's
// flow tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QAction>
#include <QToolButton>

#include "app/Main.h"
#include "tests/support/FakeAspi.h"
#include "tests/support/RecorderLayer.h"

// RecorderLayer whose threads are counted (and can be made to fail to start).
class ThreadCountingLayer : public RecorderLayer {
public:
    HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *param) override;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    bool failThreads = false;
};

class DownloadFlow : public ::testing::Test {
protected:
    static constexpr uint8_t kAdapter = 1;
    static constexpr uint8_t kTarget = 3;
    static constexpr uint8_t kBufferFill = 0xA7;

    void SetUp() override;
    void TearDown() override;

    // Writes `size` bytes of a position-dependent pattern and loads the image
    // as Open would: ImagePath, ImageSize, BlockSizeKb, BlockCount.
    void LoadImage(int32_t size, int32_t blockSizeKb, int32_t blockCount);
    std::vector<uint8_t> FileBytes() const;

    // Download commands the drive received (INQUIRY at start-up left out).
    std::vector<FakeRequest> Downloads();
    // The first 65536 bytes of TransferBuffer after each read of the plan,
    // starting from the buffer as the test left it.
    std::vector<std::vector<uint8_t>> ExpectedTransfers(const std::vector<int32_t> &lengths);

    // Processes events until `done` or a generous deadline; false on the deadline.
    static bool WaitFor(const std::function<bool()> &done);
    // Waits until every worker started has ended (its result message closed).
    bool WaitForWorkers();
    // The tick after the result box asks for the restart, and the system
    // refuses it: the program is idle again.
    void RestartRefusedBySystem();

    // The boxes' texts, and the events of the layer, in order.
    std::vector<std::string> BoxTexts();
    bool HasEvent(const std::string &event);
    int EventIndex(const std::string &prefix);  // first event starting so; -1 when none

    ThreadCountingLayer layer;
    std::unique_ptr<FakeAspi> aspi;
    std::unique_ptr<TForm1> form;
    std::string dir;
    std::string path;
    std::vector<uint8_t> bufferBefore;
};
