// Why a command failed: one cause from the request's statuses and sense, in
// its order, with real sense blocks written out byte by byte and the words
// Debian's sg3_utils library gives for them written out by hand.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "drive/FailureCause.h"
#include "drive/Scsi.h"
#include "tests/support/FakeAspi.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Fixed format as drives send it: response code, key, additional length 10,
// ASC and ASCQ at 12 and 13, 18 bytes of which the record keeps 14.
Bytes Fixed(uint8_t key, uint8_t asc, uint8_t ascq) {
    return {0x70, 0x00, key, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, asc, ascq};
}

FailureCause Refusal(const Bytes &sense) { return DecideFailureCause(SS_ERR, 0x00, 0x02, sense); }

TEST(FailureCause, TheDrivesRefusalIsSaidInTheLibrarysWords) {
    struct Case {
        Bytes sense;
        const char *said;
    };
    const Case cases[] = {
        {Fixed(0x05, 0x20, 0x00), "The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)."},
        {Fixed(0x05, 0x24, 0x00), "The drive said: ILLEGAL REQUEST, invalid field in cdb (5/24/00)."},
        {Fixed(0x02, 0x04, 0x01),
         "The drive said: NOT READY, logical unit is in process of becoming ready (2/04/01)."},
        {Fixed(0x06, 0x29, 0x00),
         "The drive said: UNIT ATTENTION, power on, reset, or bus device reset occurred (6/29/00)."},
        {Fixed(0x03, 0x0C, 0x00), "The drive said: MEDIUM ERROR, write error (3/0C/00)."},
        // Deferred fixed, the valid bit set, the flags beside the key; an
        // abbreviation keeps its capitals.
        {{0xF1, 0x00, 0xE5, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0x00},
         "The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)."},
        {Fixed(0x0B, 0x47, 0x00), "The drive said: ABORTED COMMAND, SCSI parity error (B/47/00)."},
        // Descriptor format, current and deferred, with a descriptor after it.
        {{0x72, 0x05, 0x24, 0x00, 0, 0, 0, 0}, "The drive said: ILLEGAL REQUEST, invalid field in cdb (5/24/00)."},
        {{0x73, 0x03, 0x0C, 0x00, 0, 0, 0, 0x0C, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x10},
         "The drive said: MEDIUM ERROR, write error (3/0C/00)."},
    };
    for (const Case &c : cases) {
        const FailureCause cause = Refusal(c.sense);
        EXPECT_EQ(cause.kind, FailureKind::Refused) << c.said;
        EXPECT_EQ(SayFailureCause(cause), c.said);
    }
    const FailureCause cause = Refusal(Fixed(0x02, 0x04, 0x01));
    EXPECT_EQ(cause.senseKey, 0x02);
    EXPECT_EQ(cause.asc, 0x04);
    EXPECT_EQ(cause.ascq, 0x01);
    EXPECT_EQ(cause.keyWords, "NOT READY");
    EXPECT_EQ(cause.ascWords, "logical unit is in process of becoming ready");
}

TEST(FailureCause, SenseCutShortSaysWhatItHoldsAndGarbageSaysNothing) {
    // The key alone: three bytes of fixed, two of descriptor; the ASC needs
    // byte 13 (fixed) or 3 (descriptor).
    EXPECT_EQ(SayFailureCause(Refusal({0x70, 0x00, 0x05})), "The drive said: ILLEGAL REQUEST (5).");
    Bytes thirteen = Fixed(0x05, 0x20, 0x00);
    thirteen.resize(13);
    EXPECT_EQ(SayFailureCause(Refusal(thirteen)), "The drive said: ILLEGAL REQUEST (5).");
    EXPECT_EQ(SayFailureCause(Refusal({0x72, 0x02, 0x3A})), "The drive said: NOT READY (2).");
    // No format the library reads: not a refusal the drive explained.
    for (const Bytes &garbage : {Bytes{}, Bytes{0x70}, Bytes{0x70, 0x00}, Bytes{0x72}, Bytes{0x00, 0x00, 0x05},
                                 Bytes{0x7F, 0x00, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0},
                                 Bytes{0x74, 0x05, 0x20, 0x00}, Bytes(16, 0xFF)}) {
        const FailureCause cause = Refusal(garbage);
        EXPECT_EQ(cause.kind, FailureKind::Unknown) << cause.senseHex;
        EXPECT_EQ(SayFailureCause(cause), "");
        EXPECT_EQ(cause.senseKey, 0);
    }
    // Longer than the record's area, and a code the library has no words
    // for: its own words, nothing of the device's raw.
    Bytes longSense(252, 0x41);
    longSense[0] = 0x72;
    longSense[1] = 0x09;
    longSense[2] = 0x80;
    longSense[3] = 0x80;
    EXPECT_EQ(SayFailureCause(Refusal(longSense)),
              "The drive said: VENDOR SPECIFIC(9), vendor specific ASC=80, ASCQ=80 (hex) (9/80/80).");
}

