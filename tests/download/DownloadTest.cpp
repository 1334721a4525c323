// The Download command through TForm1: what the drive receives, byte for
// byte, and what the user sees, on every path.
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <atomic>
#include <cstring>

#include "state/SharedState.h"
#include "app/WindowFlash.h"
#include "drive/Scsi.h"
#include "platform/window/win32_window.h"
#include "tests/download/DownloadFixture.h"

namespace {
constexpr int32_t KiB = 1024;
const char kOk[] = "  DOWNLOAD OK!!  \nRestart WINDOWS";
const char kFail[] = " DOWNLOAD FAIL!! \nRestart WINDOWS";

std::vector<uint8_t> Cdb(const FakeRequest &request) {
    return std::vector<uint8_t>(request.srb.CDBByte, request.srb.CDBByte + 16);
}
std::vector<uint8_t> DownloadCdb(uint8_t byte5) {
    return {0xFF, 0x00, 0x01, 0x00, 0x00, byte5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0};
}

// Every command: the same record but for byte 5, 65536 bytes from the start
// of TransferBuffer, to the selected drive.
void ExpectDownloadRecord(const FakeRequest &request, uint8_t byte5, uint8_t adapter, uint8_t target) {
    EXPECT_EQ(request.srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(request.srb.SRB_HaId, adapter);
    EXPECT_EQ(request.srb.SRB_Target, target);
    EXPECT_EQ(request.srb.SRB_Lun, 0);
    EXPECT_EQ(request.srb.SRB_Flags, 0x02);
    EXPECT_EQ(request.srb.SRB_BufLen, 65536u);
    EXPECT_EQ(request.srb.SRB_BufPointer, TransferBuffer);
    EXPECT_EQ(request.srb.SRB_SenseLen, 14);
    EXPECT_EQ(request.srb.SRB_CDBLen, 12);
    EXPECT_EQ(Cdb(request), DownloadCdb(byte5));
    EXPECT_EQ(request.data.size(), 65536u);
}
}  // namespace

TEST_F(DownloadFlow, SevenBlocksGoOutByteExactAndTheResultIsReported) {
    LoadImage(384 * KiB, 60, 7);
    form->StaticText5->setText("READY");
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(ImageFile, nullptr);
    ASSERT_TRUE(WaitForWorkers());

    const std::vector<FakeRequest> sent = Downloads();
    ASSERT_EQ(sent.size(), 7u);
    const uint8_t marks[7] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 24};
    const auto expected = ExpectedTransfers({61440, 61440, 61440, 61440, 61440, 61440, 24576});
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        ExpectDownloadRecord(sent[i], marks[i], kAdapter, kTarget);
        EXPECT_TRUE(sent[i].data == expected[i]) << "the bytes the drive received";
    }
    // beyond each 61440-byte block the buffer's earlier contents went out
    EXPECT_EQ(sent[0].data[61440], kBufferFill);
    EXPECT_EQ(sent[0].data[65535], kBufferFill);
    // the final block is followed by what block 6 left there
    EXPECT_EQ(sent[6].data[24576], FileBytes()[5 * 61440 + 24576]);

    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kOk});
    const BoxRecord box = layer.Boxes().at(0);
    EXPECT_EQ(box.caption, "MESSAGE");
    EXPECT_EQ(box.style, 0x1000u);
    EXPECT_EQ(box.owner, form.get());
    EXPECT_TRUE(box.onUiThread);
    EXPECT_EQ(form->StaticText5->text(), "OK");
    EXPECT_EQ(form->ProgressBar1->value(), 100);
    EXPECT_EQ(CurrentFlashState(), FlashState::RestartPending);
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(layer.cursor, crDefault);
    EXPECT_EQ(layer.capture, nullptr);

    // capture, hourglass and inhibitor before the first block; the inhibitor
    // released before the result, the cursor and capture at the result
    const int capture = EventIndex("SetCapture");
    const int hourglass = EventIndex("Cursor -11");
    const int inhibit = EventIndex("Inhibit ");
    const int released = EventIndex("ReleaseInhibit");
    const int cursorBack = EventIndex("Cursor 0");
    const int uncapture = EventIndex("ReleaseCapture");
    const int result = EventIndex("MessageBox ");
    ASSERT_GE(capture, 0);
    EXPECT_LT(capture, hourglass);
    EXPECT_LT(hourglass, inhibit);
    EXPECT_LT(inhibit, released);
    EXPECT_LT(released, cursorBack);
    EXPECT_LT(cursorBack, uncapture);
    EXPECT_LT(uncapture, result);
    EXPECT_NE(layer.Events().at(static_cast<size_t>(inhibit)).find("firmware"), std::string::npos);
    EXPECT_FALSE(HasEvent("ExitWindowsEx 2 0")) << "the restart belongs to the timer";
}

