// Autorun through the main window: detection, load, size rule, drive match,
// and the start prompt, with the platform replaced by a recorder and drives
// from an in-process ASPI manager. Each case runs in a temporary working
// directory of its own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>
#include <QComboBox>
#include <QLabel>
#include <QToolButton>
#include <cstring>
#include <memory>

#include "app/Main.h"
#include "app/WindowFlash.h"
#include "state/SharedState.h"
#include "platform/wnaspi32.h"
#include "tests/image/ImageFiles.h"
#include "tests/support/FakeAspi.h"

namespace {
const std::string kAlpha = "ALPHA   CD-R ONE        ";  // 24 each
const std::string kBeta = "BETA    DVD-RW TWO      ";
const std::string kGamma = "GAMMA   COMBO THREE     ";
const std::string kPrompt = "File Open OK !!\n(32768b 128Kb 5Cmd)\n\n DOWNLOAD START !!";
const std::vector<std::string> kNoImage = {"", "", "", "NOT OPEN", ""};

struct AutorunFixture : ::testing::Test {
    TempDir dir{true};
    RecorderLayer layer;
    std::unique_ptr<FakeAspi> aspi = std::make_unique<FakeAspi>(layer);
    std::unique_ptr<TForm1> form;

    void OneAdapter() { aspi->SetAdapters(1); }
    void Start() { form = std::make_unique<TForm1>(); }
    // Shows the window and lets queued calls (the prompt) run.
    void ShowAndSettle() {
        form->show();
        for (int i = 0; i < 20; ++i) QApplication::processEvents();
        WaitForTransfer();
    }
    // The transfer runs on a worker of its own: lets it end.
    static void WaitForTransfer() {
        for (int i = 0; i < 2000 && DriveBeingWritten(CurrentFlashState()); ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> t;
        for (const auto &b : layer.Boxes()) t.push_back(b.text);
        return t;
    }
    std::vector<std::string> Fields() {
        return {form->StaticText1->text().toStdString(), form->StaticText2->text().toStdString(),
                form->StaticText3->text().toStdString(), form->StaticText4->text().toStdString(),
                form->StaticText5->text().toStdString()};
    }
    std::vector<FakeRequest> DownloadRequests() {
        std::vector<FakeRequest> out;
        for (const auto &r : aspi->Requests())
            if (r.srb.CDBByte[0] == 0xFF) out.push_back(r);
        return out;
    }
    // Every download command refused: Down sends one command and stops.
    void RefuseDownloads() {
        aspi->decide = [](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
            return srb.CDBByte[0] == 0xFF ? SS_ERR : SS_COMP;
        };
    }
};
}  // namespace

TEST_F(AutorunFixture, AutorunBinWinsOverTheCommandLineAndIsShownAsItsName) {
    OneAdapter();
    aspi->AddDevice(0, 2, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    WriteImage("FW.BIN", kAlpha, "9.99", 64, 2, 65536);
    layer.commandLine = "/usr/bin/quorvel fw.bin";
    Start();

    EXPECT_EQ(AutorunFlag, 1);
    EXPECT_EQ(std::string(ImagePath), "AUTORUN.BIN");
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(BlockSizeKb, 32);
    EXPECT_EQ(BlockCount, 5);
    EXPECT_EQ(Fields(), (std::vector<std::string>{kAlpha, "1.01", "2.00", "AUTORUN.BIN", "READY"}));
    EXPECT_TRUE(layer.Boxes().empty());  // no box at load: the prompt comes at the first paint
    EXPECT_EQ(PromptShown, 0);
}

TEST_F(AutorunFixture, CommandLineNameIsUpperCasedAndShownAsTaken) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("FW.BIN", kAlpha, "2.00", 32, 5, 262144);
    layer.commandLine = "/usr/bin/quorvel fw.bin";
    Start();
    EXPECT_EQ(std::string(ImagePath), "FW.BIN");
    EXPECT_EQ(AutorunFlag, 1);
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(Fields()[3], "FW.BIN");
    EXPECT_TRUE(layer.Boxes().empty());
}

// Names are looked up as Windows would: the exact name, else the one entry
// that matches ignoring letter case.
TEST_F(AutorunFixture, LowerCaseAutorunBinIsFound) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("autorun.bin", kAlpha, "2.00", 32, 5, 262144);
    Start();
    EXPECT_EQ(std::string(ImagePath), "AUTORUN.BIN");
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(Fields()[3], "AUTORUN.BIN");
}

