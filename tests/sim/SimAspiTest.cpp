// The simulated ASPI manager, loaded as the program loads it: dlopen of
// libwnaspi32.so.1 and its entry points by name. Each case runs in its
// own process, so the library starts fresh with the machine file it is given.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "aspi/sim/StateFile.h"
#include "platform/wnaspi32.h"
#include "tests/sim/SimTestSupport.h"

using namespace simtest;

namespace {

const std::string kModelA = "QUORVEL CDRW-4824A      ";  // 24 bytes
const std::string kModelB = "QUORVEL DVDRW-1612B     ";

class SimAspiTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir();
        machinePath_ = dir_ + "/test.machine";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Writes the machine file, points the library at it and binds it.
    void Machine(const std::string &text) {
        WriteText(machinePath_, text);
        UseMachine(machinePath_);
    }
    void UseMachine(const std::string &path) {
        ::setenv("QUORVEL_SIM_MACHINE", path.c_str(), 1);
        Bind();
    }
    void Bind() {
        if (handle_) return;
        handle_ = ::dlopen(QUORVEL_SIM_LIBRARY, RTLD_NOW);
        ASSERT_NE(handle_, nullptr) << ::dlerror();
        support_ = reinterpret_cast<GetASPI32SupportInfoFn>(::dlsym(handle_, "GetASPI32SupportInfo"));
        send_ = reinterpret_cast<SendASPI32CommandFn>(::dlsym(handle_, "SendASPI32Command"));
        ASSERT_NE(support_, nullptr);
        ASSERT_NE(send_, nullptr);
    }

    // A request as the program's transport fills it.
    static SRB_ExecSCSICmd Request(uint8_t adapter, uint8_t target, std::vector<uint8_t> cdb,
                                   uint8_t *buffer, uint32_t length) {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = adapter;
        srb.SRB_Flags = (cdb[0] == 0xFF && cdb[2] == 0x01) ? 0x02 : SRB_DIR_IN;
        srb.SRB_Target = target;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = buffer;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
        std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
        return srb;
    }

    uint8_t Run(SRB_ExecSCSICmd &srb) {
        send_(&srb);
        EXPECT_TRUE(WaitFor([&] { return SrbStatusLoad(&srb) != SS_PENDING; }));
        return SrbStatusLoad(&srb);
    }

    uint8_t Inquiry(uint8_t adapter, uint8_t target, std::array<uint8_t, 36> &answer) {
        answer.fill(0xEE);
        SRB_ExecSCSICmd srb = Request(adapter, target, {0x12, 0, 0, 0, 0x24, 0}, answer.data(), 36);
        return Run(srb);
    }

    // The machine restarted, as its login1 stand-in restarts it, and the
    // program started again.
    void Restart() {
        const char *state = std::getenv("QUORVEL_SIM_STATE");
        const quorvel_sim::Restart restart = quorvel_sim::RestartMachine(machinePath_, state != nullptr ? state : "");
        EXPECT_EQ(restart.error, "");
        support_();
    }

    // The kernel's boot id, as a drive's accepted firmware is kept with it.
    static std::string BootId() {
        std::string id = ReadText("/proc/sys/kernel/random/boot_id");
        if (!id.empty() && id.back() == '\n') id.pop_back();
        return id;
    }

    // The revision that INQUIRY reports now.
    std::string Revision(uint8_t adapter, uint8_t target) {
        std::array<uint8_t, 36> answer{};
        EXPECT_EQ(Inquiry(adapter, target, answer), SS_COMP);
        return std::string(answer.begin() + 32, answer.end());
    }

    // One download command carrying a 64 KiB block.
    uint8_t Download(uint8_t adapter, uint8_t target, uint8_t marker, std::vector<uint8_t> &block) {
        SRB_ExecSCSICmd srb = Request(adapter, target, {0xFF, 0, 0x01, 0, 0, marker, 0, 0, 0, 0, 0, 0},
                                      block.data(), static_cast<uint32_t>(block.size()));
        return Run(srb);
    }

    // A block of pattern bytes, with model and revision at offset (if any).
    static std::vector<uint8_t> Block(uint8_t seed, const std::string &model = "",
                                      const std::string &revision = "", size_t offset = 60000) {
        std::vector<uint8_t> block(65536);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + seed);
        if (!model.empty()) {
            std::memcpy(block.data() + offset, model.data(), model.size());
            std::memcpy(block.data() + offset + model.size(), revision.data(), revision.size());
        }
        return block;
    }

    std::vector<std::map<std::string, std::string>> Trace(const std::string &kind = "SRB") {
        std::vector<std::map<std::string, std::string>> records;
        for (const auto &line : Lines(ReadText(dir_ + "/trace"))) {
            auto fields = Fields(line);
            if (fields[""] == kind) records.push_back(fields);
        }
        return records;
    }

    std::string dir_, machinePath_;
    void *handle_ = nullptr;
    GetASPI32SupportInfoFn support_ = nullptr;
    SendASPI32CommandFn send_ = nullptr;
};