TEST_F(DownloadFlow, WhileTheFinalBlockIsInTheDriveTheWindowWaits) {
    LoadImage(100 * KiB, 60, 1);
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    // The window starts the timer as the final block goes out.
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1 && form->Timer1->isActive(); }));
    EXPECT_EQ(form->StaticText5->text(), "WAIT..");
    EXPECT_EQ(CurrentFlashState(), FlashState::FinalInDrive);
    EXPECT_EQ(layer.cursor, crHourGlass);
    EXPECT_EQ(layer.capture, form.get());
    EXPECT_TRUE(DriveBeingWritten(CurrentFlashState()));
    EXPECT_FALSE(HasEvent("ReleaseInhibit")) << "the flash is being written";
    EXPECT_EQ(ImageFile, nullptr) << "the worker does not use the file";

    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_TRUE(HasEvent("ReleaseInhibit"));
    EXPECT_FALSE(DriveBeingWritten(CurrentFlashState()));
}

TEST_F(DownloadFlow, EveryShapeOfImageGoesOutByteExact) {
    struct Case {
        int32_t size, kb, count;
        std::vector<int32_t> reads;  // bytes read from the file per command
        std::vector<uint8_t> marks;  // byte 5 per command
    };
    const Case cases[] = {
        // one block: the worker sends the whole file, marked with its KiB count
        {200 * KiB + 100, 60, 1, {200 * KiB + 100}, {200}},
        // two blocks: one first block, then the final
        {100 * KiB, 64, 2, {64 * KiB, 36 * KiB}, {0x00, 36}},
        // a final block of 300 KiB keeps the low 8 bits of its KiB count
        {60 * KiB + 300 * KiB, 60, 2, {60 * KiB, 300 * KiB}, {0x00, 44}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        const size_t before = Downloads().size();
        LoadImage(c.size, c.kb, c.count);
        std::memcpy(TransferBuffer, bufferBefore.data(), bufferBefore.size());
        form->ToolButton2Click(form->ToolButton2);
        ASSERT_TRUE(WaitForWorkers());
        const auto sent = Downloads();
        ASSERT_EQ(sent.size() - before, c.reads.size());
        const auto expected = ExpectedTransfers(c.reads);
        for (size_t i = 0; i < c.reads.size(); ++i) {
            ExpectDownloadRecord(sent[before + i], c.marks[i], kAdapter, kTarget);
            EXPECT_TRUE(sent[before + i].data == expected[i]) << "command " << i + 1;
        }
        RestartRefusedBySystem();
    }
    EXPECT_EQ(layer.started.load(), 3);
}

TEST_F(DownloadFlow, OneMbAnd48BytesSendsTheFirst65536BytesOfA65584ByteFinalBlock) {
    LoadImage(1024 * KiB + 48, 60, 17);
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    const auto sent = Downloads();
    ASSERT_EQ(sent.size(), 17u);
    ExpectDownloadRecord(sent[16], 64, kAdapter, kTarget);
    const std::vector<uint8_t> file = FileBytes();
    EXPECT_TRUE(std::equal(sent[16].data.begin(), sent[16].data.end(), file.begin() + 16 * 61440));
}

TEST_F(DownloadFlow, ARefusedThirdBlockEndsTheTransferAndTellsTheUser) {
    LoadImage(384 * KiB, 60, 7);
    std::atomic<int> downloads{0};
    aspi->decide = [&downloads](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        if (srb.CDBByte[0] == 0xFF && ++downloads == 3) return SS_ERR;
        return SS_COMP;
    };
    form->Timer1->stop();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());

    EXPECT_EQ(Downloads().size(), 3u) << "two accepted, the third refused, nothing after it";
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(layer.started.load(), 1) << "the transfer's one worker";
    EXPECT_EQ(CurrentFlashState(), FlashState::Idle) << "no final block went out: no restart awaited";
    EXPECT_EQ(layer.cursor, crDefault);
    EXPECT_EQ(layer.capture, nullptr);
    EXPECT_EQ(ImageFile, nullptr);
    EXPECT_TRUE(HasEvent("ReleaseInhibit"));
    EXPECT_EQ(form->StaticText5->text(), "FAIL");
    ASSERT_EQ(layer.Boxes().size(), 1u);
    const BoxRecord box = layer.Boxes()[0];
    EXPECT_EQ(box.text, " DOWNLOAD FAIL!! \nThe drive refused block 3 of 7.");
    EXPECT_EQ(box.text.find("Restart"), std::string::npos) << "no restart follows";
    EXPECT_EQ(box.caption, "MESSAGE");
    EXPECT_EQ(box.style, 0x1010u);
    // the box comes after the cursor and the mouse are free again
    EXPECT_LT(EventIndex("ReleaseCapture"), EventIndex("MessageBox "));

    // the image stays loaded; a second Download starts over at block 0
    downloads = 100;
    layer.Clear();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    const auto sent = Downloads();
    ASSERT_EQ(sent.size(), 3u + 7u);
    ExpectDownloadRecord(sent[3], 0x00, kAdapter, kTarget);
    EXPECT_TRUE(sent[3].data == ExpectedTransfers({61440})[0]);
    EXPECT_EQ(Cdb(sent[4])[5], 0xFF);
    EXPECT_EQ(Cdb(sent[9])[5], 24);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kOk});
}

