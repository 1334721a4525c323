// Around the flash: the commands held off during it whatever the way in, a
// request to end the program waiting for the drive, another process's lock on
// the drive, and a restart the system refused.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "app/WindowFlash.h"
#include "record/FlashRecord.h"
#include "transfer/Transfer.h"
#include "app/Progress.h"
#include "platform/window/win32_window.h"
#include "state/SharedState.h"
#include "tests/download/DownloadFixture.h"

namespace {
constexpr int32_t KiB = 1024;
const char kOk[] = "  DOWNLOAD OK!!  \nRestart WINDOWS";

bool Pressed(QObject *control) {
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    if (accessible == nullptr || accessible->actionInterface() == nullptr) return false;
    accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    return true;
}
}  // namespace

TEST_F(DownloadFlow, DuringTheFlashTheCommandsAreHeldOffWhateverTheWayIn) {
    aspi->AddDevice(kAdapter, 5, 0x05, "QUORVEL DVDRW-1612B     2.04");
    form->ComboBox1->addItem(QStringLiteral("QUORVEL DVDRW-1612B     2.04"));
    DriveCount = 2;
    LoadImage(384 * KiB, 60, 7);
    form->show();
    form->ComboBox1->setFocus();
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));

    for (QObject *command : std::initializer_list<QObject *>{form->ToolButton1, form->ToolButton2, form->ComboBox1,
                                                             form->Open1, form->Download1, form->Exit1})
        EXPECT_FALSE(command->property("enabled").toBool()) << command->objectName().toStdString();
    EXPECT_TRUE(form->ToolButton3->isEnabled()) << "About changes nothing";
    // The keyboard, the wheel and an assistive action reach nothing.
    QTest::keyClick(form->ComboBox1, Qt::Key_Down);
    QTest::keyClick(form.get(), Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(Pressed(form->ToolButton1));
    EXPECT_TRUE(Pressed(form->ToolButton2));
    form->Open1->trigger();
    // Should the list's pick come all the same, it is undone.
    form->ComboBox1->setCurrentIndex(1);
    form->ComboBox1Change(form->ComboBox1);
    EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_FALSE(HasEvent("OpenDialog"));
    EXPECT_EQ(form->StaticText5->text(), "WAIT..") << "the fields keep what they showed";
    EXPECT_EQ(SelectedTarget, kTarget);

    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 7u);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kOk});
    // Until the system has answered the restart no second flash may start,
    // here or in another program (the drive is still held); Exit may end the
    // program.
    EXPECT_FALSE(HasEvent("UnlockDrive"));
    const auto commands = std::initializer_list<QObject *>{form->ToolButton1, form->ToolButton2, form->ComboBox1,
                                                           form->Open1, form->Download1};
    for (QObject *command : commands)
        EXPECT_FALSE(command->property("enabled").toBool()) << command->objectName().toStdString();
    EXPECT_TRUE(form->Exit1->isEnabled());
    RestartRefusedBySystem();
    for (QObject *command : commands)
        EXPECT_TRUE(command->property("enabled").toBool()) << command->objectName().toStdString();
    // The flash's process lets the drive go as it is told.
    EXPECT_TRUE(WaitFor([this] { return HasEvent("UnlockDrive"); }));
}

TEST_F(DownloadFlow, ATransferEndedEarlyGivesTheCommandsBack) {
    LoadImage(384 * KiB, 60, 7);
    aspi->decide = [](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF ? SS_ERR : SS_COMP;
    };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe drive refused block 1 of 7."});
    EXPECT_TRUE(form->Download1->isEnabled());
    EXPECT_TRUE(form->ComboBox1->isEnabled());
    EXPECT_FALSE(DriveBeingWritten(CurrentFlashState()));
    EXPECT_TRUE(HasEvent("UnlockDrive"));
}