const char *kTwoDrives =
    "trace trace\n"
    "state state\n"
    "adapters 2\n"
    "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\"\n"
    "device 1 0 type=0x05 vendor=\"QUORVEL \" product=\"DVDRW-1612B\" revision=\"2.04\"\n";

TEST_F(SimAspiTest, NoMachineMeansNoAdapters) {
    ::unsetenv("QUORVEL_SIM_MACHINE");
    Bind();
    EXPECT_EQ(support_(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
    std::array<uint8_t, 36> answer{};
    EXPECT_EQ(Inquiry(0, 0, answer), SS_NO_ADAPTERS);

    UseMachine(dir_ + "/missing.machine");
    EXPECT_EQ(support_(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
    UseMachine(dir_);  // a directory cannot be read as a machine file
    EXPECT_EQ(support_(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
}

TEST_F(SimAspiTest, MalformedMachineSaysWhyOnOneLine) {
    testing::internal::CaptureStderr();
    Machine("adapters 1\ndevice 0 1 vendor=\"TOO LONG VENDOR\" product=\"X\" revision=\"1\"\n");
    EXPECT_EQ(support_(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "quorvel-sim: " + machinePath_ + ":2: vendor: longer than 8 bytes\n");
}

TEST_F(SimAspiTest, MalformedStateFileMakesTheMachineMalformed) {
    WriteText(dir_ + "/state", "revision 0 1 \"1.2\"\n");
    testing::internal::CaptureStderr();
    Machine(kTwoDrives);
    EXPECT_EQ(support_(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("state:1:"), std::string::npos);
}

TEST_F(SimAspiTest, AdapterCountWithReadyStatus) {
    Machine(kTwoDrives);
    EXPECT_EQ(support_(), 0x0102u);
    auto start = Trace("START");
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0]["adapters"], "2");
    EXPECT_EQ(start[0]["machine"], "\"" + machinePath_ + "\"");
    EXPECT_EQ(start[0]["status"], "0x01");
}

TEST_F(SimAspiTest, ZeroAdaptersAnswerReadyWithNone) {
    Machine("adapters 0\n");
    EXPECT_EQ(support_(), static_cast<uint32_t>(SS_COMP) << 8);
}

TEST_F(SimAspiTest, InquiryAnswersPerDeviceType) {
    Machine("adapters 1\n"
            "device 0 0 type=0x05 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\"\n"
            "device 0 1 type=0x25 vendor=\"Q\" product=\"P\" revision=\"R\"\n"
            "device 0 2 type=0x00 vendor=\"ACMEDISK\" product=\"FIXED DISK 2000 \" revision=\"3.01\"\n"
            "device 0 3 type=1 vendor=\"ACMETAPE\" product=\"DAT-72\" revision=\"0.90\"\n");
    ASSERT_EQ(support_(), 0x0101u);
    std::array<uint8_t, 36> answer{};
    ASSERT_EQ(Inquiry(0, 0, answer), SS_COMP);
    const uint8_t head[8] = {0x05, 0x80, 0x05, 0x02, 31, 0, 0, 0};
    EXPECT_EQ(std::memcmp(answer.data(), head, 8), 0);
    EXPECT_EQ(std::string(answer.begin() + 8, answer.end()), "QUORVEL CDRW-4824A      1.10");

    ASSERT_EQ(Inquiry(0, 1, answer), SS_COMP);
    EXPECT_EQ(answer[0], 0x25);
    EXPECT_EQ(std::string(answer.begin() + 8, answer.end()), "Q       P               R   ");
    ASSERT_EQ(Inquiry(0, 2, answer), SS_COMP);
    EXPECT_EQ(answer[0], 0x00);
    EXPECT_EQ(answer[1], 0x00);
    EXPECT_EQ(std::string(answer.begin() + 8, answer.end()), "ACMEDISKFIXED DISK 2000 3.01");
    ASSERT_EQ(Inquiry(0, 3, answer), SS_COMP);
    EXPECT_EQ(answer[0], 0x01);
    EXPECT_EQ(answer[1], 0x80);
}

TEST_F(SimAspiTest, ShortIdentificationCarriesAZero) {
    Machine("adapters 1\ndevice 0 4 vendor=\"AB\\x00\" product=\"\" revision=\"\\x01\\\\\\\"\"\n");
    support_();
    std::array<uint8_t, 36> answer{};
    ASSERT_EQ(Inquiry(0, 4, answer), SS_COMP);
    const uint8_t expected[28] = {'A', 'B', 0,   ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', ' ', 1,   '\\', '"', ' '};
    EXPECT_EQ(std::memcmp(answer.data() + 8, expected, 28), 0);
}

TEST_F(SimAspiTest, InquiryCopiesNoMoreThanBufLenOrAllocationLength) {
    Machine(kTwoDrives);
    support_();
    std::array<uint8_t, 40> buffer;
    buffer.fill(0xEE);
    SRB_ExecSCSICmd srb = Request(0, 1, {0x12, 0, 0, 0, 0x24, 0}, buffer.data(), 10);
    ASSERT_EQ(Run(srb), SS_COMP);
    EXPECT_EQ(std::string(buffer.begin() + 8, buffer.begin() + 10), "QU");
    EXPECT_EQ(buffer[10], 0xEE);

    buffer.fill(0xEE);
    srb = Request(0, 1, {0x12, 0, 0, 0, 5, 0}, buffer.data(), 40);
    ASSERT_EQ(Run(srb), SS_COMP);
    EXPECT_EQ(buffer[4], 31);
    EXPECT_EQ(buffer[5], 0xEE);

    buffer.fill(0xEE);
    srb = Request(0, 1, {0x12, 0, 0, 0, 0xFF, 0}, buffer.data(), 40);
    ASSERT_EQ(Run(srb), SS_COMP);
    EXPECT_EQ(buffer[35], '0');
    EXPECT_EQ(buffer[36], 0xEE);  // the answer is 36 bytes
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[0]["In"], "10");
    EXPECT_EQ(trace[1]["In"], "5");
    EXPECT_EQ(trace[2]["In"], "36");
}

TEST_F(SimAspiTest, AddressingErrors) {
    Machine(kTwoDrives);
    support_();
    std::array<uint8_t, 36> answer{};
    EXPECT_EQ(Inquiry(2, 0, answer), SS_INVALID_HA);
    EXPECT_EQ(Inquiry(255, 0, answer), SS_INVALID_HA);
    EXPECT_EQ(Inquiry(0, 0, answer), SS_NO_DEVICE);
    EXPECT_EQ(Inquiry(1, 1, answer), SS_NO_DEVICE);
    EXPECT_EQ(answer[0], 0xEE);  // nothing written

    SRB_ExecSCSICmd srb = Request(0, 1, {0x12, 0, 0, 0, 0x24, 0}, answer.data(), 36);
    srb.SRB_Lun = 1;
    EXPECT_EQ(Run(srb), SS_NO_DEVICE);
    srb = Request(0, 1, {0x12, 0, 0, 0, 0x24, 0}, answer.data(), 36);
    srb.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(Run(srb), SS_INVALID_CMD);
    srb = Request(0, 1, {0x12, 0, 0, 0, 0x24, 0}, nullptr, 36);
    EXPECT_EQ(Run(srb), SS_ERR);
}

TEST_F(SimAspiTest, UnknownCommandGivesIllegalRequestSense) {
    Machine(kTwoDrives);
    support_();
    std::array<uint8_t, 36> buffer{};
    // A download opcode with another subcommand is no download.
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}, buffer.data(), 36);
    EXPECT_EQ(Run(srb), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 0x02);
    const uint8_t sense[14] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
    EXPECT_EQ(std::memcmp(srb.SenseArea, sense, 14), 0);
    EXPECT_EQ(srb.SenseArea[14], 0);

    srb = Request(0, 1, {0x00, 0, 0, 0, 0, 0}, buffer.data(), 0);
    srb.SRB_SenseLen = 3;
    EXPECT_EQ(Run(srb), SS_ERR);
    EXPECT_EQ(srb.SenseArea[2], 0x05);
    EXPECT_EQ(srb.SenseArea[7], 0);  // only SRB_SenseLen bytes of sense

    srb = Request(0, 1, {0x12, 0x01, 0x80, 0, 0x24, 0}, buffer.data(), 36);  // EVPD page
    EXPECT_EQ(Run(srb), SS_ERR);
    EXPECT_EQ(srb.SenseArea[12], 0x24);
    EXPECT_EQ(Trace().back()["Sense"], "05/24/00");
}

TEST_F(SimAspiTest, WholeDownloadIsTakenAtTheMachinesRestart) {
    Machine(kTwoDrives);
    ASSERT_EQ(support_(), 0x0102u);
    auto first = Block(1), next = Block(2), last = Block(3, kModelA, "1.20");
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0xFF, next), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x18, last), SS_COMP);
    EXPECT_EQ(ReadText(dir_ + "/state"),
              "# quorvel simulated machine: firmware revisions taken by downloads\n"
              "pending 0 1 \"1.20\" boot=\"" + BootId() + "\"\n");
    EXPECT_EQ(Revision(0, 1), "1.10");  // the running firmware until the machine restarts
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[0]["Phase"], "first");
    EXPECT_EQ(trace[1]["Phase"], "next");
    EXPECT_EQ(trace[2]["Phase"], "final");
    EXPECT_EQ(trace[2]["NewRevision"], "\"1.20\"");
    EXPECT_EQ(trace[2]["Download"], "3");

    ASSERT_EQ(support_(), 0x0102u);  // the program's next start, the same machine's
    EXPECT_EQ(Revision(0, 1), "1.10");
    Restart();
    EXPECT_EQ(Revision(0, 1), "1.20");
    EXPECT_EQ(Revision(1, 0), "2.04");
    EXPECT_EQ(ReadText(dir_ + "/state"),
              "# quorvel simulated machine: firmware revisions taken by downloads\n"
              "revision 0 1 \"1.20\"\n");
}