TEST(FailureCause, DecidedInOrderRefusalTimeOutGoneAdapterUnknown) {
    const Bytes sense = Fixed(0x05, 0x20, 0x00);
    EXPECT_EQ(DecideFailureCause(SS_COMP, 0x0B, 0x02, sense).kind, FailureKind::None);
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x0B, 0x02, sense).kind, FailureKind::Refused) << "the drive's own word";
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x0B, 0x00, sense).kind, FailureKind::TimedOut) << "sense without status";
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x09, 0x00, {}).kind, FailureKind::TimedOut);
    EXPECT_EQ(DecideFailureCause(SS_NO_DEVICE, 0x0B, 0x00, {}).kind, FailureKind::TimedOut);
    EXPECT_EQ(DecideFailureCause(SS_NO_DEVICE, 0x00, 0x02, sense).kind, FailureKind::Gone) << "no device refuses";
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x0E, 0x00, {}).kind, FailureKind::AdapterFailed);
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x00, 0x02, {}).kind, FailureKind::Unknown) << "no sense";
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x00, 0x08, sense).kind, FailureKind::Unknown) << "busy";
    EXPECT_EQ(DecideFailureCause(SS_ABORTED, 0x00, 0x00, {}).kind, FailureKind::Unknown);

    EXPECT_EQ(SayFailureCause(DecideFailureCause(SS_ERR, 0x0B, 0x00, {})), "The drive did not answer in time.");
    EXPECT_EQ(SayFailureCause(DecideFailureCause(SS_NO_DEVICE, 0x00, 0x00, {})),
              "The drive went away (unplugged, reset or switched off).");
    EXPECT_EQ(SayFailureCause(DecideFailureCause(SS_ERR, 0x0E, 0x00, {})),
              "The drive's adapter or bus failed (bus reset).");
    EXPECT_EQ(SayFailureCause(DecideFailureCause(SS_ERR, 0x11, 0x00, {})),
              "The drive's adapter or bus failed (selection time-out).");
    EXPECT_EQ(SayFailureCause(DecideFailureCause(SS_ERR, 0x42, 0x00, {})),
              "The drive's adapter or bus failed (adapter status 0x42).");
    const char *words[] = {"none", "refused", "timeout", "gone", "adapter", "unknown"};
    const FailureKind kinds[] = {FailureKind::None,     FailureKind::Refused,       FailureKind::TimedOut,
                                 FailureKind::Gone,     FailureKind::AdapterFailed, FailureKind::Unknown};
    for (int i = 0; i < 6; ++i) EXPECT_STREQ(FailureKindWord(kinds[i]), words[i]);
}

TEST(FailureCause, NoDeviceIsGoneWhateverTheAdaptersStatus) {
    // A drive gone with a host status beside SS_NO_DEVICE: gone, not the
    // adapter's failure that the status alone would say.
    for (const uint8_t haStat : {0x00, 0x0E, 0x11, 0x14, 0x42})
        EXPECT_EQ(DecideFailureCause(SS_NO_DEVICE, haStat, 0x00, {}).kind, FailureKind::Gone) << int(haStat);
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0x14, 0x00, {}).kind, FailureKind::AdapterFailed);
}

TEST(FailureCause, OnlyAFailureTheDriveDidNotExplainAsksWhetherItIsThere) {
    EXPECT_TRUE(AsksWhetherGone(DecideFailureCause(SS_ERR, 0x14, 0x00, {})));
    EXPECT_TRUE(AsksWhetherGone(DecideFailureCause(SS_ERR, 0x0B, 0x00, {})));
    EXPECT_TRUE(AsksWhetherGone(DecideFailureCause(SS_ERR, 0x00, 0x02, {})));
    EXPECT_FALSE(AsksWhetherGone(Refusal(Fixed(0x05, 0x20, 0x00))));
    EXPECT_FALSE(AsksWhetherGone(DecideFailureCause(SS_NO_DEVICE, 0x00, 0x00, {})));
    EXPECT_FALSE(AsksWhetherGone(DecideFailureCause(SS_COMP, 0x00, 0x00, {})));
}

