// The SG_IO manager's logic against a scripted system: how adapters and
// targets map to sg nodes, which way data moves, how every SG_IO outcome
// becomes a record status, and which records are refused before anything is
// sent.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "aspi/sg/SgManager.h"
#include "tests/sg/FakeSgSystem.h"

using sgaspi::SgManager;

namespace {

constexpr uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
constexpr uint8_t kDownload[12] = {0xFF, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kFixedSense[18] = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                                     0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00};

// A request block as the program makes one: 256 bytes, the record at its
// start, everything else zero.
struct Request {
    uint8_t block[256] = {};
    SRB_ExecSCSICmd *srb = reinterpret_cast<SRB_ExecSCSICmd *>(block);

    Request(uint8_t adapter, uint8_t target, const uint8_t *cdb, int cdbLength, uint8_t flags, uint8_t *data,
            uint32_t length) {
        srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb->SRB_HaId = adapter;
        srb->SRB_Flags = flags;
        srb->SRB_Target = target;
        srb->SRB_BufLen = length;
        srb->SRB_BufPointer = data;
        srb->SRB_SenseLen = SENSE_LEN;
        srb->SRB_CDBLen = static_cast<uint8_t>(cdbLength);
        std::memcpy(srb->CDBByte, cdb, static_cast<size_t>(std::min(cdbLength, 16)));
    }
};

class SgManagerTest : public ::testing::Test {
protected:
    FakeSgSystem system;
    uint8_t buffer[65536] = {};

    // One CD/DVD device at host 0, target 0 (/dev/sg0).
    void OneDevice() { system.AddNode(0, "0:0:0:0"); }

    uint32_t Inquiry(SgManager &manager, uint8_t adapter, uint8_t target) {
        Request request(adapter, target, kInquiry, 6, SRB_DIR_IN, buffer, 36);
        return manager.Send(request.srb);
    }
};

// --- the address map ------------------------------------------------------

TEST_F(SgManagerTest, AdaptersAreHostsWithOpenableNodesInAscendingHostOrder) {
    system.AddNode(0, "2:0:0:0");
    system.AddNode(1, "0:0:3:0");
    system.AddNode(2, "5:0:1:0", EACCES);  // cannot be opened: host 5 is no adapter
    system.AddNode(3, "0:0:5:0");
    system.AddNode(10, "9:0:1:0");
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0103u);  // SS_COMP, hosts 0, 2, 9

    struct Case {
        uint8_t adapter, target;
        const char *path;
    } cases[] = {{0, 3, "/dev/sg1"}, {0, 5, "/dev/sg3"}, {1, 0, "/dev/sg0"}, {2, 1, "/dev/sg10"}};
    for (const Case &c : cases) {
        system.calls.clear();
        EXPECT_EQ(Inquiry(manager, c.adapter, c.target), SS_COMP) << int(c.adapter) << ":" << int(c.target);
        ASSERT_EQ(system.calls.size(), 1u);
        EXPECT_EQ(system.calls[0].path, c.path);
    }
}

TEST_F(SgManagerTest, AddressesWithoutANodeAnswerNoDeviceOrInvalidAdapterAndSendNothing) {
    system.AddNode(0, "0:0:2:0");
    system.AddNode(1, "1:0:0:1");   // logical unit 1: host 1 is an adapter, the device is not reachable
    system.AddNode(2, "1:0:9:0");   // target beyond 7
    system.AddNode(3, "1:1:0:0");   // channel 1
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0102u);

    EXPECT_EQ(Inquiry(manager, 0, 0), SS_NO_DEVICE);
    EXPECT_EQ(Inquiry(manager, 0, 7), SS_NO_DEVICE);
    EXPECT_EQ(Inquiry(manager, 0, 8), SS_NO_DEVICE);
    EXPECT_EQ(Inquiry(manager, 1, 0), SS_NO_DEVICE);
    EXPECT_EQ(Inquiry(manager, 2, 0), SS_INVALID_HA);
    EXPECT_EQ(Inquiry(manager, 255, 0), SS_INVALID_HA);

    Request otherLun(0, 2, kInquiry, 6, SRB_DIR_IN, buffer, 36);
    otherLun.srb->SRB_Lun = 1;
    EXPECT_EQ(manager.Send(otherLun.srb), SS_NO_DEVICE);
    EXPECT_EQ(SrbStatusLoad(otherLun.srb), SS_NO_DEVICE);
    EXPECT_TRUE(system.calls.empty());

    // The reachable one still works.
    EXPECT_EQ(Inquiry(manager, 0, 2), SS_COMP);
}