TEST_F(SimAspiTest, RevisionIsTheFourBytesAfterTheFirstOccurrenceOfTheModel) {
    Machine(kTwoDrives);
    support_();
    auto only = Block(5, kModelB, "9.99", 100);
    std::memcpy(only.data() + 200, kModelB.data(), 24);  // a later occurrence does not count
    std::memcpy(only.data() + 224, "0.01", 4);
    // A single-block download: byte 5 neither 0x00 nor 0xFF.
    EXPECT_EQ(Download(1, 0, 0x40, only), SS_COMP);
    EXPECT_EQ(Trace().back()["Phase"], "only");
    Restart();
    EXPECT_EQ(Revision(1, 0), "9.99");
    EXPECT_EQ(Revision(0, 1), "1.10");
}

TEST_F(SimAspiTest, FinalBlockMarkedZeroEndsTheSession) {
    Machine(kTwoDrives);
    support_();
    auto first = Block(1), last = Block(2, kModelA, "1.30", 65536 - 28);  // at the very end
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x00, last), SS_COMP);  // LastBlockKb 0: 256 KiB modulo 256
    EXPECT_EQ(Trace().back()["Phase"], "final");
    Restart();
    EXPECT_EQ(Revision(0, 1), "1.30");
}

TEST_F(SimAspiTest, FinalBlockWithoutTheModelTakesNothing) {
    Machine(kTwoDrives);
    support_();
    auto first = Block(1), last = Block(2, kModelB, "6.66");  // another drive's model
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x10, last), SS_COMP);
    EXPECT_EQ(Trace().back()["NewRevision"], "none");
    auto cut = Block(3);  // the revision cut off by the end of the data
    std::memcpy(cut.data() + 65536 - 27, kModelA.data(), 24);
    std::memcpy(cut.data() + 65536 - 3, "7.7", 3);
    EXPECT_EQ(Download(0, 1, 0x10, cut), SS_COMP);
    EXPECT_EQ(Trace().back()["NewRevision"], "none");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/state"));
}