TEST_F(DownloadFlow, AnotherProcessWritingToTheDriveRefusesTheDownload) {
    LoadImage(100 * KiB, 60, 2);
    layer.driveLock = DriveLockState::HeldElsewhere;
    form->StaticText5->setText("READY");
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{
                              " DOWNLOAD BUSY!! \nAnother program is writing to this drive.\nNothing was sent to it."});
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(EventIndex("LockDrive 1 3"), EventIndex("StartFlashProcess") + 1)
        << "the drive's own address, before anything else the flash's process does";
    EXPECT_FALSE(HasEvent("SetCapture"));
    EXPECT_EQ(form->StaticText5->text(), "READY");
    EXPECT_FALSE(DriveBeingWritten(CurrentFlashState()));

    // A lock that cannot be made here does not stop the flash.
    layer.driveLock = DriveLockState::Unavailable;
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 2u);
}

TEST_F(DownloadFlow, AMountedDiscRefusesTheDownloadAndAReadOnlyHoldSaysThePollingGoesOn) {
    LoadImage(100 * KiB, 60, 2);
    layer.driveLock = DriveLockState::Mounted;
    layer.driveLockProblem =
        "A disc in this drive is mounted at /media/u/DISC: unmount it or take the disc out, then try again.";
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD BUSY!! \nA disc in this drive is mounted at "
                                                   "/media/u/DISC: unmount it or take the disc out, then try "
                                                   "again.\nNothing was sent to it."});
    EXPECT_FALSE(DriveBeingWritten(CurrentFlashState()));

    // Held, the kernel polling the drive meanwhile: the flash goes on, and
    // the sentence is said once on standard error.
    layer.driveLock = DriveLockState::TakenShared;
    layer.driveLockProblem = "This user cannot open the drive for writing alone, so the system goes on polling it "
                             "for a disc during the flash.";
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 2u);
    const std::vector<std::string> said = layer.Diagnostics();
    EXPECT_EQ(std::count_if(said.begin(), said.end(),
                            [](const std::string &line) { return line.find("goes on polling") != std::string::npos; }),
              1)
        << testing::PrintToString(said);
}

TEST_F(DownloadFlow, ADriveNoLockCanGuardIsRefusedWithThePlatformsReason) {
    LoadImage(100 * KiB, 60, 2);
    layer.driveLock = DriveLockState::Unsafe;
    layer.driveLockProblem = "The drive's lock file /run/lock/quorvel-drive-1-3.lock is a named pipe.";
    form->StaticText5->setText("READY");
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD NOT GUARDED!! \nThe drive's lock file "
                                                   "/run/lock/quorvel-drive-1-3.lock is a named pipe.\n"
                                                   "Nothing was sent to the drive."});
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_FALSE(HasEvent("SetCapture"));
    EXPECT_LT(EventIndex("Inhibit"), 0) << "nothing held off for a flash that never began";
    EXPECT_EQ(form->StaticText5->text(), "READY");
    EXPECT_FALSE(DriveBeingWritten(CurrentFlashState()));
}

TEST_F(DownloadFlow, AnEndRequestDuringTheBlocksWaitsForTheDrive) {
    LoadImage(384 * KiB, 60, 7);
    form->show();
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));
    form->TerminationRequested();
    form->TerminationRequested();  // a second one changes nothing
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(HasEvent("QuitNow 0"));

    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 7u) << "the drive got every block";
    EXPECT_TRUE(layer.Boxes().empty()) << "nobody is left to read a box";
    EXPECT_EQ(form->StaticText5->text(), "OK");
    const auto lines = layer.Diagnostics();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "quorvel: DOWNLOAD OK: the drive accepted all 7 blocks.");
    EXPECT_TRUE(HasEvent("QuitNow 0"));
    form->Timer1Timer(form->Timer1);
    EXPECT_FALSE(HasEvent("ExitWindowsEx 2 0")) << "the session is going away: no restart";
}