TEST(FailureCause, PresenceIsAnAnswerNoDeviceOrNothingAtTheAddress) {
    const auto inquiry = [](int status, uint8_t haStat) {
        ScsiAnswer answer;
        answer.status = status;
        answer.haStat = haStat;
        return DecidePresence(answer);
    };
    EXPECT_EQ(inquiry(SS_COMP, 0x00), Presence::There);
    EXPECT_EQ(inquiry(SS_NO_DEVICE, 0x00), Presence::Gone);
    EXPECT_EQ(inquiry(SS_ERR, 0x11), Presence::Gone) << "selection time-out: nothing answers there";
    EXPECT_EQ(inquiry(SS_ERR, 0x14), Presence::Unsure);
    EXPECT_EQ(inquiry(SS_ERR, 0x0B), Presence::Unsure);
    EXPECT_EQ(inquiry(SS_ERR, 0x00), Presence::Unsure);
}

TEST(FailureCause, TheRecordKeepsTheRawSenseAsHex) {
    EXPECT_EQ(Refusal(Fixed(0x05, 0x20, 0x00)).senseHex, "700005000000000a000000002000");
    EXPECT_EQ(DecideFailureCause(SS_NO_DEVICE, 0, 0, Bytes{0x00, 0xAB, 0x1F}).senseHex, "00ab1f");
    EXPECT_EQ(DecideFailureCause(SS_ERR, 0, 0, {}).senseHex, "");
}

TEST(FailureCause, UsbAdviceIsForTheFirstBlockRefusedAsUnknownOrUnansweredBehindUsb) {
    const FailureCause opcode = Refusal(Fixed(0x05, 0x20, 0x00));
    const FailureCause field = Refusal(Fixed(0x05, 0x24, 0x00));
    const FailureCause late = DecideFailureCause(SS_ERR, 0x0B, 0x00, {});
    for (const FailureCause *cause : {&opcode, &field, &late}) {
        EXPECT_TRUE(WantsUsbAdvice(*cause, DriveTransport::Usb, true));
        EXPECT_FALSE(WantsUsbAdvice(*cause, DriveTransport::Usb, false)) << "a later block went through";
        EXPECT_FALSE(WantsUsbAdvice(*cause, DriveTransport::Ata, true));
        EXPECT_FALSE(WantsUsbAdvice(*cause, DriveTransport::Unknown, true));
    }
    for (const FailureCause &other :
         {Refusal(Fixed(0x05, 0x21, 0x00)), Refusal(Fixed(0x03, 0x0C, 0x00)), Refusal({0x70, 0x00, 0x05}),
          DecideFailureCause(SS_NO_DEVICE, 0, 0, {}), DecideFailureCause(SS_ERR, 0x0E, 0, {})})
        EXPECT_FALSE(WantsUsbAdvice(other, DriveTransport::Usb, true)) << SayFailureCause(other);
    EXPECT_STREQ(kUsbAdvice, "This drive is connected through USB; many USB adapters do not pass firmware commands. "
                             "Connect it to a SATA port and try again.");
}

TEST(FailureCause, ACommandsAnswerIsHandedBackAfterItsStatus) {
    RecorderLayer layer;
    FakeAspi aspi{layer};
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 2, 0x05, "QUORVEL CDRW-4824A      1.10");
    aspi.completeLater = true;  // the fields come from another thread, written before the status
    aspi.decide = [](const SRB_ExecSCSICmd &, size_t) -> uint8_t { return SS_ERR; };
    aspi.fill = [](SRB_ExecSCSICmd &srb) {
        srb.SRB_HaStat = 0x00;
        srb.SRB_TargStat = 0x02;
        const Bytes sense = Fixed(0x05, 0x24, 0x00);
        std::memcpy(srb.SenseArea, sense.data(), sense.size());
        srb.SenseArea[14] = srb.SenseArea[15] = 0xEE;  // beyond SRB_SenseLen: not handed back
    };
    std::array<uint8_t, 65536> block{};
    const ScsiAnswer answer = ExecuteScsiCommandAnswered(0, 2, DownloadCommand, 12, block.data(), 65536);
    EXPECT_EQ(answer.status, SS_ERR);
    EXPECT_EQ(answer.targStat, 0x02);
    EXPECT_EQ(answer.senseLength, 14);
    const Bytes expected = Fixed(0x05, 0x24, 0x00);
    EXPECT_EQ(Bytes(answer.sense.begin(), answer.sense.begin() + 14), expected);
    EXPECT_EQ(answer.sense[14], 0);
    EXPECT_EQ(SayFailureCause(DecideFailureCause(answer)),
              "The drive said: ILLEGAL REQUEST, invalid field in cdb (5/24/00).");
    // A command length out of range sends nothing.
    EXPECT_EQ(ExecuteScsiCommandAnswered(0, 2, DownloadCommand, 17, block.data(), 65536).status, SS_INVALID_CMD);
    EXPECT_EQ(aspi.RequestCount(), 1u);
}

}  // namespace