TEST_F(AutorunFixture, LowerCaseCommandLineFileIsFoundUnderItsUpperCasedName) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("fw.bin", kAlpha, "2.00", 32, 5, 262144);
    layer.commandLine = "/usr/bin/quorvel fw.bin";
    Start();
    EXPECT_EQ(std::string(ImagePath), "FW.BIN");
    EXPECT_EQ(ImageSize, 262144);
}

TEST_F(AutorunFixture, TwoNamesMatchingIgnoringCaseFindNothing) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("fw.bin", kAlpha, "2.00", 32, 5, 262144);
    WriteImage("Fw.bin", kAlpha, "2.00", 32, 5, 262144);
    layer.commandLine = "/usr/bin/quorvel fw.bin";
    Start();
    EXPECT_EQ(Texts(), std::vector<std::string>{"File Not Opened!!"});
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(AutorunFlag, 0);
}

TEST_F(AutorunFixture, NameIsCutToTenCharacters) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("firmware01.bin", kAlpha, "2.00", 32, 5, 262144);
    layer.commandLine = "/usr/bin/quorvel firmware01.bin";
    Start();
    EXPECT_EQ(std::string(ImagePath), "FIRMWARE01");
    EXPECT_EQ(Texts(), std::vector<std::string>{"File Not Opened!!"});
    EXPECT_EQ(layer.Boxes()[0].style, MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(Fields(), kNoImage);
}

TEST_F(AutorunFixture, BlankInsideTheProgramPathTakesTheNameFromThePath) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    layer.commandLine = "/opt/my tools/quorvel fw.bin";
    Start();
    EXPECT_EQ(std::string(ImagePath), "TOOLS/QUOR");
    EXPECT_EQ(Texts(), std::vector<std::string>{"File Not Opened!!"});
    EXPECT_EQ(AutorunFlag, 0);
}

TEST_F(AutorunFixture, NoBlankMeansNoAutorunAndAnEmptyImagePath) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    layer.commandLine = "/usr/bin/quorvel";
    Start();
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(std::string(ImagePath), "");
    EXPECT_TRUE(layer.Boxes().empty());
    ShowAndSettle();
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(PromptShown, 0);
}

TEST_F(AutorunFixture, AutorunNamedDirectoryIsNotAnImageAndTheCommandLineIsUsed) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    std::filesystem::create_directory("AUTORUN.BIN");
    WriteImage("FW.BIN", kAlpha, "2.00", 32, 5, 262144);
    layer.commandLine = "/usr/bin/quorvel fw.bin";
    Start();
    EXPECT_EQ(std::string(ImagePath), "FW.BIN");
    EXPECT_EQ(ImageSize, 262144);
}

TEST_F(AutorunFixture, SizeRuleRefusesTheUnwrappedSizeWithTheFiguresAndKeepsTheTrailerValues) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "5.12", 32, 9, 524288);
    Start();
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, "File Open Fail (No Flash File) !!\n32768b 0Kb 9Cmd");
    EXPECT_EQ(layer.Boxes()[0].caption, "MESSAGE");
    EXPECT_EQ(layer.Boxes()[0].style, MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(BlockSizeKb, 32);
    EXPECT_EQ(BlockCount, 9);
    EXPECT_EQ(std::string(ImageVersion), "5.12");
    EXPECT_EQ(Fields(), kNoImage);
    ShowAndSettle();
    EXPECT_EQ(layer.Boxes().size(), 1u);  // no prompt
}

TEST_F(AutorunFixture, SizeRuleAcceptsTheWrappedSize) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "2.62", 32, 9, 262144);
    Start();
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(Fields()[4], "READY");
}

TEST_F(AutorunFixture, SizeRuleWithSixtyFourKiBBlocksRefusesAnyLastBlock) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "6.40", 64, 4, 65536 * 3 + 1024);
    Start();
    EXPECT_EQ(Texts(), std::vector<std::string>{"File Open Fail (No Flash File) !!\n65536b 0Kb 4Cmd"});
}