TEST_F(SimAspiTest, UnmarkedFinalBlockLeavesTheSessionOpen) {
    // LastBlockKb 0xFF cannot be told from a further block: nothing is taken.
    Machine(kTwoDrives);
    support_();
    auto first = Block(1), last = Block(2, kModelA, "1.40");
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0xFF, last), SS_COMP);
    EXPECT_EQ(Trace().back()["Phase"], "next");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/state"));
}

TEST_F(SimAspiTest, FurtherBlockWithoutFirstIsRefused) {
    Machine(kTwoDrives);
    support_();
    auto block = Block(1, kModelA, "1.50");
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
    EXPECT_EQ(Run(srb), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 0x02);
    EXPECT_EQ(srb.SenseArea[2], 0x05);
    EXPECT_EQ(srb.SenseArea[12], 0x2C);
    EXPECT_EQ(Trace().back()["Phase"], "stray");
}

TEST_F(SimAspiTest, RefusedCommandEndsTheSessionAndTakesNothing) {
    Machine("trace trace\nstate state\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" refuse=2\n");
    support_();
    auto first = Block(1), next = Block(2), last = Block(3, kModelA, "1.20");
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, first.data(), 65536);
    EXPECT_EQ(Run(srb), SS_COMP);
    srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0}, next.data(), 65536);
    EXPECT_EQ(Run(srb), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 0x02);
    const uint8_t sense[14] = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00};
    EXPECT_EQ(std::memcmp(srb.SenseArea, sense, 14), 0);
    // The session is over: a further block is out of sequence, a final one
    // would start a new single-block download only if marked so.
    EXPECT_EQ(Download(0, 1, 0xFF, next), SS_ERR);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[1]["Sense"], "03/0c/00");
    EXPECT_EQ(trace[1]["Status"], "0x04");
    EXPECT_EQ(trace[2]["Phase"], "stray");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/state"));

    // The count starts again at the next start: command 2 is refused again,
    // and a download that gets past it is taken.
    support_();
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_ERR);
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x18, last), SS_COMP);
    Restart();
    EXPECT_EQ(Revision(0, 1), "1.20");
}

TEST_F(SimAspiTest, RefusedFinalBlockTakesNothing) {
    Machine("trace trace\nstate state\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" refuse=final\n");
    support_();
    auto first = Block(1), next = Block(2), last = Block(3, kModelA, "1.20");
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0xFF, next), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x18, last), SS_ERR);
    EXPECT_EQ(Download(0, 1, 0x18, last), SS_ERR);  // "only" is a final block too
    auto trace = Trace();
    EXPECT_EQ(trace[2]["Phase"], "final");
    EXPECT_EQ(trace[3]["Phase"], "only");
    EXPECT_EQ(trace[2].count("NewRevision"), 0u);
    support_();
    EXPECT_EQ(Revision(0, 1), "1.10");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/state"));
}

