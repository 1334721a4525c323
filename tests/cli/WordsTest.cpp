// What quorvel-flash prints: the drive list, the history, the question, the
// progress, and boxes said in words, against texts written out by hand.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

#include "cli/Arguments.h"
#include "cli/Words.h"
#include "drive/Probe.h"
#include "platform/wnaspi32.h"

namespace {
Drive AtWith(uint8_t adapter, uint8_t target, const std::string &identification,
             DriveTransport transport = DriveTransport::Unknown) {
    Drive drive;
    drive.address = {adapter, target};
    drive.identity = DriveIdentity::FromBytes(identification);
    drive.transport = transport;
    return drive;
}

TEST(CliWords, DriveLinesKeepTheDrivesFieldsInFixedColumns) {
    EXPECT_EQ(DriveLine(AtWith(0, 1, "QUORVEL CDRW-4824A      1.10", DriveTransport::Ata)),
              "0:1     QUORVEL  CDRW-4824A       1.10 ata");
    // A blank inside the vendor and a revision of blanks: the columns hold.
    EXPECT_EQ(DriveLine(AtWith(12, 7, "ACME CO DVD ROM X 12    AB  ", DriveTransport::Usb)),
              "12:7    ACME CO  DVD ROM X 12     AB   usb");
    EXPECT_EQ(DriveLine(AtWith(255, 255, "V       P                   ")), "255:255 V        P                     unknown");
    // Bytes a terminal must not be sent raw.
    EXPECT_EQ(DriveLine(AtWith(0, 0, std::string("A\x1b[2J   " "\xe9" "ODEL           " "1.0\x7f", 28),
                              DriveTransport::Virtual)),
              "0:0     A?[2J    ?ODEL            1.0? virtual");
    EXPECT_STREQ(TransportWord(DriveTransport::Scsi), "scsi");
    // The manager's answers, and one it has no name for.
    EXPECT_EQ(TransportOfAnswer(TRANSPORT_USB), DriveTransport::Usb);
    EXPECT_EQ(TransportOfAnswer(TRANSPORT_ATA), DriveTransport::Ata);
    EXPECT_EQ(TransportOfAnswer(TRANSPORT_SCSI), DriveTransport::Scsi);
    EXPECT_EQ(TransportOfAnswer(TRANSPORT_VIRTUAL), DriveTransport::Virtual);
    EXPECT_EQ(TransportOfAnswer(TRANSPORT_UNKNOWN), DriveTransport::Unknown);
    EXPECT_EQ(TransportOfAnswer(5), DriveTransport::Unknown);
}

TEST(CliWords, DrivesAsJsonAreObjectsWithoutTrailingBlanks) {
    // The drive at 0:5 is being flashed: its flash's block, its image, its
    // starter.
    FlashUnderWay flash;
    flash.drive = {0, 5};
    flash.record.version = "9.10";
    flash.record.file = "FW.BIN";
    flash.record.program = "quorvel";
    flash.snapshot = {2, 5, false, 1796688000000, 4242, false, false, 60};
    const std::string json = DrivesJson({AtWith(1, 0, "QUORVEL DVDRW-1612B     2.04", DriveTransport::Usb),
                                         AtWith(0, 5, std::string("ACME CO " "DISC\xe9" "  X        " "9   ", 28))},
                                        {flash});
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json));
    ASSERT_TRUE(document.isArray()) << json;
    const QJsonArray drives = document.array();
    ASSERT_EQ(drives.size(), 2);
    const QJsonObject first = drives[0].toObject();
    EXPECT_EQ(first.size(), 7);
    EXPECT_TRUE(first["under-way"].isNull()) << "not being flashed";
    EXPECT_TRUE(first["adapter"].isDouble());
    EXPECT_EQ(first["adapter"].toInt(), 1);
    EXPECT_EQ(first["target"].toInt(), 0);
    EXPECT_EQ(first["vendor"].toString(), "QUORVEL");
    EXPECT_EQ(first["model"].toString(), "DVDRW-1612B");
    EXPECT_EQ(first["revision"].toString(), "2.04");
    EXPECT_EQ(first["transport"].toString(), "usb");
    const QJsonObject second = drives[1].toObject();
    EXPECT_EQ(second["vendor"].toString(), "ACME CO");
    EXPECT_EQ(second["model"].toString(), QString::fromUtf8("DISC\u00e9  X"));  // blanks inside kept
    EXPECT_EQ(second["revision"].toString(), "9");
    EXPECT_EQ(second["transport"].toString(), "unknown");
    EXPECT_EQ(QJsonDocument(second["under-way"].toObject()).toJson(QJsonDocument::Compact).toStdString(),
              R"({"block":2,"blocks":5,"file":"FW.BIN","final":false,"pid":4242,"present":false,)"
              R"("since":"2026-12-08T00:00:00Z","starter":"quorvel","version":"9.10"})");
    EXPECT_EQ(DrivesJson({}), "[\n]\n");
}