TEST_F(DownloadFlow, AnEndRequestHeldWhenTheDriveRefusesABlockEndsWithThatResult) {
    LoadImage(384 * KiB, 60, 7);
    std::atomic<int> downloads{0};
    aspi->decide = [&downloads](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF && ++downloads == 2 ? SS_ERR : SS_COMP;
    };
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));
    form->TerminationRequested();
    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(Downloads().size(), 2u);
    EXPECT_TRUE(layer.Boxes().empty());
    ASSERT_FALSE(layer.Diagnostics().empty());
    EXPECT_EQ(layer.Diagnostics(), std::vector<std::string>{"quorvel: DOWNLOAD FAIL: The drive refused block 2 of 7."})
        << "no restart would have followed: none to speak of";
    EXPECT_TRUE(HasEvent("QuitNow 0"));
}

TEST_F(DownloadFlow, AnEndRequestWhileTheResultIsShownEndsAtOnce) {
    LoadImage(100 * KiB, 60, 2);
    aspi->decide = [](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF && srb.CDBByte[5] != 0x00 ? SS_ERR : SS_COMP;
    };
    layer.onBox = [this](const BoxRecord &) { form->TerminationRequested(); };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nRestart WINDOWS"});
    ASSERT_FALSE(layer.Diagnostics().empty());
    EXPECT_EQ(layer.Diagnostics()[0], "quorvel: DOWNLOAD FAIL: the drive refused the final block (2 of 2).");
    EXPECT_TRUE(HasEvent("QuitNow 0"));
    form->Timer1Timer(form->Timer1);
    EXPECT_FALSE(HasEvent("ExitWindowsEx 2 0"));
}

TEST_F(DownloadFlow, AnEndRequestOutsideAFlashEndsTheProgramAsExitDoes) {
    form->show();
    form->TerminationRequested();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(HasEvent("QuitNow 0"));
    EXPECT_EQ(layer.QuitRequests(), std::vector<int>{0});
}

TEST_F(DownloadFlow, ARefusedRestartIsToldAndTheProgramIsIdle) {
    LoadImage(100 * KiB, 60, 1);
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    form->Timer1Timer(form->Timer1);
    ASSERT_TRUE(HasEvent("ExitWindowsEx 2 0"));
    layer.Clear();
    // logind's answer, as the layer reports it when it comes
    ReportRestartRefusal("it was not allowed (Interactive authentication required.).");
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text,
              "RESTART FAILED!!\nThe system did not restart: it was not allowed (Interactive authentication "
              "required.).\nRestart the computer to finish the firmware update.");
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(layer.Boxes()[0].owner, form.get());
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_TRUE(form->Download1->isEnabled());
}

TEST_F(DownloadFlow, AnImageThereIsNoMemoryForIsRefusedBeforeAnythingIsSent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // 40 blocks of 255 KiB: a plan the drive would take, 10 MB to copy, in a
    // process whose files may not grow past 4 MiB: the copy finds no room.
    LoadImage(39 * 255 * KiB + 100 * KiB, 255, 40);
    const auto downWithoutRoom = [this] {
        const rlimit limit{4 * 1024 * 1024, 4 * 1024 * 1024};
        ::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        form->ToolButton2Click(form->ToolButton2);
        const std::vector<std::string> told{
            "Flash File Too Large!!\nThere is no memory for its 10286080 bytes.\nNothing was sent to the drive."};
        std::_Exit(BoxTexts() == told && Downloads().empty() && !HasEvent("SetCapture") &&
                           !HasEvent("StartFlashProcess")
                       ? 0
                       : 1);
    };
    EXPECT_EXIT(downWithoutRoom(), ::testing::ExitedWithCode(0), "");
}