TEST_F(SimAspiTest, LaterCompletionComesFromAnotherThread) {
    Machine("trace trace\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" delay=1500 completion=later\n");
    support_();
    auto block = Block(1);
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
    EXPECT_EQ(send_(&srb), SS_PENDING);
    EXPECT_EQ(SrbStatusLoad(&srb), SS_PENDING);
    ASSERT_TRUE(WaitFor([&] { return SrbStatusLoad(&srb) != SS_PENDING; }));
    EXPECT_EQ(SrbStatusLoad(&srb), SS_COMP);
    ASSERT_TRUE(WaitFor([&] { return Trace().size() == 1; }));
    EXPECT_EQ(Trace()[0]["Status"], "0x01");
    EXPECT_EQ(Trace()[0].count("Changed"), 0u);

    // INQUIRY is answered at once all the same.
    std::array<uint8_t, 36> answer{};
    SRB_ExecSCSICmd inquiry = Request(0, 1, {0x12, 0, 0, 0, 0x24, 0}, answer.data(), 36);
    EXPECT_EQ(send_(&inquiry), SS_COMP);
    EXPECT_EQ(SrbStatusLoad(&inquiry), SS_COMP);
}

TEST_F(SimAspiTest, FinalBlockTakesItsOwnTime) {
    Machine("trace trace\nstate state\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" "
            "final-delay=1500 completion=later\n");
    support_();
    auto first = Block(1), last = Block(2, kModelA, "1.20");
    EXPECT_EQ(Download(0, 1, 0x00, first), SS_COMP);
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x18, 0, 0, 0, 0, 0, 0}, last.data(), 65536);
    EXPECT_EQ(send_(&srb), SS_PENDING);
    EXPECT_EQ(SrbStatusLoad(&srb), SS_PENDING);  // still in the drive
    ASSERT_TRUE(WaitFor([&] { return SrbStatusLoad(&srb) != SS_PENDING; }));
    EXPECT_EQ(SrbStatusLoad(&srb), SS_COMP);
    EXPECT_EQ(Trace().back()["NewRevision"], "\"1.20\"");
}

TEST_F(SimAspiTest, CompletionAtOnceIsDoneBeforeTheCallReturns) {
    Machine("adapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" delay=50 completion=now\n");
    support_();
    auto block = Block(1);
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
    EXPECT_EQ(send_(&srb), SS_COMP);
    EXPECT_EQ(SrbStatusLoad(&srb), SS_COMP);
}

TEST_F(SimAspiTest, NeverCompletingCommandLeavesTheStatusAtZero) {
    Machine("trace trace\nstate state\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" completion=never\n");
    support_();
    auto block = Block(1, kModelA, "1.20");
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x05, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
    EXPECT_EQ(send_(&srb), SS_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(SrbStatusLoad(&srb), SS_PENDING);
    EXPECT_EQ(srb.SRB_TargStat, 0);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0]["Status"], "none");
    EXPECT_EQ(trace[0]["Phase"], "none");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/state"));
}

TEST_F(SimAspiTest, TraceLineCarriesEveryRecordField) {
    Machine(kTwoDrives);
    support_();
    std::array<uint8_t, 36> answer{};
    Inquiry(0, 0, answer);
    auto lines = Lines(ReadText(dir_ + "/trace"));
    ASSERT_EQ(lines.size(), 2u);
    std::string line = lines[1];
    line.erase(line.find(" time="), line.find(" Cmd=") - line.find(" time="));
    EXPECT_EQ(line, "SRB seq=1 Cmd=0x02 HaId=0 Flags=0x08 Target=0 Lun=0 BufLen=36 SenseLen=14 "
                    "CDBLen=6 CDB=120000002400 Status=0x82");

    auto block = Block(9);
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
    srb.SRB_Hdr_Rsvd = 0x01020304;
    srb.SRB_Rsvd1 = 0xBEEF;
    srb.SRB_Rsvd2[19] = 0x7F;
    srb.SRB_HaStat = 0x11;
    srb.SRB_TargStat = 0x22;
    srb.SenseArea[0] = 0x33;
    srb.CDBByte[13] = 0xAB;
    Run(srb);
    auto f = Trace().back();
    EXPECT_EQ(f["seq"], "2");
    EXPECT_EQ(f["pid"], std::to_string(::getpid()));
    EXPECT_EQ(f["Cmd"], "0x02");
    EXPECT_EQ(f["HaId"], "0");
    EXPECT_EQ(f["Flags"], "0x02");
    EXPECT_EQ(f["Target"], "1");
    EXPECT_EQ(f["Lun"], "0");
    EXPECT_EQ(f["BufLen"], "65536");
    EXPECT_EQ(f["SenseLen"], "14");
    EXPECT_EQ(f["CDBLen"], "12");
    EXPECT_EQ(f["CDB"], "ff0001000000000000000000");
    EXPECT_EQ(f["CDBRest"], "00ab0000");
    EXPECT_EQ(f["Hdr_Rsvd"], "0x01020304");
    EXPECT_EQ(f["Rsvd1"], "0xbeef");
    EXPECT_EQ(f["Rsvd2"], "00000000000000000000000000000000000000" "7f");
    EXPECT_EQ(f["HaStatIn"], "0x11");
    EXPECT_EQ(f["TargStatIn"], "0x22");
    EXPECT_EQ(f["SenseIn"], "33000000000000000000000000000000");
    EXPECT_EQ(f["Download"], "1");
    EXPECT_EQ(f["Len"], "65536");
    EXPECT_EQ(f["Status"], "0x01");
    // FNV-1a 64 of exactly the bytes the drive was given.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint8_t b : block) hash = (hash ^ b) * 0x100000001b3ull;
    char expected[24];
    std::snprintf(expected, sizeof expected, "%016llx", static_cast<unsigned long long>(hash));
    EXPECT_EQ(f["FNV1a64"], expected);
}

TEST_F(SimAspiTest, DumpHoldsExactlyTheBytesOfEachDownloadCommand) {
    Machine(std::string(kTwoDrives) + "dump dumps\n");
    support_();
    auto block = Block(4);
    block.resize(1000);
    SRB_ExecSCSICmd srb = Request(1, 0, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, block.data(), 1000);
    ASSERT_EQ(Run(srb), SS_COMP);
    auto f = Trace().back();
    std::string path = dir_ + "/dumps/cmd-" + std::to_string(::getpid()) + "-000001.bin";
    EXPECT_EQ(f["Dump"], "\"" + path + "\"");
    std::string dumped = ReadText(path);
    EXPECT_EQ(dumped, std::string(block.begin(), block.end()));
}

TEST_F(SimAspiTest, EnvironmentOverridesPathsRelativeToTheMachineFile) {
    ::setenv("QUORVEL_SIM_TRACE", "elsewhere.trace", 1);
    ::setenv("QUORVEL_SIM_STATE", (dir_ + "/elsewhere.state").c_str(), 1);
    Machine(kTwoDrives);
    support_();
    auto only = Block(1, kModelA, "2.00");
    EXPECT_EQ(Download(0, 1, 0x01, only), SS_COMP);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/elsewhere.trace"));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/trace"));
    EXPECT_NE(ReadText(dir_ + "/elsewhere.state").find("pending 0 1 \"2.00\""), std::string::npos);
    Restart();
    EXPECT_EQ(Revision(0, 1), "2.00");
}