FlashRecord SampleRecord() {
    FlashRecord record;
    record.time = "2026-12-07T16:20:01Z";
    record.boot = "6d3b";
    record.flash = "2026-12-07T16:20:00Z-4711-1";
    record.program = "quorvel-flash";
    record.event = RecordEvent::Refused;
    record.vendor = "QUORVEL";
    record.model = "CDRW-4824A";
    record.revision = "1.10";
    record.adapter = 0;
    record.target = 1;
    record.file = "FW \"new\" \xc3\xa9.BIN";
    record.size = 393216;
    record.sha256 = "ab12";
    record.version = "1\xff" "20";
    record.block = 3;
    record.blocks = 7;
    record.detail = "a\\b\nc";
    return record;
}

TEST(CliWords, HistoryLinesHoldEveryFieldInTheRecordsOrder) {
    EXPECT_EQ(RecordLine(SampleRecord()),
              "time=\"2026-12-07T16:20:01Z\" boot=\"6d3b\" flash=\"2026-12-07T16:20:00Z-4711-1\" "
              "program=\"quorvel-flash\" event=\"refused\" vendor=\"QUORVEL\" model=\"CDRW-4824A\" "
              "revision=\"1.10\" adapter=0 target=1 file=\"FW \\\"new\\\" \xc3\xa9.BIN\" size=393216 "
              "sha256=\"ab12\" version=\"1\\xff20\" block=3 blocks=7 detail=\"a\\\\b\\x0ac\"");
    // A flash's start names its process, last.
    FlashRecord started = SampleRecord();
    started.event = RecordEvent::Started;
    started.detail.clear();
    started.pid = 4242;
    const std::string line = RecordLine(started);
    EXPECT_EQ(line.substr(line.find(" event=")), " event=\"started\" vendor=\"QUORVEL\" model=\"CDRW-4824A\" "
                                                 "revision=\"1.10\" adapter=0 target=1 file=\"FW \\\"new\\\" \xc3\xa9.BIN\" "
                                                 "size=393216 sha256=\"ab12\" version=\"1\\xff20\" block=3 blocks=7 "
                                                 "detail=\"\" pid=4242");
}

