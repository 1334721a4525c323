// The machine file and state file rules, straight from their source.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "aspi/sim/Machine.h"
#include "platform/wnaspi32.h"

using namespace quorvel_sim;

namespace {

std::string Text(const std::array<uint8_t, 8> &a) { return std::string(a.begin(), a.end()); }
std::string Text(const std::array<uint8_t, 16> &a) { return std::string(a.begin(), a.end()); }
std::string Text(const std::array<uint8_t, 4> &a) { return std::string(a.begin(), a.end()); }

TEST(MachineFile, FullMachine) {
    auto parsed = ParseMachine(
        "# a comment line\n"
        "\n"
        "trace  run.trace   # after a statement\n"
        "state \"/abs/dir with blank/s\"\n"
        "dump dumps\n"
        "adapters 2\n"
        "device 0 1 type=0x05 vendor=\"QUORVEL \" product=\"CDRW-4824A      \" revision=\"1.10\" "
        "delay=700 final-delay=4000 completion=later\n"
        "device 0 3 type=0 vendor=\"ACMEDISK\" product=\"FIXED # DISK\" revision=\"3.01\"\r\n"
        "\tdevice 1 15 type=0x25 vendor=\"V\" product=\"P\" revision=\"R\" refuse=3,final,7 completion=never\n"
        "device 1 0 vendor=\"A\" product=\"B\" revision=\"C\" refuse=none completion=now",
        "/base");
    ASSERT_TRUE(parsed.value) << parsed.error;
    const MachineConfig &m = *parsed.value;
    EXPECT_EQ(m.adapters, 2);
    EXPECT_EQ(m.tracePath, "/base/run.trace");
    EXPECT_EQ(m.statePath, "/abs/dir with blank/s");
    EXPECT_EQ(m.dumpDir, "/base/dumps");
    ASSERT_EQ(m.devices.size(), 4u);
    const DeviceConfig &a = m.devices[0];
    EXPECT_EQ(a.adapter, 0);
    EXPECT_EQ(a.target, 1);
    EXPECT_EQ(a.type, 0x05);
    EXPECT_EQ(Text(a.vendor), "QUORVEL ");
    EXPECT_EQ(Text(a.product), "CDRW-4824A      ");
    EXPECT_EQ(Text(a.revision), "1.10");
    EXPECT_EQ(a.delayMs, 700);
    EXPECT_EQ(a.finalDelayMs, 4000);
    EXPECT_EQ(a.completion, Completion::Later);
    EXPECT_TRUE(a.refuseCommands.empty());
    EXPECT_FALSE(a.refuseFinal);
    auto model = a.Model();
    EXPECT_EQ(std::string(model.begin(), model.end()), "QUORVEL CDRW-4824A      ");
    EXPECT_EQ(m.devices[1].type, 0x00);
    EXPECT_EQ(Text(m.devices[1].product), "FIXED # DISK    ");  // '#' inside quotes is text
    const DeviceConfig &c = m.devices[2];
    EXPECT_EQ(c.target, 15);
    EXPECT_EQ(c.type, 0x25);
    EXPECT_EQ(Text(c.vendor), "V       ");
    EXPECT_EQ(c.refuseCommands, (std::set<uint32_t>{3, 7}));
    EXPECT_TRUE(c.refuseFinal);
    EXPECT_EQ(c.completion, Completion::Never);
    const DeviceConfig &d = m.devices[3];
    EXPECT_EQ(d.type, 0x05);  // defaults
    EXPECT_EQ(d.delayMs, 0);
    EXPECT_EQ(d.finalDelayMs, -1);
    EXPECT_EQ(d.completion, Completion::Now);
    // The faults' defaults: a refusal says a write error, and nothing else
    // goes wrong; nothing tells how the drive is attached.
    EXPECT_EQ((std::array<int, 3>{d.senseKey, d.asc, d.ascq}), (std::array<int, 3>{0x03, 0x0C, 0x00}));
    EXPECT_TRUE(d.timeoutCommands.empty());
    EXPECT_FALSE(d.timeoutFinal);
    EXPECT_EQ(d.goneAt, 0u);
    EXPECT_EQ(d.transport, TRANSPORT_UNKNOWN);
    EXPECT_FALSE(d.mounted);
    EXPECT_EQ(d.holdFinds, HoldFinds::Nothing);
}

TEST(MachineFile, ADrivesFaultsAndHowItIsAttached) {
    auto parsed = ParseMachine(
        "adapters 1\n"
        "device 0 1 vendor=\"A\" product=\"B\" revision=\"C\" refuse=2 sense=5/24/0 timeout=4,final gone=6 "
        "transport=usb mounted=\"/media/u/MY DISC\\x0a\" hold=shared\n"
        "device 0 2 vendor=\"A\" product=\"B\" revision=\"C\" sense=f/Ff/a0 timeout=none transport=virtual "
        "hold=in-use\n",
        "/base");
    ASSERT_TRUE(parsed.value) << parsed.error;
    const DeviceConfig &a = parsed.value->devices[0];
    EXPECT_EQ((std::array<int, 3>{a.senseKey, a.asc, a.ascq}), (std::array<int, 3>{0x05, 0x24, 0x00}));
    EXPECT_EQ(a.timeoutCommands, (std::set<uint32_t>{4}));
    EXPECT_TRUE(a.timeoutFinal);
    EXPECT_EQ(a.goneAt, 6u);
    EXPECT_EQ(a.transport, TRANSPORT_USB);
    EXPECT_EQ(a.mounted, "/media/u/MY DISC\n");
    EXPECT_EQ(a.holdFinds, HoldFinds::Shared);
    const DeviceConfig &b = parsed.value->devices[1];
    EXPECT_EQ((std::array<int, 3>{b.senseKey, b.asc, b.ascq}), (std::array<int, 3>{0x0F, 0xFF, 0xA0}));
    EXPECT_TRUE(b.timeoutCommands.empty());
    EXPECT_EQ(b.transport, TRANSPORT_VIRTUAL);
    EXPECT_EQ(b.holdFinds, HoldFinds::InUse);
}

TEST(MachineFile, EscapesInQuotedStrings) {
    auto parsed = ParseMachine(
        "adapters 1\ndevice 0 0 vendor=\"A\\x00B\" product=\"q\\\"\\\\ \" revision=\"\\xff\\x7F\"\n", "");
    ASSERT_TRUE(parsed.value) << parsed.error;
    const DeviceConfig &d = parsed.value->devices[0];
    EXPECT_EQ(Text(d.vendor), std::string("A\0B     ", 8));
    EXPECT_EQ(Text(d.product), "q\"\\             ");
    EXPECT_EQ(Text(d.revision), "\xff\x7f  ");
}

TEST(MachineFile, QuoteAndUnquoteRoundTrip) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    std::string quoted = Quote(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    EXPECT_EQ(quoted.find(' ', 0), quoted.find(" !"));  // blank kept as is
    auto back = Unquote(quoted);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, bytes);
    const uint8_t rev[4] = {'1', '.', '"', 0};
    EXPECT_EQ(Quote(rev, 4), "\"1.\\\"\\x00\"");
    for (const char *bad : {"", "\"", "abc", "\"a", "\"a\\\"", "\"\\q\"", "\"\\x0\"", "\"\\xg0\"",
                            "\"a\"b\"", "\"\\x1\""})
        EXPECT_FALSE(Unquote(bad)) << bad;
}