TEST_F(DownloadFlow, UntilTheSystemAnswersTheRestartNoSecondFlashStarts) {
    LoadImage(100 * KiB, 60, 2);
    form->show();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    form->Timer1Timer(form->Timer1);
    ASSERT_TRUE(HasEvent("ExitWindowsEx 2 0"));
    // The system is slow to answer (polkit asking the user): Down by the
    // toolbar and by the menu send nothing.
    form->Download1->trigger();
    form->ToolButton2->click();
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(Downloads().size(), 2u);
    EXPECT_FALSE(form->Open1->isEnabled());
    EXPECT_FALSE(form->ComboBox1->isEnabled());
    EXPECT_TRUE(form->Exit1->isEnabled());

    ReportRestartAcceptance();
    EXPECT_EQ(layer.Diagnostics(), std::vector<std::string>{
                                       "quorvel: the restart was requested and the system accepted it."});
    // Accepted: the program waits for the shutdown, still with no new flash,
    // and the shutdown's request ends it at once.
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(Downloads().size(), 2u);
    form->TerminationRequested();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(HasEvent("QuitNow 0"));
    EXPECT_EQ(layer.Diagnostics().size(), 1u) << "nothing more to say";
}

TEST_F(DownloadFlow, EndedWhileTheRestartAwaitsItsAnswerStandardErrorSaysSo) {
    LoadImage(100 * KiB, 60, 1);
    form->show();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    form->Timer1Timer(form->Timer1);
    form->Exit1->trigger();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(layer.Diagnostics(),
              std::vector<std::string>{
                  "quorvel: the restart was requested; the program ended before the system answered."});
}

TEST_F(DownloadFlow, AtTheProgramsEndAFlashStillWrittenGoesOnWithoutIt) {
    // The window ends in the middle of the blocks (its display gone, say):
    // the flash's process finishes the flash, says so on standard error,
    // records that no restart was requested, and asks for none.
    LoadImage(384 * KiB, 60, 7);
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));
    FinishFlashAtProgramEnd();
    aspi->OpenGate();
    ASSERT_TRUE(WaitFor([this] { return layer.transfersRunning.load() == 0; }));
    EXPECT_EQ(Downloads().size(), 7u) << "every block, the final one too";
    EXPECT_TRUE(layer.Boxes().empty());
    EXPECT_EQ(layer.Diagnostics(),
              (std::vector<std::string>{
                  "quorvel: the window is gone: the download goes on until the drive has answered its final block.",
                  "quorvel: DOWNLOAD OK: the drive accepted all 7 blocks.",
                  "quorvel: the window was gone: no restart was requested. Restart the computer to finish."}));
    const std::vector<FlashRecord> records = ReadFlashRecords([](const std::string &line) { ADD_FAILURE() << line; });
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].event, RecordEvent::Started);
    EXPECT_EQ(records[1].event, RecordEvent::Accepted);
    EXPECT_EQ(records[2].event, RecordEvent::Unattended);
    EXPECT_EQ(records[2].block, 7);
    EXPECT_EQ(records[2].detail, "the window was gone");
    EXPECT_TRUE(HasEvent("LetGoOfStandardStreams")) << "the window's standard error is let go of";
    EXPECT_TRUE(HasEvent("UnlockDrive"));
    form->Timer1Timer(form->Timer1);
    EXPECT_FALSE(HasEvent("ExitWindowsEx 2 0"));
}