// One line a flash, whatever its lines' order among other flashes'; a
// field that is no printable text is never printed raw.
TEST(CliWords, HistoryForPeopleIsOneLineAFlashSayingHowItEnded) {
    const auto line = [](const char *flash, RecordEvent event, int adapter, int block, const char *detail = "") {
        FlashRecord r = SampleRecord();
        r.flash = flash;
        r.time = std::string("2026-12-0") + flash + "T10:00:00Z";
        r.event = event;
        r.adapter = adapter;
        r.version = "1.20";
        r.block = block;
        r.detail = detail;
        return r;
    };
    using E = RecordEvent;
    FlashRecord refusedDrive = line("2", E::Refused, 12, 3);
    refusedDrive.model = "DVD\x1b[2JRW";
    FlashRecord notTaken = line("5", E::NotTaken, 0, 0);
    notTaken.revision = "1.11";
    const std::vector<std::string> lines = HistoryLines(FlashHistory({
        line("1", E::Accepted, 0, 7), refusedDrive, line("1", E::RestartRequested, 0, 0),
        line("3", E::Accepted, 0, 7), line("1", E::RestartAccepted, 0, 0), line("4", E::ProcessLost, 0, 3,
        "it was killed by signal 9 (Killed)"), line("3", E::RestartRequested, 0, 0),
        line("3", E::RestartRefused, 0, 0, "it was not allowed."), line("1", E::Confirmed, 0, 0),
        line("5", E::Accepted, 0, 7), line("5", E::RestartNotRequested, 0, 0, "--restart was not given"), notTaken,
        line("6", E::Accepted, 0, 7), line("6", E::Unattended, 0, 7, "the window was gone"),
        line("6", E::UnattendedTold, 0, 7)}));
    EXPECT_EQ(lines, (std::vector<std::string>{
        "2026-12-01T10:00:00Z  0:1   QUORVEL CDRW-4824A  1.10 -> 1.20  accepted; the restart was asked and "
        "accepted; now runs 1.20",
        "2026-12-02T10:00:00Z  12:1  QUORVEL DVD?[2JRW   1.10 -> 1.20  refused at block 3 of 7",
        "2026-12-03T10:00:00Z  0:1   QUORVEL CDRW-4824A  1.10 -> 1.20  accepted; the restart was asked and "
        "refused (it was not allowed.)",
        "2026-12-04T10:00:00Z  0:1   QUORVEL CDRW-4824A  1.10 -> 1.20  cut off at block 3 of 7 (it was killed "
        "by signal 9 (Killed))",
        "2026-12-05T10:00:00Z  0:1   QUORVEL CDRW-4824A  1.10 -> 1.20  accepted; no restart was requested "
        "(--restart was not given); still runs 1.11, not 1.20",
        "2026-12-06T10:00:00Z  0:1   QUORVEL CDRW-4824A  1.10 -> 1.20  accepted; the window was gone: no "
        "restart was requested"}));
    EXPECT_EQ(HistoryLines(FlashHistory({line("7", E::Accepted, 0, 7)})).at(0).find('\x1b'), std::string::npos);
}

TEST(CliWords, HistoryAsJsonIsTheRecordsObjects) {
    FlashRecord second = SampleRecord();
    second.event = RecordEvent::RestartNotRequested;
    second.detail = "--restart was not given";
    const std::string json = RecordsJson(FlashHistory({SampleRecord(), second}), "6d3b");
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json));
    ASSERT_TRUE(document.isArray()) << json;
    ASSERT_EQ(document.array().size(), 2);
    // Each object is the record's own line, newest last.
    for (int i = 0; i < 2; ++i) {
        FlashRecord back;
        const QByteArray line = QJsonDocument(document.array()[i].toObject()).toJson(QJsonDocument::Compact);
        ASSERT_TRUE(DecodeRecord(line.toStdString(), &back));
        EXPECT_EQ(EncodeRecord(back), EncodeRecord(i == 0 ? SampleRecord() : second));
    }
    const QJsonObject last = document.array()[1].toObject();
    EXPECT_EQ(last["event"].toString(), "restart-not-requested");
    EXPECT_EQ(last["detail"].toString(), "--restart was not given");
    EXPECT_EQ(last["quorvel-record"].toInt(), 1);
}

TEST(CliWords, BoxesAreSaidInOneLine) {
    EXPECT_EQ(OneLine(" DOWNLOAD BUSY!! \nAnother program is writing to this drive.\nNothing was sent to it."),
              "DOWNLOAD BUSY!! Another program is writing to this drive. Nothing was sent to it.");
    EXPECT_EQ(OneLine("  DOWNLOAD OK!!  \nRestart WINDOWS"), "DOWNLOAD OK!! Restart WINDOWS");
    EXPECT_EQ(OneLine("File Open OK !!\n61440b 24Kb 7Cmd"), "File Open OK !! 61440b 24Kb 7Cmd");
    EXPECT_EQ(OneLine("Different Model !!"), "Different Model !!");
    EXPECT_EQ(OneLine("A\n\n  \nB\n"), "A B");
}