struct BadCase {
    const char *text;
    const char *error;
};

class MalformedMachine : public testing::TestWithParam<BadCase> {};

TEST_P(MalformedMachine, IsRefusedWithItsLineAndReason) {
    auto parsed = ParseMachine(GetParam().text, "/base");
    EXPECT_FALSE(parsed.value);
    EXPECT_EQ(parsed.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    MachineFile, MalformedMachine,
    testing::Values(
        BadCase{"", "1: no adapters statement"},
        BadCase{"# only a comment\n", "1: no adapters statement"},
        BadCase{"adapters 1\nadapters 1\n", "2: adapters given twice"},
        BadCase{"adapters 9\n", "1: adapters: expected 0 to 8"},
        BadCase{"adapters -1\n", "1: adapters: expected 0 to 8"},
        BadCase{"adapters two\n", "1: adapters: expected 0 to 8"},
        BadCase{"adapters 1 2\n", "1: adapters takes exactly one value"},
        BadCase{"adapters 1\ntrace\n", "2: trace takes exactly one value"},
        BadCase{"adapters 1\nstate \"\"\n", "2: state: malformed path"},
        BadCase{"adapters 1\nbus 3\n", "2: unknown statement 'bus'"},
        BadCase{"device 0 0 vendor=\"V\"\nadapters 1\n", "1: device before adapters"},
        BadCase{"adapters 1\ndevice 0\n", "2: device needs an adapter and a target"},
        BadCase{"adapters 1\ndevice 1 0 vendor=\"V\" product=\"P\" revision=\"R\"\n",
                "2: device adapter '1' is not below adapters 1"},
        BadCase{"adapters 1\ndevice 0 16 vendor=\"V\" product=\"P\" revision=\"R\"\n",
                "2: device target '16' is not 0 to 15"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\"\n"
                "device 0 1 vendor=\"V\" product=\"P\" revision=\"R\"\n",
                "3: a second device at 0 1"},
        BadCase{"adapters 1\ndevice 0 1 product=\"P\" revision=\"R\"\n", "2: device without vendor"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" revision=\"R\"\n", "2: device without product"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\"\n", "2: device without revision"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"VENDOR123\" product=\"P\" revision=\"R\"\n",
                "2: vendor: longer than 8 bytes"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"12345678901234567\" revision=\"R\"\n",
                "2: product: longer than 16 bytes"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"1.100\"\n",
                "2: revision: longer than 4 bytes"},
        BadCase{"adapters 1\ndevice 0 1 vendor=V product=\"P\" revision=\"R\"\n",
                "2: vendor: expected a quoted string"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V product=\"P\" revision=\"R\"\n",
                "2: unterminated quoted string"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" type=256\n",
                "2: type: expected a number 0 to 255"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" delay=-5\n",
                "2: delay: expected milliseconds 0 to 600000"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" final-delay=x\n",
                "2: final-delay: expected milliseconds 0 to 600000"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" completion=soon\n",
                "2: completion: expected now, later or never"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" refuse=0\n",
                "2: refuse: expected none, or command numbers from 1 and/or final"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" refuse=2,\n",
                "2: refuse: expected none, or command numbers from 1 and/or final"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" timeout=final,0\n",
                "2: timeout: expected none, or command numbers from 1 and/or final"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" sense=10/24/00\n",
                "2: sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" sense=5/124/00\n",
                "2: sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" sense=5/24\n",
                "2: sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" sense=5/24/00/1\n",
                "2: sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" sense=5//00\n",
                "2: sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" sense=-5/24/00\n",
                "2: sense: expected KEY/ASC/ASCQ in hex, a key up to F, e.g. 5/24/00"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" gone=0\n",
                "2: gone: expected a download command number from 1"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" transport=sata\n",
                "2: transport: expected usb, ata, scsi, virtual or unknown"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" mounted=/media\n",
                "2: mounted: expected a quoted mount point"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" mounted=\"\"\n",
                "2: mounted: expected a quoted mount point"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" hold=busy\n",
                "2: hold: expected free, in-use or shared"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" speed=2\n",
                "2: unknown device key 'speed'"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" delay=1 delay=2\n",
                "2: key 'delay' given twice"},
        BadCase{"adapters 1\ndevice 0 1 vendor=\"V\" product=\"P\" revision=\"R\" loose\n",
                "2: expected key=value, found 'loose'"}));

TEST(StateFile, ParsesAndFormatsRevisions) {
    auto parsed = ParseState("# comment\nrevision 0 1 \"1.20\"\n\nrevision 1 0 \"\\x00ab\\\"\"\n"
                             "pending 0 2 \"1.30\" boot=\"b-1\"\npending 1 0 \"2.10\" boot=\"\"\n");
    ASSERT_TRUE(parsed.value) << parsed.error;
    MachineState expected;
    expected.taken[{0, 1}] = {'1', '.', '2', '0'};
    expected.taken[{1, 0}] = {0, 'a', 'b', '"'};
    expected.pending[{0, 2}] = {{'1', '.', '3', '0'}, "b-1"};
    expected.pending[{1, 0}] = {{'2', '.', '1', '0'}, ""};
    EXPECT_EQ(*parsed.value, expected);
    auto again = ParseState(FormatState(expected));
    ASSERT_TRUE(again.value);
    EXPECT_EQ(*again.value, expected);
    EXPECT_EQ(FormatState(expected),
              "# quorvel simulated machine: firmware revisions taken by downloads\n"
              "revision 0 1 \"1.20\"\n"
              "revision 1 0 \"\\x00ab\\\"\"\n"
              "pending 0 2 \"1.30\" boot=\"b-1\"\n"
              "pending 1 0 \"2.10\" boot=\"\"\n");
}

TEST(StateFile, MalformedLinesAreRefused) {
    for (const char *bad : {"revision 0 1 \"1.2\"", "revision 0 1 1.20", "revision 0 \"1.20\"",
                            "rev 0 1 \"1.20\"", "revision 0 16 \"1.20\"", "revision x 1 \"1.20\"",
                            "revision 0 1 \"1.20\" extra", "revision 0 1 \"1.20\" boot=\"b\"",
                            "pending 0 1 \"1.20\"", "pending 0 1 \"1.20\" boot=b", "pending 0 1 \"1.20\" at=\"b\"",
                            "pending 0 1 \"1.2\" boot=\"b\""}) {
        auto parsed = ParseState(std::string("# ok\n") + bad + "\n");
        EXPECT_FALSE(parsed.value) << bad;
        EXPECT_EQ(parsed.error, "2: expected revision HA TARGET \"REV\" or pending HA TARGET \"REV\" boot=\"ID\"")
            << bad;
    }
}

// A drive runs what it accepted once the machine has restarted: through its
// login1 stand-in, or by a boot id other than the one it accepted it in.
TEST(StateFile, AcceptedFirmwareRunsFromTheNextRestart) {
    const std::array<uint8_t, 4> v120{'1', '.', '2', '0'}, v130{'1', '.', '3', '0'}, v210{'2', '.', '1', '0'};
    MachineState state;
    state.taken[{1, 0}] = v210;
    state = Accepted(state, {0, 1}, v120, "boot-1");
    EXPECT_EQ(Running(state, "boot-1"), (Revisions{{{1, 0}, v210}})) << "the same boot: still the old firmware";
    EXPECT_EQ(Running(state, ""), (Revisions{{{1, 0}, v210}})) << "no boot id to tell a restart by";
    EXPECT_EQ(Running(state, "boot-2"), (Revisions{{{0, 1}, v120}, {{1, 0}, v210}}));
    EXPECT_EQ(Running(Restarted(state), "boot-1"), (Revisions{{{0, 1}, v120}, {{1, 0}, v210}}));
    EXPECT_TRUE(Restarted(state).pending.empty());

    // Flashed again before the restart: the newer firmware waits instead.
    MachineState again = Accepted(state, {0, 1}, v130, "boot-1");
    EXPECT_EQ(again.pending.at({0, 1}), (PendingRevision{v130, "boot-1"}));
    EXPECT_EQ(Running(again, "boot-2").at({0, 1}), v130);
    // Accepted in a later boot: what waited from the earlier one was taken
    // at the restart between them, and stays taken.
    MachineState later = Accepted(state, {1, 0}, v210, "boot-2");
    EXPECT_EQ(later.taken.at({0, 1}), v120);
    EXPECT_EQ(later.pending, (std::map<Address, PendingRevision>{{{1, 0}, {v210, "boot-2"}}}));
    // Accepted when the boot id could not be read: only a restart by the
    // login1 stand-in takes it.
    MachineState unknown = Accepted({}, {0, 1}, v120, "");
    EXPECT_TRUE(Running(unknown, "boot-2").empty());
    EXPECT_EQ(Running(Restarted(unknown), "").at({0, 1}), v120);
}

}  // namespace
