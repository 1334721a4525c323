// Timer1Timer, ticked by hand: the bar by elapsed time, and the restart once
// the user has closed the result message, never before.
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "state/SharedState.h"
#include "app/WindowFlash.h"
#include "tests/download/DownloadFixture.h"

namespace {
constexpr int32_t KiB = 1024;

int CountEvents(RecorderLayer &layer, const std::string &event) {
    int n = 0;
    for (const std::string &e : layer.Events()) n += e == event;
    return n;
}
}  // namespace

TEST_F(DownloadFlow, FirstTickShowsZeroAndSixteenBlocksFillTheBarOnTick89) {
    BlockCount = 16;
    form->Timer1->start();
    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(TimerTicks, 1);
    const int expected[] = {1, 2, 3, 4, 5, 6, 7, 9};
    for (int value : expected) {
        form->Timer1Timer(form->Timer1);
        EXPECT_EQ(form->ProgressBar1->value(), value);
    }
    for (int tick = 10; tick <= 88; ++tick) form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 98);
    form->Timer1Timer(form->Timer1);  // tick 89
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    EXPECT_EQ(TimerTicks, 89);
    // a full bar is no longer updated, and the count stops with it
    for (int tick = 0; tick < 5; ++tick) form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    EXPECT_EQ(TimerTicks, 89);
    // a final command that never completes: no restart, however long
    EXPECT_FALSE(HasEvent("ExitWindowsEx 2 0"));
    EXPECT_TRUE(form->Timer1->isActive());
}

// The restart follows from the flash's state alone: with no flash awaiting
// it, no tick ever asks for one.
TEST_F(DownloadFlow, WithoutAFlashNoTickAsksForTheRestart) {
    BlockCount = 4;
    form->Timer1->start();
    for (int tick = 0; tick < 3; ++tick) form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 25) << "the bar moves all the same";
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_TRUE(layer.Events().empty());
}

TEST_F(DownloadFlow, AnAcceptedFinalBlockFillsTheBarAtOnceThenTheRestartFollows) {
    LoadImage(100 * KiB, 60, 1);
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    form->Timer1Timer(form->Timer1);
    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 33);

    bool restartBeforeClose = true;
    FlashState stateWhileOpen = FlashState::Idle;
    layer.onBox = [&](const BoxRecord &) {
        EXPECT_EQ(form->ProgressBar1->value(), 100);
        // ticks while the message is open request nothing
        form->Timer1Timer(form->Timer1);
        restartBeforeClose = HasEvent("ExitWindowsEx 2 0");
        stateWhileOpen = CurrentFlashState();
    };
    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_FALSE(restartBeforeClose);
    EXPECT_EQ(stateWhileOpen, FlashState::ResultShown);
    EXPECT_EQ(TimerTicks, 2) << "a full bar is not moved again";
    EXPECT_TRUE(form->Timer1->isActive());

    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(CountEvents(layer, "ExitWindowsEx 2 0"), 1);
    EXPECT_GT(EventIndex("ExitWindowsEx"), EventIndex("MessageBox closed"));
    EXPECT_LT(EventIndex("ReleaseInhibit"), EventIndex("ExitWindowsEx")) << "our inhibitor must not hold it off";
}

TEST_F(DownloadFlow, AfterFailTheBarKeepsMovingWhileTheBoxIsOpenAndTheRestartFollows) {
    LoadImage(100 * KiB, 60, 1);  // D = 3
    aspi->decide = [](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF ? SS_ERR : SS_COMP;
    };
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 0);

    std::vector<int> barWhileOpen;
    bool restartBeforeClose = true;
    layer.onBox = [&](const BoxRecord &box) {
        EXPECT_EQ(box.text, " DOWNLOAD FAIL!! \nRestart WINDOWS");
        EXPECT_EQ(form->StaticText5->text(), "FAIL");
        form->Timer1Timer(form->Timer1);
        barWhileOpen.push_back(form->ProgressBar1->value());
        form->Timer1Timer(form->Timer1);
        barWhileOpen.push_back(form->ProgressBar1->value());
        restartBeforeClose = HasEvent("ExitWindowsEx 2 0");
    };
    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(barWhileOpen, (std::vector<int>{33, 66}));
    EXPECT_FALSE(restartBeforeClose);

    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(CountEvents(layer, "ExitWindowsEx 2 0"), 1);
    // a stopped timer asks for nothing more
    EXPECT_GT(EventIndex("ExitWindowsEx"), EventIndex("MessageBox closed"));
}

TEST_F(DownloadFlow, EachDownloadStartsTheBarAndTheCountFromZero) {
    LoadImage(100 * KiB, 60, 1);
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    form->Timer1Timer(form->Timer1);  // the restart, which the system then refuses
    ReportRestartRefusal("it was not allowed.");
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    // a second download after a refused restart measures its own time
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(TimerTicks, 0);
    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
}