TEST(CliWords, TheQuestionAndItsAnswers) {
    EXPECT_EQ(ConsentQuestion("1.20", "QUORVEL CDRW-4824A", "0:1", "1.10"),
              "Write firmware 1.20 into QUORVEL CDRW-4824A at 0:1, now 1.10? [y/N] ");
    for (const char *yes : {"y", "Y", "yes", "YES", "Yes", " y ", "yes\r"}) EXPECT_TRUE(IsYes(yes)) << yes;
    for (const char *no : {"", "n", "no", "N", "yess", "ye", "y y", "ja", "1", "\x1b"}) EXPECT_FALSE(IsYes(no)) << no;
}

TEST(CliWords, ModelsAndVersionsAsATerminalShowsThem) {
    EXPECT_EQ(Printable(std::string("QUORVEL CDRW-4824A      ", 24)), "QUORVEL CDRW-4824A");
    EXPECT_EQ(Printable(std::string("1.2\0XYZ", 7)), "1.2");
    EXPECT_EQ(Printable(std::string("A\tB\x80 ", 5)), "A?B?");
}

TEST(CliWords, ProgressAsABarAndAsLines) {
    Progress progress;
    progress.accepted = 3;
    progress.count = 7;
    progress.bytes = 184320;
    progress.total = 393216;
    progress.milliseconds = 2149;
    EXPECT_EQ(ProgressBar(progress), "[##########--------------] block 3 of 7, 184320 of 393216 bytes, 2.1 s");
    EXPECT_EQ(ProgressLine(progress), "block 3 of 7 accepted, 184320 of 393216 bytes, 2.1 s");
    progress.accepted = 0;
    progress.bytes = 0;
    progress.milliseconds = 0;
    EXPECT_EQ(ProgressBar(progress), "[------------------------] block 0 of 7, 0 of 393216 bytes, 0.0 s");
    progress.accepted = 7;
    progress.bytes = 393216;
    progress.milliseconds = 61999;
    EXPECT_EQ(ProgressBar(progress), "[########################] block 7 of 7, 393216 of 393216 bytes, 61.9 s");
}
TEST(CliWords, ATowersQuestionTableAndJsonNameEveryDriveAndItsResult) {
    const auto drive = [](const char *address, const char *model, const char *old, FlashEnding ending, int block,
                          const char *why = "") {
        DriveOutcome d;
        d.drive.address = *ParseDriveAddress(address);
        d.drive.identity = DriveIdentity::FromBytes(std::string(model).append(24 - strlen(model), ' ') + old);
        d.outcome.ending = ending;
        d.outcome.block = block;
        d.outcome.blocks = 7;
        d.outcome.why = why;
        return d;
    };
    using E = FlashEnding;
    const std::vector<DriveOutcome> drives = {
        drive("0:1", "QUORVEL CDRW-4824A", "1.10", E::Accepted, 7),
        drive("12:3", "QUORVEL CDRW-4824A", "1.00", E::Refused, 3),
        drive("1:1", "QUORVEL CDRW-4824A", "1.10", E::CutOff, 5),
        drive("1:2", "QUORVEL DVDRW-1612B", "2.04", E::NotWritten, 0, "Different Model !!"),
        drive("2:0", "QUORVEL CDRW-4824A", "1.10", E::Pending, 0),
    };
    EXPECT_EQ(TowerQuestion("1.20", {drives[0], drives[3]}),
              (std::vector<std::string>{"Write firmware 1.20 into these 2 drives?",
                                        "  0:1     QUORVEL CDRW-4824A   1.10 -> 1.20",
                                        "  1:2     QUORVEL DVDRW-1612B  2.04 -> 1.20", "Write all 2? [y/N] "}));
    EXPECT_EQ(TowerTable("1.20", drives),
              "DRIVE  MODEL                OLD   NEW   RESULT\n"
              "0:1    QUORVEL CDRW-4824A   1.10  1.20  accepted\n"
              "12:3   QUORVEL CDRW-4824A   1.00  -     refused at block 3 of 7\n"
              "1:1    QUORVEL CDRW-4824A   1.10  -     cut off at block 5 of 7\n"
              "1:2    QUORVEL DVDRW-1612B  2.04  -     not written: Different Model !!\n"
              "2:0    QUORVEL CDRW-4824A   1.10  -     not answered\n");

    const std::string json = TowerJson("1.20", drives, 1);
    ASSERT_EQ(json.back(), '\n');
    EXPECT_EQ(json.find('\n'), json.size() - 1) << "one line";
    const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    EXPECT_EQ(summary.value("status").toInt(), 1);
    EXPECT_EQ(summary.value("version").toString(), "1.20");
    const QJsonArray rows = summary.value("drives").toArray();
    ASSERT_EQ(rows.size(), 5);
    const char *results[] = {"accepted", "refused", "cut-off", "not-written", "not-answered"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(rows[i].toObject().value("result").toString(), results[i]);
    EXPECT_EQ(rows[1].toObject().value("drive").toString(), "12:3");
    EXPECT_EQ(rows[1].toObject().value("block").toInt(), 3);
    EXPECT_EQ(rows[3].toObject().value("why").toString(), "Different Model !!");
    EXPECT_EQ(EventJson("0:1", "block", 3, 7), "{\"block\":3,\"blocks\":7,\"drive\":\"0:1\",\"event\":\"block\"}\n");
    EXPECT_EQ(EventJson("0:1", "final"), "{\"drive\":\"0:1\",\"event\":\"final\"}\n");
}

TEST(CliWords, CheckAsJsonGivesTheImagesFiguresAndEachDrivesVerdict) {
    ImageFigures image;
    image.image = "images/FW \"new\".BIN";
    image.model = "QUORVEL CDRW-4824A";
    image.version = "1.20";
    image.blockSize = 61440;
    image.blocks = 7;
    image.size = 393216;
    DriveOutcome writes;
    writes.drive.address = {0, 1};
    writes.drive.identity = DriveIdentity::FromBytes("QUORVEL CDRW-4824A      1.10");
    DriveOutcome other;
    other.drive.address = {1, 2};
    other.drive.identity = DriveIdentity::FromBytes("QUORVEL DVDRW-1612B     2.04");
    other.outcome.ending = FlashEnding::NotWritten;
    other.outcome.why = "Different Model !! The image is for QUORVEL CDRW-4824A.";
    // Compared byte for byte: the keys in order, one line, the quotes escaped.
    EXPECT_EQ(CheckJson(image, {writes, other}, 2),
              "{\"block-size\":61440,\"blocks\":7,\"drives\":["
              "{\"drive\":\"0:1\",\"model\":\"QUORVEL CDRW-4824A\",\"old\":\"1.10\",\"result\":\"would-write\",\"why\":\"\"},"
              "{\"drive\":\"1:2\",\"model\":\"QUORVEL DVDRW-1612B\",\"old\":\"2.04\",\"result\":\"not-written\","
              "\"why\":\"Different Model !! The image is for QUORVEL CDRW-4824A.\"}],"
              "\"image\":\"images/FW \\\"new\\\".BIN\",\"model\":\"QUORVEL CDRW-4824A\",\"size\":393216,"
              "\"status\":2,\"valid\":true,\"version\":\"1.20\",\"why\":\"\"}\n");

    // An image that could not be read: no figures, not valid, why.
    ImageFigures unreadable;
    unreadable.image = "NONE.BIN";
    unreadable.why = "File Not Opened!! NONE.BIN cannot be opened for reading.";
    const QJsonObject object =
        QJsonDocument::fromJson(QByteArray::fromStdString(CheckJson(unreadable, {}, 2))).object();
    EXPECT_FALSE(object.value("valid").toBool(true));
    EXPECT_EQ(object.value("why").toString(), "File Not Opened!! NONE.BIN cannot be opened for reading.");
    EXPECT_EQ(object.value("model").toString("absent"), "");
    EXPECT_EQ(object.value("blocks").toInt(-1), 0);
    EXPECT_TRUE(object.value("drives").isArray());
    EXPECT_TRUE(object.value("drives").toArray().isEmpty());
}
}  // namespace