TEST_F(DownloadFlow, AFlashProcessLostBeforeTheDrivesAnswerIsToldAndNoRestartFollows) {
    // What the process said before its channel closed: cut off (killed), a
    // block out of turn, a line of no known word.
    struct Case {
        const char *lines;
        int reached;
    };
    const Case cases[] = {
        {"block 1 7\nblock 2 7\n", 3},
        {"block 1 7\nblock 3 7\n", 2},
        {"block 1 7\nfinal 7\n", 2},
        {"block 1 7\nblock 2 7\nblock 3 7\nblock 4 7\nblock 5 7\nblock 6 7\nfinal 7\nheld\n", 7},
        {"block 1 7\nblock 2", 2},
    };
    LoadImage(384 * KiB, 60, 7);
    form->show();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        layer.Clear();
        std::string lines = c.lines;
        layer.startFlashProcess = [&lines](int channel, int, std::string *) -> HANDLE {
            const std::string said = "quorvel-transfer 3\nheld\n" + lines;
            EXPECT_EQ(::write(channel, said.data(), said.size()), static_cast<ssize_t>(said.size()));
            return reinterpret_cast<HANDLE>(1);  // and its end of the channel closes with the front end's copy
        };
        layer.flashProcessEnded = [](HANDLE, std::string *how) {
            *how = "it was killed by signal 9 (Killed)";
            return true;
        };
        form->ToolButton2Click(form->ToolButton2);
        ASSERT_TRUE(WaitFor([this] { return CurrentFlashState() == FlashState::Idle; }));
        const std::string reached = std::to_string(c.reached);
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe flash was cut off at block " + reached +
                                                       " of 7:\nthe program writing the drive has ended.\nThe drive "
                                                       "may need the same image again."});
        EXPECT_EQ(layer.Boxes().at(0).style, 0x1010u);
        EXPECT_EQ(form->StaticText5->text(), "FAIL");
        EXPECT_EQ(layer.cursor, crDefault);
        EXPECT_EQ(layer.capture, nullptr);
        EXPECT_TRUE(form->Download1->isEnabled()) << "idle again";
        ASSERT_FALSE(layer.Diagnostics().empty());
        EXPECT_EQ(layer.Diagnostics()[0].rfind("quorvel: DOWNLOAD FAIL: the flash was cut off at block " + reached +
                                                   " of 7: its process ended (",
                                               0),
                  0u)
            << layer.Diagnostics()[0];
        const std::vector<FlashRecord> records =
            ReadFlashRecords([](const std::string &line) { ADD_FAILURE() << line; });
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().event, RecordEvent::ProcessLost);
        EXPECT_EQ(records.back().block, c.reached);
        EXPECT_NE(records.back().detail.find("killed by signal 9"), std::string::npos);
        form->Timer1Timer(form->Timer1);
        EXPECT_FALSE(HasEvent("ExitWindowsEx 2 0")) << "no restart after a flash cut off";
    }
    EXPECT_TRUE(Downloads().empty()) << "the scripted process sent nothing";
}

TEST_F(DownloadFlow, AFlashProcessThatCannotStartIsToldAndNothingIsSent) {
    LoadImage(100 * KiB, 60, 2);
    form->StaticText5->setText("READY");
    layer.startFlashProcess = [](int, int, std::string *error) -> HANDLE {
        *error = "The flash's own program, quorvel-transfer, is not installed beside this program.";
        return nullptr;
    };
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe program that writes the drive could not "
                                                   "take the flash.\nThe flash's own program, quorvel-transfer, is "
                                                   "not installed beside this program.\nNothing was sent to the "
                                                   "drive."});
    EXPECT_EQ(layer.Boxes().at(0).style, 0x1010u);
    EXPECT_FALSE(HasEvent("SetCapture"));
    EXPECT_EQ(form->StaticText5->text(), "READY");
    EXPECT_TRUE(form->Download1->isEnabled());
}

// The flash's process takes only a copy nobody can change: handed the same
// bytes in memory that is not sealed, it declines, and writes nothing.
TEST_F(DownloadFlow, AnUnsealedCopyIsDeclinedByTheFlashsProcessAndNothingIsSent) {
    LoadImage(100 * KiB, 60, 2);
    TransferSessionHold session;
    layer.startFlashProcess = [this, &session](int channel, int, std::string *) -> HANDLE {
        const int unsealed = ::memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        const std::vector<uint8_t> bytes = FileBytes();
        EXPECT_EQ(::write(unsealed, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        session = StartTransferSession(::fcntl(channel, F_DUPFD_CLOEXEC, 0), unsealed, [](int) {});
        return reinterpret_cast<HANDLE>(1);
    };
    layer.flashProcessEnded = [](HANDLE, std::string *how) {
        *how = "it ended with status 2";
        return true;
    };
    form->ToolButton2Click(form->ToolButton2);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe program that writes the drive could not "
                                                   "take the flash.\nIt refused the flash: the image's copy is not "
                                                   "sealed against change.\nNothing was sent to the drive."});
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(EventIndex("LockDrive"), -1) << "the drive was not even taken";
}

