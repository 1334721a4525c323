// The start-up sequence and the commands the window itself handles: the
// platform refusal, a failed version query, Exit and the close box, routing.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <functional>
#include <stdexcept>

#include "tests/app/WindowFixture.h"

namespace {

struct StartupFixture : WindowFixture {
    int supportInfoCalls = 0;
    void CountSupportInfo() {
        auto inner = layer.supportInfo;
        layer.supportInfo = [this, inner] {
            ++supportInfoCalls;
            return inner();
        };
    }
};

TEST_F(StartupFixture, PlatformTwoIsRefusedWithoutAnyProbe) {
    CountSupportInfo();
    layer.versionSucceeds = true;
    layer.platformId = 2;
    AutorunFlag = 1;
    CreateWindows();

    const auto boxes = layer.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Run in WINDOWS 98/ME !!");
    EXPECT_EQ(boxes[0].caption, "MESSAGE");
    EXPECT_EQ(boxes[0].style, 0x1010u);
    EXPECT_EQ(boxes[0].owner, form.get());
    EXPECT_EQ(layer.QuitRequests(), std::vector<int>{0});
    EXPECT_EQ(supportInfoCalls, 0);
    EXPECT_EQ(aspi.RequestCount(), 0u);
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_STREQ(ImagePath, "");
    EXPECT_EQ(form->ComboBox1->count(), 0);
    // The sequence still ran to its end.
    EXPECT_EQ(form->ComboBox1->width(), 217);
}

TEST_F(StartupFixture, FailedVersionQueryGoesOnAsOnWindows98) {
    CountSupportInfo();
    layer.versionSucceeds = false;
    layer.platformId = 2;  // never reported: the query fails
    CreateWindows();
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_TRUE(layer.QuitRequests().empty());
    EXPECT_EQ(supportInfoCalls, 1);
    EXPECT_EQ(form->ComboBox1->count(), 1);
}

TEST_F(StartupFixture, PlatformOneDiscoversTheDrives) {
    layer.versionSucceeds = true;
    layer.platformId = 1;
    CreateWindows();
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(DriveCount, 1);
    EXPECT_EQ(SelectedTarget, 1);
    EXPECT_STREQ(DriveModel, "QUORVEL CDRW-4824A      ");
    EXPECT_STREQ(DriveVersion, "1.10");
}

TEST_F(StartupFixture, SequenceRunsInItsOrderWithTheBufferReadyForDiscovery) {
    CreateWindows();
    ASSERT_NE(TransferBuffer, nullptr);
    const auto requests = aspi.Requests();
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_EQ(requests[0].srb.SRB_BufPointer, TransferBuffer);
    const auto events = layer.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "GetVersionEx");
    // Without autorun the image path is empty after start-up.
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_STREQ(ImagePath, "");
    EXPECT_EQ(ImageSize, 0);
}

// The message loop ends, with 0, when the window closes; a watchdog ends a
// loop that would otherwise run on with another code.
int RunLoopAfter(const std::function<void()> &action) {
    QTimer::singleShot(0, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(20000);
    return QApplication::exec();
}

TEST_F(StartupFixture, ExitEndsTheProgramWithoutConfirmation) {
    CreateWindows();
    form->show();
    EXPECT_EQ(RunLoopAfter([&] { form->Exit1->trigger(); }), 0);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(layer.Boxes().empty());
}

TEST_F(StartupFixture, CloseBoxEndsTheProgramAsExitDoes) {
    CreateWindows();
    form->show();
    EXPECT_EQ(RunLoopAfter([&] { form->windowHandle()->close(); }), 0);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(layer.Boxes().empty());
}

TEST_F(StartupFixture, EveryCommandIsAvailableAndRoutedFromButtonAndMenu) {
    CreateWindows();
    // Download without an image is refused by its own handler: one box from
    // the button, one from the menu, both the same.
    layer.Clear();
    form->ToolButton2->click();
    form->Download1->trigger();
    const auto boxes = layer.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, boxes[1].text);
    // Open from the button and the menu both run the file dialog.
    layer.Clear();
    form->ToolButton1->click();
    form->Open1->trigger();
    int dialogs = 0;
    for (const auto &event : layer.Events()) dialogs += event == "OpenDialog";
    EXPECT_EQ(dialogs, 2);
}

TEST_F(StartupFixture, ProgrammaticIndexChangeIsNoDriveChange) {
    aspi.AddDevice(0, 3, 0x05, "QUORVEL DVDRW-1612B     2.04");
    CreateWindows();
    layer.Clear();
    form->ComboBox1->setCurrentIndex(1);
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(SelectedIndex, 0);
    EXPECT_EQ(SelectedTarget, 1);
}

}  // namespace

namespace {

TEST_F(StartupFixture, ExceptionDisplayShowsTheMessageInAnErrorBox) {
    CreateWindows();
    layer.Clear();
    ShowApplicationException(std::runtime_error("Out of resources"));
    ShowApplicationException(std::runtime_error(""));
    const auto boxes = layer.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Out of resources");
    EXPECT_EQ(boxes[0].caption, "QUORVEL");
    EXPECT_EQ(boxes[0].style, MB_OK | MB_ICONERROR);
    EXPECT_EQ(boxes[0].owner, form.get());
    EXPECT_FALSE(boxes[1].text.empty());
}

TEST_F(StartupFixture, ExceptionDisplayWithoutAWindowHasNoOwner) {
    ShowApplicationException(std::runtime_error("Early failure"));
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].owner, nullptr);
}

}  // namespace