TEST_F(DownloadFlow, NoImageLoadedOnlyShowsFlashFileNotOpened) {
    LoadImage(100 * KiB, 60, 2);
    ImageSize = 0;  // as after a drive change or a failed Open
    form->StaticText5->setText("READY");
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_TRUE(Downloads().empty());
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, "Flash File Not Opened!!");
    EXPECT_EQ(layer.Boxes()[0].caption, "MESSAGE");
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(layer.Boxes()[0].owner, form.get());
    EXPECT_EQ(form->StaticText5->text(), "READY");
    EXPECT_EQ(layer.Events(), (std::vector<std::string>{"MessageBox Flash File Not Opened!!", "MessageBox closed"}));
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(ImageFile, nullptr);
}

TEST_F(DownloadFlow, AnImageThatCannotBeOpenedOrHasChangedSizeIsNotSent) {
    LoadImage(100 * KiB, 60, 2);
    // grown since it was loaded
    FILE *file = std::fopen(path.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputc(0x55, file);
    std::fclose(file);
    form->ToolButton2Click(form->ToolButton2);
    // shrunk since it was loaded
    ASSERT_EQ(::truncate(path.c_str(), 99 * KiB), 0);
    form->ToolButton2Click(form->ToolButton2);
    // gone
    std::remove(path.c_str());
    form->ToolButton2Click(form->ToolButton2);
    // never there: an empty path, as after start-up without autorun
    ImagePath[0] = '\0';
    form->ToolButton2Click(form->ToolButton2);

    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>(4, "Flash File Not Opened!!"));
    EXPECT_FALSE(HasEvent("SetCapture"));
    EXPECT_EQ(ImageFile, nullptr);
}

TEST_F(DownloadFlow, AnotherImageOfTheSameLengthIsNotSent) {
    LoadImage(384 * KiB, 60, 7);
    // the file was replaced by another of the same length: its trailer differs
    FILE *file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 384 * KiB - 48 + 24, SEEK_SET);
    std::fputs("9.99", file);
    std::fclose(file);
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Flash File Not Opened!!"});
    EXPECT_FALSE(HasEvent("SetCapture"));
    EXPECT_EQ(ImageFile, nullptr);
}

TEST_F(DownloadFlow, AFifoPutInPlaceOfTheImageDoesNotHoldUpTheWindow) {
    LoadImage(100 * KiB, 60, 2);
    std::remove(path.c_str());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    form->ToolButton2Click(form->ToolButton2);  // must return at once
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Flash File Not Opened!!"});
}