TEST_F(AutorunFixture, SizeRuleWithSixtyFourKiBBlocksTakesExactlyCountLessOneBlocks) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "6.40", 64, 4, 65536 * 3);
    Start();
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(ImageSize, 65536 * 3);
}

TEST_F(AutorunFixture, FirstOfTwoMatchingDrivesIsSelected) {
    OneAdapter();
    aspi->AddDevice(0, 1, 0x05, kBeta + "0.01");
    aspi->AddDevice(0, 4, 0x05, kAlpha + "1.04");
    aspi->AddDevice(0, 6, 0x05, kAlpha + "1.06");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    Start();
    EXPECT_EQ(SelectedIndex, 1);
    EXPECT_EQ(SelectedTarget, 4);
    EXPECT_EQ(form->ComboBox1->currentIndex(), 1);
    EXPECT_EQ(std::string(DriveVersion), "1.04");
    EXPECT_EQ(Fields()[1], "1.04");
}

TEST_F(AutorunFixture, MatchBeyondTheFirstDriveSelectsItSilentlyInEveryRespect) {
    aspi->SetAdapters(2);
    aspi->AddDevice(0, 0, 0x05, kBeta + "0.01");
    aspi->AddDevice(0, 5, 0x05, kGamma + "0.05");
    aspi->AddDevice(1, 3, 0x05, kAlpha + "1.13");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    Start();

    EXPECT_TRUE(layer.Boxes().empty());  // no "CHANGE DRIVE"
    EXPECT_EQ(form->ComboBox1->currentIndex(), 2);
    EXPECT_EQ(SelectedIndex, 2);
    EXPECT_EQ(SelectedAdapter, 1);
    EXPECT_EQ(SelectedTarget, 3);
    EXPECT_EQ(std::string(DriveModel), kAlpha);
    EXPECT_EQ(std::string(DriveVersion), "1.13");
    EXPECT_EQ(Fields(), (std::vector<std::string>{kAlpha, "1.13", "2.00", "AUTORUN.BIN", "READY"}));
    EXPECT_EQ(ImageSize, 262144);  // stays loaded
    EXPECT_EQ(AutorunFlag, 1);

    // Picking the first drive afterwards is an ordinary change of drive.
    layer.boxAnswers.push_back(IDOK);
    form->ComboBox1->setCurrentIndex(0);
    emit form->ComboBox1->activated(0);
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].caption, "CHANGE DRIVE");
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(SelectedAdapter, 0);
    EXPECT_EQ(SelectedTarget, 0);
}

TEST_F(AutorunFixture, NoMatchRestoresTheFirstDriveAndReportsNotOpened) {
    OneAdapter();
    aspi->AddDevice(0, 2, 0x05, kBeta + "0.02");
    aspi->AddDevice(0, 3, 0x05, kGamma + "0.03");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    Start();
    EXPECT_EQ(Texts(), std::vector<std::string>{"File Not Opened!!"});
    EXPECT_EQ(layer.Boxes()[0].style, MB_SYSTEMMODAL | MB_ICONERROR);
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
    EXPECT_EQ(SelectedIndex, 0);
    EXPECT_EQ(SelectedTarget, 2);
    EXPECT_EQ(std::string(DriveModel), kBeta);  // not the last one searched
    EXPECT_EQ(std::string(DriveVersion), "0.02");
    EXPECT_EQ(Fields(), kNoImage);
    ShowAndSettle();
    EXPECT_EQ(layer.Boxes().size(), 1u);
}

TEST_F(AutorunFixture, LoadStillRunsAfterAspiNotFound) {
    // No manager at all; a sound image.
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    Start();
    EXPECT_EQ(Texts(), (std::vector<std::string>{"ASPI Not Found!!", "File Not Opened!!"}));
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(layer.QuitRequests(), std::vector<int>{0});
}