TEST_F(SimAspiTest, StateKeepsEveryDrivesRevision) {
    Machine(kTwoDrives);
    support_();
    auto onlyA = Block(1, kModelA, "1.11"), onlyB = Block(2, kModelB, "2.22");
    EXPECT_EQ(Download(0, 1, 0x01, onlyA), SS_COMP);
    EXPECT_EQ(Download(1, 0, 0x01, onlyB), SS_COMP);
    Restart();
    EXPECT_EQ(Revision(0, 1), "1.11");
    EXPECT_EQ(Revision(1, 0), "2.22");
    // A drive flashed again keeps only the newest revision.
    auto again = Block(3, kModelA, "1.12");
    auto between = Block(4, kModelA, "1.99");
    EXPECT_EQ(Download(0, 1, 0x01, between), SS_COMP);
    EXPECT_EQ(Download(0, 1, 0x01, again), SS_COMP);
    Restart();
    EXPECT_EQ(Revision(0, 1), "1.12");
    EXPECT_EQ(Revision(1, 0), "2.22");
}

// Four programs flash four drives of one machine at the same moment: every
// update of the state file must survive the others. Each child sends the first
// blocks, then all send their final block together, so the four updates of the
// state file meet.
TEST_F(SimAspiTest, ProgramsFlashingDrivesAtOnceKeepEveryRevision) {
    // Each command takes a few milliseconds, the final block longer: the four
    // drives take their revisions at about the same moment.
    const char *drive =
        " vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" delay=5 final-delay=40\n";
    WriteText(machinePath_, std::string("trace trace\nstate state\nadapters 2\n") + "device 0 1" + drive +
                                "device 0 2" + drive + "device 1 0" + drive + "device 1 1" + drive);
    ::setenv("QUORVEL_SIM_MACHINE", machinePath_.c_str(), 1);
    Bind();  // loaded once here; each child starts the machine itself
    const std::array<std::array<uint8_t, 2>, 4> drives{{{0, 1}, {0, 2}, {1, 0}, {1, 1}}};
    const std::array<std::string, 4> revisions{"4.01", "4.02", "4.03", "4.04"};

    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (size_t i = 0; i < drives.size(); ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            const auto [adapter, target] = drives[i];
            bool sent = support_() == 0x0102u;
            auto first = Block(1), next = Block(2), last = Block(3, kModelA, revisions[i]);
            sent = sent && Download(adapter, target, 0x00, first) == SS_COMP;
            sent = sent && Download(adapter, target, 0xFF, next) == SS_COMP;
            (void)!::write(ready[1], "r", 1);
            char byte;
            (void)!::read(go[0], &byte, 1);  // end of file: all are ready
            sent = sent && Download(adapter, target, 0x18, last) == SS_COMP;
            ::_exit(sent ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(ready[1]);
    ::close(go[0]);
    for (size_t i = 0; i < children.size(); ++i) {
        char byte;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    }
    ::close(go[1]);  // every child's final block goes now
    ::close(ready[0]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "every flash was accepted";
    }
    EXPECT_EQ(ReadText(dir_ + "/state"),
              "# quorvel simulated machine: firmware revisions taken by downloads\n"
              "pending 0 1 \"4.01\" boot=\"" + BootId() + "\"\n"
              "pending 0 2 \"4.02\" boot=\"" + BootId() + "\"\n"
              "pending 1 0 \"4.03\" boot=\"" + BootId() + "\"\n"
              "pending 1 1 \"4.04\" boot=\"" + BootId() + "\"\n");
}

TEST_F(SimAspiTest, DemoMachineIsWellFormed) {
    std::filesystem::copy_file(QUORVEL_SOURCE_DIR "/demo/machine/demo.machine", machinePath_);
    UseMachine(machinePath_);
    ASSERT_EQ(support_(), 0x0102u);
    EXPECT_EQ(Revision(0, 1), "1.10");
    std::array<uint8_t, 36> answer{};
    ASSERT_EQ(Inquiry(1, 0, answer), SS_COMP);
    EXPECT_EQ(answer[0], 0x05);
    ASSERT_EQ(Inquiry(0, 3, answer), SS_COMP);
    EXPECT_EQ(answer[0], 0x00);
    ASSERT_EQ(Inquiry(1, 2, answer), SS_COMP);
    EXPECT_EQ(answer[0], 0x01);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/quorvel-sim.trace"));
}

// Another process on a machine file: it takes (or, with `take` false, only
// starts) the machine at `machine`, holds drive 0:1 and answers what it got,
// then lives until it is killed.
struct OtherProgram {
    pid_t pid = -1;
    uint32_t answer = 0;
    OtherProgram(GetASPI32SupportInfoFn support, HoldASPI32DeviceFn hold, const std::string &machine) {
        int pipeEnds[2];
        EXPECT_EQ(::pipe(pipeEnds), 0);
        pid = ::fork();
        if (pid == 0) {
            ::setenv("QUORVEL_SIM_MACHINE", machine.c_str(), 1);
            support();  // a start of that machine in this process
            const uint32_t got = hold(0, 1, HOLD_TAKE);
            (void)!::write(pipeEnds[1], &got, sizeof got);
            ::pause();
            ::_exit(0);
        }
        EXPECT_EQ(::read(pipeEnds[0], &answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    }
    ~OtherProgram() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

TEST_F(SimAspiTest, TwoProgramsOnOneMachineKeepEachOtherOffADriveTwoMachinesNever) {
    Machine(std::string(kTwoDrives) + "device 0 2 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\"\n");
    auto hold = reinterpret_cast<HoldASPI32DeviceFn>(::dlsym(handle_, "HoldASPI32Device"));
    ASSERT_NE(hold, nullptr);
    ASSERT_EQ(support_(), 0x0102u);
    {
        OtherProgram other(support_, hold, machinePath_);
        ASSERT_EQ(other.answer, HOLD_HELD);
        EXPECT_EQ(hold(0, 1, HOLD_TAKE), HOLD_BUSY);
        EXPECT_EQ(hold(0, 2, HOLD_TAKE), HOLD_HELD) << "another drive of the machine is free";
        // The same machine named another way is the same machine.
        const std::string roundabout = dir_ + "/../" + std::filesystem::path(dir_).filename().string() + "/test.machine";
        OtherProgram sameMachine(support_, hold, roundabout);
        EXPECT_EQ(sameMachine.answer, HOLD_BUSY);
        // Another checkout's machine, with the same drive at the same address.
        const std::string otherDir = MakeTempDir();
        WriteText(otherDir + "/test.machine", ReadText(machinePath_));
        {
            OtherProgram otherMachine(support_, hold, otherDir + "/test.machine");
            EXPECT_EQ(otherMachine.answer, HOLD_HELD);
        }
        std::filesystem::remove_all(otherDir);
    }
    // The other program has ended, however: the drive is free again.
    EXPECT_EQ(hold(0, 1, HOLD_TAKE), HOLD_HELD);
    EXPECT_EQ(hold(0, 1, HOLD_TAKE), HOLD_BUSY) << "a second hold of one process is a second holder";
    EXPECT_EQ(hold(0, 1, HOLD_RELEASE), HOLD_RELEASED);
    {
        OtherProgram other(support_, hold, machinePath_);
        EXPECT_EQ(other.answer, HOLD_HELD) << "released means released";
    }
    EXPECT_EQ(hold(0, 3, HOLD_TAKE), HOLD_CANNOT) << "no device there";
    EXPECT_EQ(hold(0, 1, 0), HOLD_CANNOT);
    EXPECT_TRUE(std::filesystem::is_regular_file(machinePath_ + ".0-1.lock"));

    // Each call is traced, with no sequence number of its own.
    std::vector<std::string> holds;
    for (auto &line : Trace("HOLD")) {
        EXPECT_EQ(line.count("seq"), 0u);
        if (line["pid"] == std::to_string(::getpid()))
            holds.push_back(line["HaId"] + ":" + line["Target"] + " " + line["Request"] + " " + line["Answer"]);
    }
    EXPECT_EQ(holds, (std::vector<std::string>{"0:1 take busy", "0:2 take held", "0:1 take held", "0:1 take busy",
                                               "0:1 release released", "0:3 take cannot", "0:1 0x00 cannot"}));
}

TEST_F(SimAspiTest, ADrivesFaultsReachTheRecordAsTheSgManagerFillsIt) {
    Machine("trace trace\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" refuse=1 sense=5/24/00 "
            "timeout=2 gone=4 transport=usb\n"
            "device 0 2 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" completion=later timeout=1\n");
    support_();
    auto block = Block(1);
    // A refusal with its own sense, fixed format, as long as SRB_SenseLen
    // lets it be: 8 bytes of the 18 here, the rest of the area untouched.
    SRB_ExecSCSICmd srb = Request(0, 1, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
    srb.SRB_SenseLen = 8;
    std::memset(srb.SenseArea, 0xEE, sizeof srb.SenseArea);
    EXPECT_EQ(Run(srb), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 0x02);
    EXPECT_EQ(srb.SRB_HaStat, 0x00);
    const uint8_t sense[16] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(srb.SenseArea, sense, 16), 0);
    // Not answered in time: the adapter's time-out (0x0B), no SCSI status,
    // no sense; completed later from another thread as well.
    for (const uint8_t target : {1, 2}) {
        srb = Request(0, target, {0xFF, 0, 0x01, 0, 0, 0x00, 0, 0, 0, 0, 0, 0}, block.data(), 65536);
        EXPECT_EQ(Run(srb), SS_ERR) << int(target);
        EXPECT_EQ(srb.SRB_HaStat, 0x0B);
        EXPECT_EQ(srb.SRB_TargStat, 0x00);
        EXPECT_EQ(srb.SenseArea[0], 0x00);
    }
    // The session did not survive it: the next first block begins one.
    EXPECT_EQ(Download(0, 1, 0x00, block), SS_COMP);
    // Gone at its 4th download command: that one and every later command,
    // INQUIRY too, find no device; the other drive is still there.
    EXPECT_EQ(Download(0, 1, 0xFF, block), SS_NO_DEVICE);
    std::array<uint8_t, 36> answer{};
    EXPECT_EQ(Inquiry(0, 1, answer), SS_NO_DEVICE);
    EXPECT_EQ(Download(0, 1, 0xFF, block), SS_NO_DEVICE);
    EXPECT_EQ(Inquiry(0, 2, answer), SS_COMP);
    std::vector<std::string> lines;
    for (auto &line : Trace())
        if (line["Target"] == "1")
            lines.push_back(line["Download"] + " " + line["Error"] + " " + line["Sense"] + " " + line["Status"]);
    EXPECT_EQ(lines, (std::vector<std::string>{"1  05/24/00 0x04", "2 timeout  0x04", "3   0x01", "4 gone  0x82",
                                               " gone  0x82", " gone  0x82"}))
        << "after it has gone, no command reaches the drive to be counted";
    // Connected again: the next start has it back.
    support_();
    EXPECT_EQ(Inquiry(0, 1, answer), SS_COMP);

    auto transport = reinterpret_cast<GetASPI32DeviceTransportFn>(::dlsym(handle_, "GetASPI32DeviceTransport"));
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport(0, 1), TRANSPORT_USB);
    EXPECT_EQ(transport(0, 2), TRANSPORT_UNKNOWN);
    EXPECT_EQ(transport(0, 3), TRANSPORT_UNKNOWN) << "no device";
}

TEST_F(SimAspiTest, AMountedDiscOrAnotherWriterRefusesTheHoldAndTakesNothing) {
    Machine("trace trace\nadapters 1\n"
            "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" mounted=\"/media/u/MY DISC\"\n"
            "device 0 2 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" hold=in-use\n"
            "device 0 3 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\" hold=shared\n");
    auto hold = reinterpret_cast<HoldASPI32DeviceFn>(::dlsym(handle_, "HoldASPI32Device"));
    auto detail = reinterpret_cast<HoldASPI32DeviceDetailFn>(::dlsym(handle_, "HoldASPI32DeviceDetail"));
    ASSERT_NE(hold, nullptr);
    ASSERT_NE(detail, nullptr);
    support_();
    EXPECT_EQ(hold(0, 1, HOLD_TAKE), HOLD_MOUNTED);
    char text[8];
    EXPECT_EQ(detail(0, 1, text, sizeof text), 16u) << "the whole length, as snprintf";
    EXPECT_STREQ(text, "/media/");
    EXPECT_EQ(detail(0, 1, nullptr, 0), 16u);
    EXPECT_EQ(hold(0, 2, HOLD_TAKE), HOLD_IN_USE);
    EXPECT_EQ(detail(0, 2, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(hold(0, 3, HOLD_TAKE), HOLD_HELD_SHARED);
    // Refused, nothing was taken; held read-only, the drive is held.
    EXPECT_EQ(::system(("flock -n " + machinePath_ + ".0-1.lock true").c_str()), 0);
    EXPECT_EQ(::system(("flock -n " + machinePath_ + ".0-2.lock true").c_str()), 0);
    EXPECT_NE(::system(("flock -n " + machinePath_ + ".0-3.lock true").c_str()), 0);
    EXPECT_EQ(hold(0, 3, HOLD_TAKE), HOLD_BUSY);
    std::vector<std::string> answers;
    for (auto &line : Trace("HOLD")) answers.push_back(line["Target"] + " " + line["Answer"]);
    EXPECT_EQ(answers, (std::vector<std::string>{"1 mounted", "2 in-use", "3 held-shared", "3 busy"}));
}

}  // namespace