TEST_F(SgManagerTest, NoUsableNodeMeansNoAdapters) {
    {
        SgManager manager(system);
        EXPECT_EQ(manager.SupportInfo(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
        EXPECT_EQ(Inquiry(manager, 0, 0), SS_INVALID_HA);
    }
    FakeSgSystem refusing;
    refusing.AddNode(0, "0:0:0:0", EACCES);
    refusing.AddNode(1, "1:0:0:0", ENXIO);
    refusing.AddNode(2, "2:0:0:0");
    refusing.SetSgVersion(2, 20000);  // not an sg node of this interface
    refusing.AddEntry("sgx", "../../../devices/host3/target/3:0:0:0");
    refusing.AddEntry("sg", "../../../devices/host3/target/3:0:0:0");
    refusing.AddEntry("sg7", "");                      // no device link
    refusing.AddEntry("sg8", "../devices/3:0:0");      // not an address
    refusing.AddEntry("sg9", "../devices/3:0:0:0:1");  // not an address
    refusing.AddEntry("sg11", "../devices/-3:0:0:0");
    SgManager manager(refusing);
    EXPECT_EQ(manager.SupportInfo(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
    EXPECT_EQ(refusing.closed.size(), 1u);  // the one that was opened is not left open
}

TEST_F(SgManagerTest, NodesAreOpenedForReadAndWriteOnceAndKeptOpen) {
    OneDevice();
    {
        SgManager manager(system);
        EXPECT_EQ(manager.SupportInfo(), 0x0101u);
        EXPECT_EQ(manager.SupportInfo(), 0x0101u);
        EXPECT_EQ(Inquiry(manager, 0, 0), SS_COMP);
        EXPECT_EQ(Inquiry(manager, 0, 0), SS_COMP);
        EXPECT_EQ(system.opens, 1);
        EXPECT_EQ(system.openFlags & O_ACCMODE, O_RDWR);
        EXPECT_NE(system.openFlags & O_NONBLOCK, 0);
        EXPECT_NE(system.openFlags & O_CLOEXEC, 0);
        EXPECT_TRUE(system.closed.empty());
    }
    EXPECT_EQ(system.closed.size(), 1u);
}

TEST_F(SgManagerTest, ANodeWithoutWriteAccessIsOpenedForReadingAndIdentifiesItsDevice) {
    system.AddNode(0, "0:0:0:0");
    system.SetReadOnly(0, EACCES);
    system.AddNode(1, "1:0:0:0");
    system.SetReadOnly(1, EROFS);
    system.AddNode(2, "2:0:0:0", ENXIO);  // gone: not tried again read-only
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0102u);
    EXPECT_EQ(system.opens, 5);
    EXPECT_EQ(system.openFlags & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(Inquiry(manager, 0, 0), SS_COMP);
    // The kernel refuses such a node the download command: a failure.
    system.answer = [](sg_io_hdr_t &) {
        errno = EPERM;
        return -1;
    };
    Request request(0, 0, kDownload, 12, 0x02, buffer, 65536);
    EXPECT_EQ(manager.Send(request.srb), SS_ERR);
}

TEST_F(SgManagerTest, FirstUseFromTwoThreadsDiscoversOnce) {
    system.AddNode(0, "0:0:0:0");
    system.AddNode(1, "1:0:0:0");
    SgManager manager(system);
    uint32_t infos[2] = {};
    uint8_t statuses[2] = {};
    uint8_t answers[2][36];
    std::thread threads[2];
    for (int i = 0; i < 2; ++i)
        threads[i] = std::thread([&, i] {
            Request request(static_cast<uint8_t>(i), 0, kInquiry, 6, SRB_DIR_IN, answers[i], 36);
            statuses[i] = static_cast<uint8_t>(manager.Send(request.srb));
            infos[i] = manager.SupportInfo();
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(system.opens, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(infos[i], 0x0102u);
        EXPECT_EQ(statuses[i], SS_COMP);
    }
}

TEST(SgAddress, OnlyFourDecimalNumbers) {
    const auto address = sgaspi::ParseScsiAddress("12:0:7:0");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->host, 12);
    EXPECT_EQ(address->channel, 0);
    EXPECT_EQ(address->target, 7);
    EXPECT_EQ(address->lun, 0);
    for (const char *bad : {"", "1:0:0", "1:0:0:0:0", "a:0:0:0", "1::0:0", "1:0:0:", " 1:0:0:0", "1:0:0:0x1",
                            "99999999999:0:0:0", "-1:0:0:0"})
        EXPECT_FALSE(sgaspi::ParseScsiAddress(bad)) << bad;
}

// --- what goes to the kernel ------------------------------------------------

TEST(SgDirection, InOutAndNeitherWithDataGoingOut) {
    using sgaspi::Direction;
    using sgaspi::TransferDirection;
    EXPECT_EQ(TransferDirection(SRB_DIR_IN, 36), Direction::FromDevice);
    EXPECT_EQ(TransferDirection(SRB_DIR_OUT, 512), Direction::ToDevice);
    EXPECT_EQ(TransferDirection(0x02, 65536), Direction::ToDevice);  // the download command
    EXPECT_EQ(TransferDirection(0x00, 1), Direction::ToDevice);
    EXPECT_EQ(TransferDirection(0x02, 0), Direction::None);
    EXPECT_EQ(TransferDirection(SRB_DIR_IN, 0), Direction::None);
    EXPECT_EQ(TransferDirection(SRB_DIR_OUT, 0), Direction::None);
    EXPECT_EQ(TransferDirection(SRB_DIR_IN | SRB_DIR_OUT, 36), Direction::Invalid);
    EXPECT_EQ(TransferDirection(SRB_DIR_IN | SRB_DIR_OUT, 0), Direction::Invalid);
}

TEST_F(SgManagerTest, InquiryGoesOutAsOneShortDataInCall) {
    OneDevice();
    SgManager manager(system);
    EXPECT_EQ(Inquiry(manager, 0, 0), SS_COMP);
    ASSERT_EQ(system.calls.size(), 1u);
    const FakeSgCall &call = system.calls[0];
    EXPECT_EQ(call.header.interface_id, 'S');
    EXPECT_EQ(call.header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(call.header.dxfer_len, 36u);
    EXPECT_EQ(call.header.dxferp, buffer);
    EXPECT_EQ(call.cdb, std::vector<uint8_t>(kInquiry, kInquiry + 6));
    EXPECT_EQ(call.header.timeout, sgaspi::kInquiryTimeoutMs);
    EXPECT_LE(call.header.timeout, 10'000u);
    EXPECT_GE(call.header.mx_sb_len, SENSE_LEN);
    EXPECT_NE(call.header.sbp, nullptr);
    EXPECT_EQ(call.header.iovec_count, 0);
    EXPECT_EQ(call.header.flags, 0u);
}

TEST_F(SgManagerTest, DownloadBlockGoesOutWithItsDataAndAFlashLongTimeout) {
    OneDevice();
    SgManager manager(system);
    for (size_t i = 0; i < sizeof(buffer); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + 3);
    Request request(0, 0, kDownload, 12, 0x02, buffer, 65536);
    EXPECT_EQ(manager.Send(request.srb), SS_COMP);
    ASSERT_EQ(system.calls.size(), 1u);
    const FakeSgCall &call = system.calls[0];
    EXPECT_EQ(call.header.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(call.cdb, std::vector<uint8_t>(kDownload, kDownload + 12));
    EXPECT_EQ(call.data, std::vector<uint8_t>(buffer, buffer + 65536));
    EXPECT_EQ(call.header.timeout, sgaspi::kCommandTimeoutMs);
    EXPECT_GE(call.header.timeout, 3u * 60 * 1000);  // minutes: a drive writing its flash
}

TEST_F(SgManagerTest, BehindAUsbBridgeADownloadBlockHasTheBridgesTimeAndInquiryItsOwn) {
    system.AddNode(0, "0:0:0:0");
    system.AddNode(1, "1:0:0:0");
    const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host1/target1:0:0/1:0:0:0";
    system.realPaths["/sys/class/scsi_generic/sg1/device"] = usb;
    system.links["/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/subsystem"] = "../../../../bus/usb";
    SgManager manager(system);
    Request usbBlock(1, 0, kDownload, 12, 0x02, buffer, 65536);
    Request otherBlock(0, 0, kDownload, 12, 0x02, buffer, 65536);
    EXPECT_EQ(manager.Send(usbBlock.srb), SS_COMP);
    EXPECT_EQ(manager.Send(otherBlock.srb), SS_COMP);
    EXPECT_EQ(Inquiry(manager, 1, 0), SS_COMP);
    ASSERT_EQ(system.calls.size(), 3u);
    EXPECT_EQ(system.calls[0].path, "/dev/sg1");
    EXPECT_EQ(system.calls[0].header.timeout, 120'000u);
    EXPECT_EQ(system.calls[1].header.timeout, 600'000u) << "a drive not behind USB keeps its ten minutes";
    EXPECT_EQ(system.calls[2].header.timeout, 5'000u);
}

TEST_F(SgManagerTest, DirectionRuleAsSent) {
    OneDevice();
    SgManager manager(system);
    struct Case {
        uint8_t flags;
        uint32_t length;
        int direction;
    } cases[] = {{SRB_DIR_IN, 36, SG_DXFER_FROM_DEV},
                 {SRB_DIR_OUT, 512, SG_DXFER_TO_DEV},
                 {0x02, 4096, SG_DXFER_TO_DEV},
                 {0x02, 0, SG_DXFER_NONE},
                 {SRB_DIR_IN, 0, SG_DXFER_NONE}};
    for (const Case &c : cases) {
        system.calls.clear();
        Request request(0, 0, kDownload, 12, c.flags, buffer, c.length);
        EXPECT_EQ(manager.Send(request.srb), SS_COMP);
        ASSERT_EQ(system.calls.size(), 1u);
        EXPECT_EQ(system.calls[0].header.dxfer_direction, c.direction) << int(c.flags) << " " << c.length;
        EXPECT_EQ(system.calls[0].header.dxfer_len, c.direction == SG_DXFER_NONE ? 0u : c.length);
    }
}

// --- records refused before anything is sent -------------------------------

TEST_F(SgManagerTest, RecordsOutOfRangeAreRefusedAndNothingIsSent) {
    OneDevice();
    system.SetMaxTransfer(0, 131072);
    SgManager manager(system);
    uint8_t cdb17[17] = {0x12};

    Request longCdb(0, 0, cdb17, 16, SRB_DIR_IN, buffer, 36);
    longCdb.srb->SRB_CDBLen = 17;
    EXPECT_EQ(manager.Send(longCdb.srb), sgaspi::SS_INVALID_SRB);
    Request noCdb(0, 0, kInquiry, 0, SRB_DIR_IN, buffer, 36);
    EXPECT_EQ(manager.Send(noCdb.srb), sgaspi::SS_INVALID_SRB);
    Request bothWays(0, 0, kInquiry, 6, SRB_DIR_IN | SRB_DIR_OUT, buffer, 36);
    EXPECT_EQ(manager.Send(bothWays.srb), sgaspi::SS_INVALID_SRB);
    Request noBuffer(0, 0, kDownload, 12, 0x02, nullptr, 65536);
    EXPECT_EQ(manager.Send(noBuffer.srb), sgaspi::SS_INVALID_SRB);
    Request tooBig(0, 0, kDownload, 12, 0x02, buffer, 131073);
    EXPECT_EQ(manager.Send(tooBig.srb), sgaspi::SS_BUFFER_TO_BIG);
    EXPECT_EQ(SrbStatusLoad(tooBig.srb), sgaspi::SS_BUFFER_TO_BIG);
    Request huge(0, 0, kDownload, 12, 0x02, buffer, 0xFFFFFFFFu);
    EXPECT_EQ(manager.Send(huge.srb), sgaspi::SS_BUFFER_TO_BIG);
    EXPECT_TRUE(system.calls.empty());

    // Exactly the limit goes out (the fake reads only what it is told is there).
    auto big = std::make_unique<uint8_t[]>(131072);
    Request atLimit(0, 0, kDownload, 12, 0x02, big.get(), 131072);
    EXPECT_EQ(manager.Send(atLimit.srb), SS_COMP);
    // So does a 16-byte command block, whole.
    uint8_t cdb16[16];
    for (int i = 0; i < 16; ++i) cdb16[i] = static_cast<uint8_t>(0xA0 + i);
    Request full(0, 0, cdb16, 16, SRB_DIR_IN, buffer, 8);
    EXPECT_EQ(manager.Send(full.srb), SS_COMP);
    ASSERT_EQ(system.calls.size(), 2u);
    EXPECT_EQ(system.calls[1].cdb, std::vector<uint8_t>(cdb16, cdb16 + 16));
}

TEST_F(SgManagerTest, WithoutAKernelLimitOneCommandCarriesAtMost64KiB) {
    OneDevice();
    system.SetMaxTransfer(0, -1);
    SgManager manager(system);
    Request block(0, 0, kDownload, 12, 0x02, buffer, 65536);
    EXPECT_EQ(manager.Send(block.srb), SS_COMP);
    auto big = std::make_unique<uint8_t[]>(65537);
    Request over(0, 0, kDownload, 12, 0x02, big.get(), 65537);
    EXPECT_EQ(manager.Send(over.srb), sgaspi::SS_BUFFER_TO_BIG);
    EXPECT_EQ(system.calls.size(), 1u);
}

TEST_F(SgManagerTest, ARecordForAnotherCommandGetsInvalidCommandAndNothingElseChanges) {
    OneDevice();
    SgManager manager(system);
    for (uint8_t command : {SC_HA_INQUIRY, SC_GET_DEV_TYPE, uint8_t{0x03}, uint8_t{0xFF}}) {
        Request request(0, 0, kInquiry, 6, SRB_DIR_IN, buffer, 36);
        request.srb->SRB_Cmd = command;
        for (int i = 88; i < 256; ++i) request.block[i] = 0x5A;
        request.block[26] = 0x33;  // where an SRB_ExecSCSICmd has SRB_HaStat
        uint8_t before[256];
        std::memcpy(before, request.block, sizeof(before));
        EXPECT_EQ(manager.Send(request.srb), SS_INVALID_CMD);
        before[1] = SS_INVALID_CMD;
        EXPECT_EQ(std::memcmp(before, request.block, sizeof(before)), 0) << int(command);
    }
    EXPECT_TRUE(system.calls.empty());
    EXPECT_EQ(manager.Send(nullptr), sgaspi::SS_INVALID_SRB);
}

// --- outcomes ----------------------------------------------------------------

struct OutcomeCase {
    const char *name;
    int result;
    int error;
    unsigned host, driver, scsi;
    bool sense;
    uint8_t status, haStat, targStat;
};

void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }

class SgOutcomeTest : public SgManagerTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(SgOutcomeTest, MapsToRecordStatus) {
    const OutcomeCase &c = GetParam();
    OneDevice();
    SgManager manager(system);
    system.answer = [&](sg_io_hdr_t &header) {
        header.host_status = static_cast<unsigned short>(c.host);
        header.driver_status = static_cast<unsigned short>(c.driver);
        header.status = static_cast<unsigned char>(c.scsi);
        if (c.sense) {
            std::memcpy(header.sbp, kFixedSense, sizeof(kFixedSense));
            header.sb_len_wr = sizeof(kFixedSense);
        }
        if (c.result < 0) errno = c.error;
        return c.result;
    };
    Request request(0, 0, kDownload, 12, 0x02, buffer, 65536);
    std::memset(request.srb->SenseArea, 0xEE, sizeof(request.srb->SenseArea));
    request.srb->SRB_HaStat = 0x77;
    request.srb->SRB_TargStat = 0x77;
    EXPECT_EQ(manager.Send(request.srb), c.status);
    EXPECT_EQ(SrbStatusLoad(request.srb), c.status);
    EXPECT_EQ(request.srb->SRB_HaStat, c.haStat);
    EXPECT_EQ(request.srb->SRB_TargStat, c.targStat);
    const bool senseCopied = c.sense && c.result >= 0;
    for (int i = 0; i < SENSE_LEN; ++i)
        EXPECT_EQ(request.srb->SenseArea[i], senseCopied ? kFixedSense[i] : 0) << "sense byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SgOutcomeTest,
    ::testing::Values(
        OutcomeCase{"Good", 0, 0, 0, 0, 0, false, SS_COMP, 0x00, 0x00},
        // Sense that came along with an otherwise clean answer is no failure.
        OutcomeCase{"SenseFlagAlone", 0, 0, 0, 0x08, 0, false, SS_COMP, 0x00, 0x00},
        OutcomeCase{"CheckCondition", 0, 0, 0, 0x08, 0x02, true, SS_ERR, 0x00, 0x02},
        OutcomeCase{"Busy", 0, 0, 0, 0, 0x08, false, SS_ERR, 0x00, 0x08},
        OutcomeCase{"ReservationConflict", 0, 0, 0, 0, 0x18, false, SS_ERR, 0x00, 0x18},
        OutcomeCase{"ConditionMet", 0, 0, 0, 0, 0x04, false, SS_ERR, 0x00, 0x04},
        OutcomeCase{"HostNoConnect", 0, 0, 0x01, 0, 0, false, SS_ERR, sgaspi::HASTAT_SEL_TO, 0x00},
        OutcomeCase{"HostTimeOut", 0, 0, 0x03, 0, 0, false, SS_ERR, sgaspi::HASTAT_COMMAND_TIMEOUT, 0x00},
        OutcomeCase{"HostReset", 0, 0, 0x08, 0, 0, false, SS_ERR, sgaspi::HASTAT_BUS_RESET, 0x00},
        OutcomeCase{"HostError", 0, 0, 0x07, 0, 0, false, SS_ERR, sgaspi::HASTAT_PHASE_ERR, 0x00},
        // The host's word comes first, the target's status is still reported.
        OutcomeCase{"HostAndCheckCondition", 0, 0, 0x03, 0x08, 0x02, true, SS_ERR,
                    sgaspi::HASTAT_COMMAND_TIMEOUT, 0x02},
        OutcomeCase{"DriverTimeout", 0, 0, 0, 0x06, 0, false, SS_ERR, sgaspi::HASTAT_COMMAND_TIMEOUT, 0x00},
        OutcomeCase{"DriverErrorWithSense", 0, 0, 0, 0x0C, 0, true, SS_ERR, sgaspi::HASTAT_PHASE_ERR, 0x00},
        // The call's own error: whatever the header holds is not looked at.
        OutcomeCase{"NotPermitted", -1, EPERM, 0x07, 0x08, 0x02, true, SS_ERR, 0x00, 0x00},
        OutcomeCase{"Interrupted", -1, EINTR, 0, 0, 0, false, SS_ERR, 0x00, 0x00},
        OutcomeCase{"OutOfMemory", -1, ENOMEM, 0, 0, 0, false, SS_ERR, 0x00, 0x00},
        OutcomeCase{"DeviceGone", -1, ENODEV, 0, 0, 0, false, SS_NO_DEVICE, 0x00, 0x00},
        OutcomeCase{"NoSuchDeviceOrAddress", -1, ENXIO, 0, 0, 0, false, SS_NO_DEVICE, 0x00, 0x00}),
    [](const ::testing::TestParamInfo<OutcomeCase> &param) { return std::string(param.param.name); });

TEST_F(SgManagerTest, SenseIsCopiedUpToSenseLenAndNeverBeyondTheRecord) {
    OneDevice();
    SgManager manager(system);
    uint8_t longSense[32];
    for (int i = 0; i < 32; ++i) longSense[i] = static_cast<uint8_t>(0x40 + i);
    int senseWritten = 32;
    system.answer = [&](sg_io_hdr_t &header) {
        header.status = 0x02;
        header.driver_status = 0x08;
        const int n = std::min<int>(senseWritten, header.mx_sb_len);
        std::memcpy(header.sbp, longSense, static_cast<size_t>(n));
        header.sb_len_wr = static_cast<unsigned char>(n);
        return 0;
    };
    struct Case {
        uint8_t senseLen;
        int written;
        int copied;
    } cases[] = {{14, 32, 14}, {0, 32, 0}, {4, 32, 4}, {14, 6, 6}, {16, 32, 16}, {255, 32, 16}};
    for (const Case &c : cases) {
        senseWritten = c.written;
        Request request(0, 0, kDownload, 12, 0x02, buffer, 65536);
        request.srb->SRB_SenseLen = c.senseLen;
        std::memset(request.block + 72, 0xEE, 256 - 72);  // sense area and what follows the record
        EXPECT_EQ(manager.Send(request.srb), SS_ERR);
        const int room = std::min<int>(c.senseLen, 16);
        for (int i = 0; i < 256 - 72; ++i) {
            const uint8_t expected = i < c.copied ? longSense[i] : (i < room ? 0x00 : 0xEE);
            ASSERT_EQ(request.block[72 + i], expected) << "SenseLen " << int(c.senseLen) << " byte " << i;
        }
    }
}

TEST_F(SgManagerTest, StatusIsStillPendingWhileTheCommandRuns) {
    OneDevice();
    SgManager manager(system);
    Request request(0, 0, kInquiry, 6, SRB_DIR_IN, buffer, 36);
    uint8_t seen = 0xFF;
    system.answer = [&](sg_io_hdr_t &header) {
        seen = SrbStatusLoad(request.srb);
        header.status = 0x02;
        return 0;
    };
    EXPECT_EQ(manager.Send(request.srb), SS_ERR);
    EXPECT_EQ(seen, SS_PENDING);
    EXPECT_EQ(SrbStatusLoad(request.srb), SS_ERR);
}

TEST_F(SgManagerTest, ADeviceGoneAfterDiscoveryFailsItsCommand) {
    OneDevice();
    system.AddNode(1, "0:0:1:0");
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0101u);
    // The node is gone: the held descriptor answers ENODEV, as the kernel's
    // does for a detached device.
    system.answer = [&](sg_io_hdr_t &) {
        errno = ENODEV;
        return -1;
    };
    Request request(0, 1, kDownload, 12, 0x02, buffer, 65536);
    EXPECT_EQ(manager.Send(request.srb), SS_NO_DEVICE);
    EXPECT_EQ(system.opens, 2);  // not looked up again
}

// --- why a drive cannot be reached ---------------------------------------

constexpr const char *kNoSg =
    "the SCSI generic driver (sg) is not loaded. Load it with: sudo modprobe sg";
constexpr const char *kJoinCdrom =
    " To flash it, use the desktop session of the seat the drive belongs to, or join group cdrom: "
    "sudo adduser $USER cdrom, then log in again.";

TEST_F(SgManagerTest, WithoutAnySgNodeStandardErrorSaysOnceToLoadTheDriver) {
    {
        SgManager manager(system);
        EXPECT_EQ(manager.SupportInfo(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
        EXPECT_EQ(manager.SupportInfo(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
        EXPECT_EQ(system.reports, std::vector<std::string>{std::string("quorvel: no drive can be reached: ") + kNoSg});
    }
    // The drives the kernel sees are named, in their order.
    FakeSgSystem drives;
    drives.AddCdDvdDrive("sr1", "4:0:0:0", "QUORVEL ", "DVDRW-1612B     ");
    drives.AddCdDvdDrive("sr0", "1:0:0:0", "QEMU    ", "QEMU CD-ROM     ");
    SgManager manager(drives);
    EXPECT_EQ(manager.SupportInfo(), static_cast<uint32_t>(SS_NO_ADAPTERS) << 8);
    EXPECT_EQ(drives.reports, std::vector<std::string>{
                                  std::string("quorvel: the CD/DVD drives sr0 (QEMU QEMU CD-ROM), "
                                              "sr1 (QUORVEL DVDRW-1612B) cannot be reached: ") + kNoSg});
}

TEST_F(SgManagerTest, ACdDvdDriveOfTheKernelsWithoutAnSgNodeIsNamed) {
    system.AddNode(0, "0:0:1:0");           // a disk, reachable
    system.AddNode(1, "1:0:0:0", ENOENT);   // in sysfs, but /dev/sg1 was never made
    system.AddNode(2, "3:0:0:0");
    system.AddCdDvdDrive("sr0", "1:0:0:0", "QEMU    ", "QEMU CD-ROM     ");
    system.AddCdDvdDrive("sr1", "2:0:0:0", "QUORVEL ", "CDRW-4824A      ");  // no sg entry at all
    system.AddCdDvdDrive("sr2", "3:0:0:0", "QUORVEL ", "DVDRW-1612B     ");  // has its node
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0102u);
    EXPECT_EQ(system.reports,
              (std::vector<std::string>{
                  "quorvel: the CD/DVD drive sr0 (QEMU QEMU CD-ROM) cannot be reached: its SCSI generic node "
                  "/dev/sg1 does not exist; the device manager (udev) makes it, or: "
                  "sudo mknod -m 660 /dev/sg1 c 21 1 && sudo chgrp cdrom /dev/sg1",
                  "quorvel: the CD/DVD drive sr1 (QUORVEL CDRW-4824A) cannot be reached: the SCSI generic "
                  "driver (sg) has no node for it; loading the driver again makes one: "
                  "sudo modprobe -r sg && sudo modprobe sg"}));
}

TEST_F(SgManagerTest, ACdDvdNodeThatCannotBeOpenedForWritingIsExplainedWithItsRemedy) {
    system.AddNode(0, "0:0:0:0");
    system.SetReadOnly(0, EACCES);  // read-only: listed, but the download would fail
    system.SetDevice(0, 5, "QEMU    ", "QEMU CD-ROM     ");
    system.AddNode(1, "1:0:0:0", EACCES);  // not at all: not listed
    system.SetDevice(1, 5, "QUORVEL ", "CDRW-4824A      ");
    system.AddNode(2, "2:0:0:0", EACCES);  // a disk: not the program's business
    system.SetDevice(2, 0, "ATA     ", "DISK            ");
    system.AddNode(3, "3:0:0:0", EBUSY);   // held by someone: no permission to give
    system.SetDevice(3, 5, "QUORVEL ", "DVDRW-1612B     ");
    system.AddNode(4, "4:0:0:0");
    system.SetDevice(4, 5, "QVTEST  ", "SGDEBUG DVD-ROM ");
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0102u);  // hosts 0 and 4
    EXPECT_EQ(system.reports,
              (std::vector<std::string>{
                  std::string("quorvel: the CD/DVD drive QEMU QEMU CD-ROM (/dev/sg0) cannot be opened for writing: "
                              "Permission denied; it is listed, but no firmware can be sent to it.") + kJoinCdrom,
                  std::string("quorvel: the CD/DVD drive QUORVEL CDRW-4824A (/dev/sg1) cannot be opened for writing: "
                              "Permission denied; it is not listed.") + kJoinCdrom,
                  "quorvel: the CD/DVD drive QUORVEL DVDRW-1612B (/dev/sg3) cannot be opened for writing: "
                  "Device or resource busy; it is not listed."}));
    // Nothing is said again, and the drives that can be reached still are.
    EXPECT_EQ(Inquiry(manager, 1, 0), SS_COMP);
    EXPECT_EQ(system.reports.size(), 3u);
}

TEST_F(SgManagerTest, NothingIsSaidWhenEveryDriveCanBeReached) {
    system.AddNode(0, "0:0:0:0");
    system.SetDevice(0, 5, "QEMU    ", "QEMU CD-ROM     ");
    system.AddNode(1, "0:0:1:0");
    system.SetDevice(1, 0, "QEMU    ", "QEMU HARDDISK   ");
    system.AddCdDvdDrive("sr0", "0:0:0:0", "QEMU    ", "QEMU CD-ROM     ");
    SgManager manager(system);
    EXPECT_EQ(manager.SupportInfo(), 0x0101u);
    EXPECT_TRUE(system.reports.empty());
}

}  // namespace