TEST_F(AutorunFixture, LoadStillRunsAfterDriveNotFoundAndTheSizeTestComesFirst) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x00, kAlpha + "1.01");  // a disk, not listed
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144 + 1);
    Start();
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Drive Not Found!!",
                                                 "File Open Fail (No Flash File) !!\n32768b 128Kb 5Cmd"}));
    EXPECT_EQ(AutorunFlag, 0);
}

TEST_F(AutorunFixture, NtRefusalClearsAutorunAndSkipsTheLoad) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    layer.versionSucceeds = true;
    layer.platformId = VER_PLATFORM_WIN32_NT;
    Start();
    EXPECT_EQ(Texts(), std::vector<std::string>{"Run in WINDOWS 98/ME !!"});
    EXPECT_EQ(AutorunFlag, 0);
    EXPECT_EQ(std::string(ImagePath), "");
    EXPECT_EQ(ImageSize, 0);
    EXPECT_EQ(aspi->RequestCount(), 0u);
    ShowAndSettle();
    EXPECT_EQ(layer.Boxes().size(), 1u);
}

TEST_F(AutorunFixture, PromptComesOnceAfterTheFirstPaintNeverInsideIt) {
    OneAdapter();
    aspi->AddDevice(0, 0, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    Start();
    layer.boxAnswers.push_back(IDCANCEL);
    int promptShownWhileOpen = -1;
    layer.onBox = [&](const BoxRecord &) {
        promptShownWhileOpen = PromptShown;
        form->repaint();  // paints while the box is open do nothing
    };

    form->FormPaint(form.get());
    EXPECT_EQ(PromptShown, 1);
    EXPECT_TRUE(layer.Boxes().empty());  // queued, not opened inside the paint
    ShowAndSettle();
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, kPrompt);
    EXPECT_EQ(layer.Boxes()[0].caption, "MESSAGE");
    EXPECT_EQ(layer.Boxes()[0].style, MB_SYSTEMMODAL | MB_OKCANCEL);
    EXPECT_EQ(layer.Boxes()[0].owner, form.get());
    EXPECT_EQ(promptShownWhileOpen, 1);

    form->repaint();
    form->hide();
    ShowAndSettle();
    EXPECT_EQ(layer.Boxes().size(), 1u);
}

TEST_F(AutorunFixture, CancelKeepsTheImageReadyAndDownWorksLater) {
    OneAdapter();
    aspi->AddDevice(0, 6, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    RefuseDownloads();
    Start();
    layer.boxAnswers.push_back(IDCANCEL);
    ShowAndSettle();
    ASSERT_EQ(Texts(), std::vector<std::string>{kPrompt});
    EXPECT_TRUE(DownloadRequests().empty());
    EXPECT_EQ(Fields()[4], "READY");
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(AutorunFlag, 1);

    form->ToolButton2->click();
    WaitForTransfer();
    const auto sent = DownloadRequests();
    ASSERT_EQ(sent.size(), 1u);  // refused at once: no further block
    EXPECT_EQ(sent[0].srb.SRB_Target, 6);
    EXPECT_EQ(sent[0].srb.CDBByte[5], 0x00);
}

TEST_F(AutorunFixture, OkRunsTheDownloadOnTheMatchedDrive) {
    aspi->SetAdapters(2);
    aspi->AddDevice(0, 0, 0x05, kBeta + "0.01");
    aspi->AddDevice(1, 5, 0x05, kAlpha + "1.01");
    WriteImage("AUTORUN.BIN", kAlpha, "2.00", 32, 5, 262144);
    RefuseDownloads();
    Start();
    layer.boxAnswers.push_back(IDOK);
    ShowAndSettle();
    ASSERT_GE(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text, kPrompt);
    const auto sent = DownloadRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].srb.SRB_HaId, 1);
    EXPECT_EQ(sent[0].srb.SRB_Target, 5);
    EXPECT_EQ(sent[0].srb.CDBByte[5], 0x00);
    ASSERT_GE(sent[0].data.size(), 32768u);
    // The first block is the file's first 32 KiB.
    const auto image = ImageBytes(262144, TrailerBytes(kAlpha, "2.00", 32, 5), 262144 - 48);
    EXPECT_EQ(0, std::memcmp(sent[0].data.data(), image.data(), 32768));
}