TEST_F(DownloadFlow, AnEmptyFinalBlockClosesTheDownloadWithByte5Zero) {
    // 64 KiB blocks: the non-final blocks take the whole file
    LoadImage(256 * KiB, 64, 5);
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    const std::vector<FakeRequest> sent = Downloads();
    ASSERT_EQ(sent.size(), 5u);
    const std::vector<uint8_t> file = FileBytes();
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sent[i].srb.CDBByte[5], i == 0 ? 0x00 : 0xFF);
        EXPECT_TRUE(std::equal(sent[i].data.begin(), sent[i].data.end(), file.begin() + i * 65536)) << i;
    }
    // the final command: byte 5 = 0 KiB, the buffer as the last block left it
    EXPECT_EQ(sent[4].srb.CDBByte[5], 0x00);
    EXPECT_EQ(sent[4].srb.SRB_BufLen, 65536u);
    EXPECT_EQ(sent[4].data, sent[3].data);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kOk});
}

TEST_F(DownloadFlow, TrailersThatDoNotFitTheFileAreRefusedBeforeAnythingIsSent) {
    struct Case {
        int32_t size, kb, count;
        const char *reason;
    };
    const Case cases[] = {
        {100 * KiB, 60, 0, "The file names no blocks to send."},
        {100 * KiB, 0, 3, "The file names blocks of 0 KB."},
        {100 * KiB, 60, 7, "The file is shorter than its blocks."},
        {600 * KiB, 60, 1, "Its final block is larger than 512 KB."},
    };
    for (const Case &c : cases) {
        LoadImage(c.size, c.kb, c.count);
        layer.Clear();
        form->StaticText5->setText("READY");
        form->ToolButton2Click(form->ToolButton2);
        ASSERT_EQ(layer.Boxes().size(), 1u) << c.reason;
        EXPECT_EQ(layer.Boxes()[0].text,
                  std::string("Flash File Not Valid!!\n") + c.reason + "\nNothing was sent to the drive.");
        EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
        EXPECT_EQ(form->StaticText5->text(), "READY");
        EXPECT_FALSE(HasEvent("SetCapture"));
        EXPECT_FALSE(form->Timer1->isActive());
        EXPECT_EQ(ImageFile, nullptr);
    }
    EXPECT_TRUE(Downloads().empty());
    EXPECT_TRUE(std::equal(bufferBefore.begin(), bufferBefore.end(), TransferBuffer)) << "nothing read";
}

TEST_F(DownloadFlow, AFileRewrittenOrCutDuringTheTransferChangesNothingSent) {
    LoadImage(384 * KiB, 60, 7);
    const std::vector<uint8_t> original = FileBytes();
    const auto expected = ExpectedTransfers({61440, 61440, 61440, 61440, 61440, 61440, 24576});
    std::atomic<int> downloads{0};
    const std::string image = path;
    aspi->decide = [&downloads, image](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        if (srb.CDBByte[0] != 0xFF) return SS_COMP;
        ++downloads;
        if (downloads == 2) {
            // another image of the same length and trailer written in place
            FILE *file = std::fopen(image.c_str(), "r+b");
            const std::vector<uint8_t> other(300 * KiB, 0x5A);
            std::fwrite(other.data(), 1, other.size(), file);
            std::fclose(file);
        }
        if (downloads == 4) (void)::truncate(image.c_str(), 150 * KiB);
        return SS_COMP;
    };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    const auto sent = Downloads();
    ASSERT_EQ(sent.size(), 7u) << "every block, from the image as it was when Down was pressed";
    for (size_t i = 0; i < 7; ++i) EXPECT_TRUE(sent[i].data == expected[i]) << "block " << i + 1;
    EXPECT_TRUE(std::equal(sent[6].data.begin(), sent[6].data.begin() + 24576, original.begin() + 6 * 61440));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kOk});
}

TEST_F(DownloadFlow, AnImageChangedBetweenOpenAndDownIsNotSent) {
    LoadImage(100 * KiB, 60, 2);
    // the same length and trailer, other blocks: still the loaded image, as
    // far as the checks can tell; the copy taken at Down is what goes out
    FILE *file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    std::fputc(0x77, file);
    std::fclose(file);
    const std::vector<uint8_t> atDown = FileBytes();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    const auto sent = Downloads();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data[0], 0x77);
    EXPECT_TRUE(std::equal(sent[0].data.begin(), sent[0].data.begin() + 61440, atDown.begin()));
}