// A refusal whose cause the drive gave: the box as it always was, and one
// line more in sg3_utils' words; the record keeps the cause and the sense as
// the drive gave them. A drive on USB refusing its first block gets the
// advice a line below.
TEST_F(DownloadFlow, ARefusalWithTheDrivesSenseAddsItsCauseToTheBoxAndTheRecord) {
    LoadImage(384 * KiB, 60, 7);
    // Fixed-format sense: ILLEGAL REQUEST (5), invalid field in CDB (24h/00h), which
    // the library says in lower case.
    const uint8_t sense[14] = {0x70, 0, 0x05, 0, 0, 0, 0, 0x06, 0, 0, 0, 0, 0x24, 0x00};
    int refuseAt = 3;
    std::atomic<int> downloads{0};
    aspi->decide = [&](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF && ++downloads == refuseAt ? SS_ERR : SS_COMP;
    };
    aspi->fill = [&](SRB_ExecSCSICmd &srb) {
        if (srb.CDBByte[0] != 0xFF || downloads != refuseAt) return;
        srb.SRB_TargStat = 0x02;
        std::memcpy(srb.SenseArea, sense, sizeof sense);
    };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe drive refused block 3 of 7.\nThe drive "
                                                   "said: ILLEGAL REQUEST, invalid field in cdb (5/24/00)."});
    const std::vector<FlashRecord> records = ReadFlashRecords([](const std::string &line) { ADD_FAILURE() << line; });
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().event, RecordEvent::Refused);
    EXPECT_EQ(records.back().block, 3);
    EXPECT_EQ(records.back().cause, "refused");
    EXPECT_EQ(records.back().sense, "7000050000000006000000002400");
    EXPECT_EQ(records.back().detail, "The drive said: ILLEGAL REQUEST, invalid field in cdb (5/24/00).");

    layer.Clear();
    downloads = 0;
    refuseAt = 1;
    layer.deviceTransport = [](uint8_t, uint8_t) { return TRANSPORT_USB; };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe drive refused block 1 of 7.\nThe drive said: "
                                                   "ILLEGAL REQUEST, invalid field in cdb (5/24/00).\nThis drive is "
                                                   "connected through USB; many USB adapters do not pass firmware "
                                                   "commands. Connect it to a SATA port and try again."});
}

// A drive that went away, even with the final block in it: nothing more is
// sent, the box says so and what to do, and no restart is asked for.
TEST_F(DownloadFlow, ADriveThatWentAwayAtTheFinalBlockIsToldAndNoRestartFollows) {
    LoadImage(384 * KiB, 60, 7);
    std::atomic<int> downloads{0};
    aspi->decide = [&downloads](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF && ++downloads == 7 ? SS_NO_DEVICE : SS_COMP;
    };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{" DOWNLOAD FAIL!! \nThe drive went away at block 7 of 7 (unplugged, "
                                                   "reset or switched off).\nConnect it again and write the same image "
                                                   "again; restart the computer if it does not come back."});
    EXPECT_EQ(CurrentFlashState(), FlashState::Idle);
    form->Timer1Timer(form->Timer1);
    EXPECT_EQ(EventIndex("ExitWindowsEx"), -1) << "no restart for a drive that went away";
    const std::vector<FlashRecord> records = ReadFlashRecords([](const std::string &line) { ADD_FAILURE() << line; });
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().event, RecordEvent::Gone);
    EXPECT_EQ(records.back().block, 7);
}