TEST_F(DownloadFlow, ASecondDownloadWhileTheWorkerIsSendingIsHeldOff) {
    LoadImage(100 * KiB, 60, 1);
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));
    const uint8_t byte5 = DownloadCommand[5];
    const std::vector<uint8_t> buffer(TransferBuffer, TransferBuffer + kTransferBufferSize);

    // Held off whatever the way in: the menu item and the button are
    // disabled, so the access keys and the mouse do nothing ...
    EXPECT_FALSE(form->Download1->isEnabled());
    EXPECT_FALSE(form->ToolButton2->isEnabled());
    form->Download1->trigger();
    EXPECT_TRUE(BoxTexts().empty());
    // ... and the handler itself, reached by any other way, refuses
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{
                              " DOWNLOAD BUSY!! \nWait for the result of the download."});
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(Downloads().size(), 1u);
    EXPECT_EQ(DownloadCommand[5], byte5);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), TransferBuffer)) << "the worker's block left alone";
    EXPECT_EQ(form->StaticText5->text(), "WAIT..");
    EXPECT_EQ(layer.cursor, crHourGlass);
    EXPECT_EQ(layer.started.load(), 1);

    // the command has returned, but the result is not reported yet: a
    // Download now is refused: the flash still holds the drive
    bool triedWhileOpen = false;
    layer.onBox = [&](const BoxRecord &box) {
        if (box.text != kOk || triedWhileOpen) return;
        triedWhileOpen = true;
        EXPECT_EQ(CurrentFlashState(), FlashState::ResultShown);
        form->ToolButton2Click(form->ToolButton2);
    };
    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_TRUE(triedWhileOpen);
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{layer.Boxes()[0].text, kOk, layer.Boxes()[0].text}));
    EXPECT_EQ(Downloads().size(), 1u);
    EXPECT_EQ(CurrentFlashState(), FlashState::RestartPending);
    EXPECT_FALSE(DriveBeingWritten(CurrentFlashState()));
    // once the system has answered the restart, Download runs again
    RestartRefusedBySystem();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 2u);
}

TEST_F(DownloadFlow, ARefusedFinalBlockIsReportedAsFail) {
    LoadImage(384 * KiB, 60, 7);
    std::atomic<int> downloads{0};
    aspi->decide = [&downloads](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        if (srb.CDBByte[0] == 0xFF && ++downloads == 7) return SS_ERR;
        return SS_COMP;
    };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 7u);
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, kFail) << "nothing more is known than the status: the box as it always was";
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(layer.Boxes()[0].owner, form.get());
    EXPECT_EQ(form->StaticText5->text(), "FAIL");
    EXPECT_EQ(form->ProgressBar1->value(), 0) << "the completion steps leave the bar to the timer";
    EXPECT_EQ(CurrentFlashState(), FlashState::RestartPending);
    EXPECT_EQ(layer.cursor, crDefault);
    EXPECT_EQ(layer.capture, nullptr);
}

TEST_F(DownloadFlow, WithoutLogindTheDownloadGoesOn) {
    layer.inhibitorAvailable = false;
    LoadImage(100 * KiB, 60, 2);
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 2u);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kOk});
    EXPECT_FALSE(HasEvent("ReleaseInhibit")) << "nothing was held";
}

TEST_F(DownloadFlow, AWorkerThatCannotStartEndsTheTransfer) {
    layer.failThreads = true;
    LoadImage(100 * KiB, 60, 2);
    form->Timer1->stop();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_TRUE(Downloads().empty()) << "the whole transfer is the worker's";
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(CurrentFlashState(), FlashState::Idle);
    EXPECT_EQ(layer.cursor, crDefault);
    EXPECT_EQ(layer.capture, nullptr);
    EXPECT_TRUE(HasEvent("ReleaseInhibit"));
    EXPECT_TRUE(form->Download1->isEnabled());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{
                              " DOWNLOAD FAIL!! \nThe transfer could not be started.\nNothing was sent to the drive."});
}

TEST_F(DownloadFlow, ExitAndTheCloseBoxWaitWhileTheFinalBlockIsInTheDrive) {
    LoadImage(100 * KiB, 60, 1);
    form->show();
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));

    EXPECT_FALSE(form->Exit1->isEnabled());
    form->Exit1->trigger();
    form->close();  // the close box
    EXPECT_TRUE(form->isVisible()) << "the window must not close under the worker";
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{
                              " DOWNLOAD BUSY!! \nWait for the result of the download."});
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);

    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    // once the result is reported, Exit closes the window as always
    form->Exit1->trigger();
    EXPECT_FALSE(form->isVisible());
}
