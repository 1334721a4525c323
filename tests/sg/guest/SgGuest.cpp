// Runs inside a virtual machine on a real kernel: drive discovery through the
// SG_IO manager, the download command sent to every drive found, records the
// manager must refuse, callers without the right to send the download
// command, the desktop user given the drives' nodes as a desktop gives them,
// a device that vanishes after discovery, and measurements of the manager
// against bare SG_IO. Every finding is one line on the console starting with
// "QV "; the host reads them and decides.
//
//   quorvel-sg-guest suite BENCH_DRIVE   everything above; the 64 KiB block
//                                        measurement on the drive whose
//                                        identification starts with BENCH_DRIVE
//   quorvel-sg-guest no-sg               discovery alone, before the sg
//                                        driver is loaded
//   quorvel-sg-guest dies DRIVE          a download to a drive whose handler
//                                        dies with the command in hand
//   quorvel-sg-guest lock-probe NODE     the lock the device manager (udev)
//                                        asks for before it probes a block
//                                        device: "free", "busy" or why not
//   quorvel-sg-guest hold-flash DRIVE N exclusive|read-only
//                                        a whole download of N blocks, the
//                                        drive held by the manager (its
//                                        exclusive open), or as the manager
//                                        held drives before it (the block
//                                        node read-only): what the kernel
//                                        sends meanwhile is the drive's to
//                                        record
//   quorvel-sg-guest hold DRIVE          the manager's answer to a take of
//                                        the drive's hold, and its detail
//   quorvel-sg-guest cause DRIVE         the drive's transport, and why the
//                                        first block failed, in words
//   quorvel-sg-guest gone DRIVE N        N blocks, sent on whatever becomes
//                                        of the drive meanwhile
#include <fcntl.h>
#include <grp.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "aspi/sg/SgManager.h"
#include "drive/FailureCause.h"
#include "drive/Presence.h"
#include "drive/Probe.h"
#include "drive/Scsi.h"
#include "platform/aspi.h"
#include "platform/wnaspi32.h"

// The manager library's entry points, linked in whole.
extern "C" uint32_t GetASPI32SupportInfo(void);
extern "C" uint32_t SendASPI32Command(void *srb);
extern "C" uint32_t GetASPI32DeviceTransport(uint8_t adapter, uint8_t target);
extern "C" uint32_t HoldASPI32Device(uint8_t adapter, uint8_t target, uint32_t request);
extern "C" uint32_t HoldASPI32DeviceDetail(uint8_t adapter, uint8_t target, char *text, uint32_t size);

// A manager of the process's own, made after it has given up its rights;
// while there is none, the library's.
sgaspi::SgManager *ownManager = nullptr;

// The program's side of the manager, without the platform layer.
namespace aspi {
uint32_t GetASPI32SupportInfo() { return ownManager ? ownManager->SupportInfo() : ::GetASPI32SupportInfo(); }
uint32_t SendASPI32Command(void *srb) { return ownManager ? ownManager->Send(srb) : ::SendASPI32Command(srb); }
uint32_t GetASPI32DeviceTransport(uint8_t adapter, uint8_t target) {
    return ownManager ? ownManager->Transport(adapter, target) : ::GetASPI32DeviceTransport(adapter, target);
}
}  // namespace aspi

namespace {

constexpr uint32_t kBlockSize = 65536;
std::unique_ptr<uint8_t[]> transfer(new uint8_t[524288]());

std::string Hex(const uint8_t *bytes, size_t count) {
    std::string text;
    char part[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(part, sizeof(part), i ? " %02X" : "%02X", bytes[i]);
        text += part;
    }
    return text;
}

std::string ReadLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
    return text;
}

// The sg node whose device has this identification (vendor, product), found
// through sysfs, for what the manager does not show: the bare SG_IO loop and
// the removal of the device.
std::string NodeOf(const std::string &identification) {
    const std::string vendor = TrimRight(identification.substr(0, 8));
    const std::string product = TrimRight(identification.substr(8, 16));
    for (int n = 0; n < 64; ++n) {
        const std::string base = "/sys/class/scsi_generic/sg" + std::to_string(n) + "/device/";
        if (TrimRight(ReadLine(base + "vendor")) == vendor && TrimRight(ReadLine(base + "model")) == product)
            return "sg" + std::to_string(n);
    }
    return {};
}

// The download command as the program sends its first block, with the whole
// record kept so that what the manager filled in can be shown.
struct Outcome {
    uint8_t status;
    SRB_ExecSCSICmd srb;
};

Outcome SendRecord(uint8_t adapter, uint8_t target, const uint8_t *cdb, int cdbLength, uint32_t length,
                   uint8_t cdbLenField = 0) {
    auto block = std::make_unique<uint8_t[]>(kRequestBlockSize);
    FillScsiRequest(block.get(), adapter, target, cdb, cdbLength, transfer.get(), length);
    auto *srb = reinterpret_cast<SRB_ExecSCSICmd *>(block.get());
    if (cdbLenField) srb->SRB_CDBLen = cdbLenField;
    aspi::SendASPI32Command(srb);
    uint8_t status;
    while ((status = SrbStatusLoad(srb)) == SS_PENDING) {
    }
    return {status, *srb};
}

void PrintRecord(const char *what, int index, const Outcome &outcome) {
    std::printf("QV %s %d status=%02X hastat=%02X targstat=%02X sense=%s\n", what, index, outcome.status,
                outcome.srb.SRB_HaStat, outcome.srb.SRB_TargStat, Hex(outcome.srb.SenseArea, SENSE_LEN).c_str());
}

uint8_t DownloadBlock[12];

volatile sig_atomic_t alarms = 0;
void OnAlarm(int) { alarms = alarms + 1; }

// READ(10) of the first 512-byte block: a command scsi_debug delays.
const uint8_t kRead10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};

// One command straight through SG_IO on a descriptor of its own.
int BareCommand(int fd, const uint8_t *command, int length, uint8_t *answer, uint32_t answerLength,
                int direction = SG_DXFER_FROM_DEV) {
    uint8_t cdb[16];
    uint8_t sense[32];
    std::memcpy(cdb, command, static_cast<size_t>(length));
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = direction;
    header.cmd_len = static_cast<unsigned char>(length);
    header.cmdp = cdb;
    header.dxfer_len = answerLength;
    header.dxferp = answer;
    header.mx_sb_len = sizeof(sense);
    header.sbp = sense;
    header.timeout = 5000;
    if (ioctl(fd, SG_IO, &header) < 0) return -errno;
    return (header.status || header.host_status || (header.driver_status & ~0x08)) ? 1 : 0;
}

int BareInquiry(int fd, uint8_t *answer) { return BareCommand(fd, InquiryCommand, 6, answer, 36); }

// A signal that arrives while a command is in the device: the manager's call
// still waits for the command's end (a bare SG_IO would return EINTR with
// the command still running, or with SA_RESTART send it a second time). The
// scsi_debug device is slowed down for this.
void SignalDuringCommand(const Drive &drive, const std::string &node) {
    const std::string delayPath = "/sys/bus/pseudo/drivers/scsi_debug/delay";
    const std::string oldDelay = ReadLine(delayPath);
    std::ofstream(delayPath) << "100\n";  // jiffies: some hundreds of milliseconds
    struct sigaction action {};
    action.sa_handler = OnAlarm;  // no SA_RESTART
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{};
    timer.it_value.tv_usec = 50'000;

    alarms = 0;
    setitimer(ITIMER_REAL, &timer, nullptr);
    const Outcome outcome = SendRecord(drive.address.adapter, drive.address.target, kRead10, 10, 512);
    std::printf("QV signal manager status=%02X targstat=%02X alarms=%d\n", outcome.status, outcome.srb.SRB_TargStat,
                static_cast<int>(alarms));

    const int fd = open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    uint8_t answer[512];
    alarms = 0;
    setitimer(ITIMER_REAL, &timer, nullptr);
    const int bare = BareCommand(fd, kRead10, 10, answer, sizeof(answer));
    std::printf("QV signal bare result=%s alarms=%d\n", bare == -EINTR ? "EINTR" : std::to_string(bare).c_str(),
                static_cast<int>(alarms));
    usleep(600'000);  // the orphaned command ends before the device is used again
    close(fd);
    std::ofstream(delayPath) << oldDelay << "\n";
    std::printf("QV signal delay restored=%s\n", ReadLine(delayPath).c_str());
}

void PrepareDownload() {
    std::memcpy(DownloadBlock, DownloadCommand, sizeof(DownloadBlock));
    for (uint32_t i = 0; i < kBlockSize; ++i) transfer[i] = static_cast<uint8_t>(i * 13 + 1);
}

// The drive whose identification starts with `prefix`; null when none.
const Drive *FindDrive(const std::vector<Drive> &drives, const std::string &prefix) {
    for (const Drive &drive : drives)
        if (drive.identity.Entry().rfind(prefix, 0) == 0) return &drive;
    return nullptr;
}

// One download command with byte 5 set as given, through the transport.
int SendBlock(const Drive &drive, uint8_t mark) {
    DownloadBlock[5] = mark;
    const int status = ExecuteScsiCommand(drive.address.adapter, drive.address.target, DownloadBlock, 12, transfer.get(), kBlockSize);
    DownloadBlock[5] = 0x00;
    return status;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Every sg node whose device is a CD/DVD drive (type 5), by sysfs.
std::vector<std::string> CdDvdNodes() {
    std::vector<std::string> nodes;
    for (int n = 0; n < 64; ++n) {
        const std::string base = "/sys/class/scsi_generic/sg" + std::to_string(n) + "/device/";
        if (ReadLine(base + "type") == "5") nodes.push_back("/dev/sg" + std::to_string(n));
    }
    return nodes;
}

// Time per INQUIRY through ExecuteScsiCommand and the manager, beside a bare
// SG_IO loop on a descriptor of its own to the same node. Rounds alternate
// so that both see the same machine; the best round of each counts.
void Bench(int index, const Drive &drive, const std::string &node) {
    const int fd = open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("QV bench %d cannot open /dev/%s: %s\n", index, node.c_str(), std::strerror(errno));
        return;
    }
    constexpr int kRounds = 7;
    constexpr int kCommands = 300;
    uint8_t answer[36];
    double bestManager = 1e30, bestBare = 1e30;
    int failures = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCommands; ++i)
            if (ExecuteScsiCommand(drive.address.adapter, drive.address.target, InquiryCommand, 6, answer, 36) != SS_COMP) ++failures;
        const double manager =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kCommands;

        start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCommands; ++i)
            if (BareInquiry(fd, answer) != 0) ++failures;
        const double bare =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kCommands;
        bestManager = std::min(bestManager, manager);
        bestBare = std::min(bestBare, bare);
    }
    close(fd);
    std::printf("QV bench %d \"%s\" commands=%d manager_ns=%.0f bare_ns=%.0f ratio=%.3f failures=%d\n", index,
                drive.identity.Entry().c_str(), kRounds * kCommands, bestManager, bestBare, bestManager / bestBare,
                failures);
}

// Time per 64 KiB download block through ExecuteScsiCommand and the manager,
// beside a bare SG_IO loop sending the same command with the same data to
// the same node on a descriptor of its own. The drive takes every block:
// one that ends any download left open, a first block, then further blocks
// only. Each round is one run of each, in turns first, so that neither
// always meets the machine as the other left it; the ratio per round is
// reported as its least, middle and greatest value.
void BenchBlocks(const Drive &drive, const std::string &node) {
    const int fd = open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("QV bench-block cannot open /dev/%s: %s\n", node.c_str(), std::strerror(errno));
        return;
    }
    constexpr int kRounds = 9;
    constexpr int kBlocks = 40;
    int failures = 0;
    if (SendBlock(drive, 0x01) != SS_COMP) ++failures;
    if (SendBlock(drive, 0x00) != SS_COMP) ++failures;
    uint8_t further[12];
    std::memcpy(further, DownloadBlock, sizeof further);
    further[5] = 0xFF;
    std::vector<double> managerNs, bareNs, ratios;
    const auto throughManager = [&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlocks; ++i)
            if (SendBlock(drive, 0xFF) != SS_COMP) ++failures;
        return Seconds(start) * 1e9 / kBlocks;
    };
    const auto bareLoop = [&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlocks; ++i)
            if (BareCommand(fd, further, 12, transfer.get(), kBlockSize, SG_DXFER_TO_DEV) != 0) ++failures;
        return Seconds(start) * 1e9 / kBlocks;
    };
    for (int round = 0; round < kRounds; ++round) {
        double manager, bare;
        if (round % 2 == 0) {
            manager = throughManager();
            bare = bareLoop();
        } else {
            bare = bareLoop();
            manager = throughManager();
        }
        managerNs.push_back(manager);
        bareNs.push_back(bare);
        ratios.push_back(manager / bare);
    }
    close(fd);
    for (auto *values : {&managerNs, &bareNs, &ratios}) std::sort(values->begin(), values->end());
    const size_t middle = kRounds / 2;
    std::printf("QV bench-block \"%s\" rounds=%d blocks=%d manager_us=%.0f bare_us=%.0f ratio_min=%.3f "
                "ratio_median=%.3f ratio_max=%.3f failures=%d\n",
                drive.identity.Entry().c_str(), kRounds, kBlocks, managerNs[middle] / 1000, bareNs[middle] / 1000,
                ratios.front(), ratios[middle], ratios.back(), failures);
}

// The desktop user (uid 1000, group cdrom (24) when `inGroup`), given the
// CD/DVD drives' nodes as a desktop gives them: root:cdrom, mode 0660.
// With the group it finds them, and the download command reaches each
// device, which answers it; without, it lists none, and its manager says
// on standard error why.
void DesktopUser(bool inGroup) {
    constexpr uid_t kUser = 1000;
    constexpr gid_t kCdrom = 24;
    const char *name = inGroup ? "desktop-cdrom" : "desktop-nogroup";
    const std::vector<std::string> nodes = CdDvdNodes();
    for (const std::string &node : nodes) {
        chown(node.c_str(), 0, kCdrom);
        chmod(node.c_str(), 0660);
    }
    std::printf("QV %s begin nodes=%zu\n", name, nodes.size());
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const gid_t groups[] = {kCdrom};
        if (setgroups(inGroup ? 1 : 0, groups) != 0 || setgid(kUser) != 0 || setuid(kUser) != 0) {
            std::printf("QV %s cannot become the user: %s\n", name, std::strerror(errno));
            _exit(1);
        }
        ownManager = new sgaspi::SgManager(sgaspi::RealSgSystem());
        const uint32_t info = aspi::GetASPI32SupportInfo();
        const std::vector<Drive> drives = ProbeDrives(static_cast<int>(info & 0xFF), transfer.get());
        std::printf("QV %s uid=%d adapters=%u status=%02X drives=%zu\n", name, static_cast<int>(getuid()),
                    info & 0xFF, (info >> 8) & 0xFF, drives.size());
        PrepareDownload();
        for (size_t k = 0; k < drives.size(); ++k) {
            std::printf("QV %s drive %zu text=\"%s\"\n", name, k, drives[k].identity.Entry().c_str());
            PrintRecord((std::string(name) + "-download").c_str(), static_cast<int>(k),
                        SendRecord(drives[k].address.adapter, drives[k].address.target, DownloadBlock, 12, kBlockSize));
        }
        std::fflush(stdout);
        _exit(0);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    std::printf("QV %s exit=%d\n", name, WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
    for (const std::string &node : nodes) {
        chown(node.c_str(), 0, 0);
        chmod(node.c_str(), 0600);
    }
}

// Discovery alone: before the sg driver is loaded there is no adapter, and
// the manager says on standard error what to do.
int NoSgDriver() {
    const uint32_t info = aspi::GetASPI32SupportInfo();
    std::printf("QV no-sg support adapters=%u status=%02X\n", info & 0xFF, (info >> 8) & 0xFF);
    return 0;
}

// A download to a drive whose handler dies with the command in hand: the
// command fails once the kernel's target gives it up (the backstore's time
// limit, lowered for the test), long before the manager's own; so does the
// next. Nothing hangs.
int HandlerDies(const std::string &prefix) {
    const uint32_t info = aspi::GetASPI32SupportInfo();
    const std::vector<Drive> drives = ProbeDrives(static_cast<int>(info & 0xFF), transfer.get());
    const Drive *drive = FindDrive(drives, prefix);
    std::printf("QV dies drives=%zu found=%d\n", drives.size(), drive ? 1 : 0);
    if (!drive) return 1;
    PrepareDownload();
    std::printf("QV dies first status=%02X\n", SendBlock(*drive, 0x00));
    auto start = std::chrono::steady_clock::now();
    DownloadBlock[5] = 0xFF;
    const Outcome next = SendRecord(drive->address.adapter, drive->address.target, DownloadBlock, 12, kBlockSize);
    DownloadBlock[5] = 0x00;
    const double nextSeconds = Seconds(start);
    PrintRecord("dies-next", 1, next);
    start = std::chrono::steady_clock::now();
    const Outcome inquiry = SendRecord(drive->address.adapter, drive->address.target, InquiryCommand, 6, 36);
    const double inquirySeconds = Seconds(start);
    PrintRecord("dies-inquiry", 2, inquiry);
    std::printf("QV dies seconds next=%.1f inquiry=%.1f limit=%u\n", nextSeconds, inquirySeconds,
                sgaspi::kCommandTimeoutMs / 1000);
    return 0;
}

// As systemd-udevd does before it processes a block device's event: the
// node opened read-only and non-blocking, a shared lock asked for without
// waiting; granted, it is let go at once. Busy means that udev would leave
// the device alone.
int LockProbe(const char *node) {
    const int fd = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("cannot-open:%d\n", errno);
        return 0;
    }
    const int result = flock(fd, LOCK_SH | LOCK_NB);
    const int error = errno;
    close(fd);
    if (result == 0) std::printf("free\n");
    else if (error == EWOULDBLOCK) std::printf("busy\n");
    else std::printf("cannot-lock:%d\n", error);
    return 0;
}

// The drive whose identification starts with `prefix`, found as the program
// finds drives; null (said) when there is none.
const Drive *Discover(std::vector<Drive> &drives, const std::string &prefix, const char *what) {
    const uint32_t info = aspi::GetASPI32SupportInfo();
    drives = ProbeDrives(static_cast<int>(info & 0xFF), transfer.get());
    const Drive *drive = FindDrive(drives, prefix);
    if (drive == nullptr) std::printf("QV %s no-drive\n", what);
    return drive;
}

// The block's mark as the program sets it: first, further, final.
uint8_t Mark(int block, int count) { return block == 0 ? 0x00 : block < count - 1 ? 0xFF : 0x40; }

// A whole download, the drive held either way. Read-only is the hold as the
// manager took it before its exclusive open: both nodes locked, the block
// node open read-only.
// The hold taken as the manager takes it (its exclusive open), or as it took
// it before (the block node read-only); true when taken. `sg`, `sr`: what
// the read-only take opened, for its release.
bool TakeHold(const Drive &drive, const std::string &node, bool exclusive, int *sg, int *sr, uint32_t *answer) {
    if (exclusive) {
        *answer = ::HoldASPI32Device(drive.address.adapter, drive.address.target, HOLD_TAKE);
        return *answer == HOLD_HELD;
    }
    std::string block;
    for (const auto &entry : std::filesystem::directory_iterator("/sys/class/scsi_generic/" + node + "/device/block"))
        block = entry.path().filename();
    *sg = open(("/dev/" + node).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    *sr = open(("/dev/" + block).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool held = *sg >= 0 && *sr >= 0 && flock(*sg, LOCK_EX | LOCK_NB) == 0 && flock(*sr, LOCK_EX | LOCK_NB) == 0;
    *answer = held ? HOLD_HELD_SHARED : HOLD_CANNOT;
    return held;
}

void ReleaseHold(const Drive &drive, bool exclusive, int *sg, int *sr) {
    if (exclusive) ::HoldASPI32Device(drive.address.adapter, drive.address.target, HOLD_RELEASE);
    if (*sr >= 0) close(*sr);
    if (*sg >= 0) close(*sg);
    *sr = *sg = -1;
}

int HoldFlash(const std::string &prefix, int count, bool exclusive) {
    using Clock = std::chrono::steady_clock;
    const auto micros = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); };
    const char *mode = exclusive ? "exclusive" : "read-only";
    std::vector<Drive> drives;
    const Drive *drive = Discover(drives, prefix, "hold-flash");
    if (drive == nullptr) return 1;
    const std::string node = NodeOf(drive->identity.Entry());
    int sg = -1, sr = -1;
    uint32_t answer = 0;
    const auto started = Clock::now();
    TakeHold(*drive, node, exclusive, &sg, &sr, &answer);
    const auto held = Clock::now();
    PrepareDownload();
    std::string statuses;
    for (int block = 0; block < count; ++block) {
        char status[8];
        std::snprintf(status, sizeof status, "%s%02X", block ? "," : "", SendBlock(*drive, Mark(block, count)));
        statuses += status;
    }
    const auto sent = Clock::now();
    ReleaseHold(*drive, exclusive, &sg, &sr);
    std::printf("QV hold-flash %s answer=%u statuses=%s\n", mode, answer, statuses.c_str());
    // The take alone, again and again: what it adds before the first block.
    std::vector<double> takes;
    for (int round = 0; round < 41; ++round) {
        uint32_t again = 0;
        const auto before = Clock::now();
        TakeHold(*drive, node, exclusive, &sg, &sr, &again);
        takes.push_back(micros(Clock::now() - before));
        ReleaseHold(*drive, exclusive, &sg, &sr);
    }
    std::sort(takes.begin(), takes.end());
    std::printf("QV bench-hold %s take_us=%.0f median_take_us=%.0f flash_ms=%.0f\n", mode, micros(held - started),
                takes[takes.size() / 2], micros(sent - held) / 1000.0);
    return 0;
}

// The manager's answer to a take, and the text that goes with it.
int HoldAnswer(const std::string &prefix) {
    std::vector<Drive> drives;
    const Drive *drive = Discover(drives, prefix, "hold");
    if (drive == nullptr) return 1;
    const uint32_t answer = ::HoldASPI32Device(drive->address.adapter, drive->address.target, HOLD_TAKE);
    char detail[256] = {};
    ::HoldASPI32DeviceDetail(drive->address.adapter, drive->address.target, detail, sizeof detail);
    if (answer == HOLD_HELD || answer == HOLD_HELD_SHARED)
        ::HoldASPI32Device(drive->address.adapter, drive->address.target, HOLD_RELEASE);
    std::printf("QV hold answer=%u detail=\"%s\"\n", answer, detail);
    return 0;
}

// How the drive is attached, and the first block's fate, as the flash's
// process will say it.
int Cause(const std::string &prefix) {
    std::vector<Drive> drives;
    const Drive *drive = Discover(drives, prefix, "cause");
    if (drive == nullptr) return 1;
    PrepareDownload();
    DownloadBlock[5] = 0x00;
    const ScsiAnswer answer =
        ExecuteScsiCommandAnswered(drive->address.adapter, drive->address.target, DownloadBlock, 12, transfer.get(), kBlockSize);
    const FailureCause cause = DecideFailureCause(answer);
    std::printf("QV cause transport=%s status=%02X kind=%s sense=%s\n", TransportWord(drive->transport),
                answer.status, FailureKindWord(cause.kind), cause.senseHex.c_str());
    std::printf("QV cause said %s\n", SayFailureCause(cause).c_str());
    std::printf("QV cause advice=%s\n", WantsUsbAdvice(cause, drive->transport, true) ? "yes" : "no");
    return 0;
}

// Every block sent whatever the drive answered, and an INQUIRY after them:
// a drive that has gone answers no device from then on, at once. Each
// block's statuses, its cause as they alone tell it, and as the flash's
// process decides it, asking whether the drive is still there.
int Gone(const std::string &prefix, int count) {
    std::vector<Drive> drives;
    const Drive *drive = Discover(drives, prefix, "gone");
    if (drive == nullptr) return 1;
    const uint32_t held = ::HoldASPI32Device(drive->address.adapter, drive->address.target, HOLD_TAKE);
    std::printf("QV gone held=%u\n", held);
    PrepareDownload();
    for (int block = 0; block < count; ++block) {
        const ScsiAnswer answer = ExecuteScsiCommandAnswered(drive->address.adapter, drive->address.target, DownloadBlock, 12,
                                                             transfer.get(), kBlockSize);
        DownloadBlock[5] = Mark(block + 1, count);
        std::printf("QV gone block %d status=%02X hastat=%02X kind=%s asked=%s\n", block + 1, answer.status,
                    answer.haStat, FailureKindWord(DecideFailureCause(answer).kind),
                    FailureKindWord(CauseOfFailedCommand(answer, drive->address.adapter, drive->address.target).kind));
    }
    std::printf("QV gone inquiry status=%02X\n", SendRecord(drive->address.adapter, drive->address.target, InquiryCommand, 6, 36).status);
    std::printf("QV gone released=%u\n", ::HoldASPI32Device(drive->address.adapter, drive->address.target, HOLD_RELEASE));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "no-sg") return NoSgDriver();
    if (command == "dies" && argc > 2) return HandlerDies(argv[2]);
    if (command == "lock-probe" && argc > 2) return LockProbe(argv[2]);
    if (command == "hold-flash" && argc > 4) return HoldFlash(argv[2], std::atoi(argv[3]), argv[4] == std::string("exclusive"));
    if (command == "hold" && argc > 2) return HoldAnswer(argv[2]);
    if (command == "cause" && argc > 2) return Cause(argv[2]);
    if (command == "gone" && argc > 3) return Gone(argv[2], std::atoi(argv[3]));
    if (command != "suite" || argc < 3) {
        std::fprintf(stderr, "usage: quorvel-sg-guest suite BENCH_DRIVE | no-sg | dies DRIVE | lock-probe NODE\n");
        return 2;
    }
    const std::string benchDrive = argv[2];
    std::printf("QV begin\n");

    const uint32_t info = aspi::GetASPI32SupportInfo();
    const int adapters = static_cast<int>(info & 0xFF);
    std::printf("QV support adapters=%d status=%02X\n", adapters, (info >> 8) & 0xFF);

    // Every address as discovery sees it, listed or not.
    for (int a = 0; a < adapters; ++a)
        for (int t = 0; t < 8; ++t) {
            std::memset(transfer.get(), 0, 37);
            const int status = ExecuteScsiCommand(static_cast<uint8_t>(a), static_cast<uint8_t>(t), InquiryCommand, 6,
                                                  transfer.get(), 36);
            if (status == SS_NO_DEVICE) continue;
            std::printf("QV probe %d %d status=%02X type=%02X text=\"%.28s\"\n", a, t, status, transfer[0],
                        reinterpret_cast<const char *>(transfer.get() + 8));
        }

    const std::vector<Drive> drives = ProbeDrives(adapters, transfer.get());
    std::printf("QV drives %zu\n", drives.size());
    for (size_t k = 0; k < drives.size(); ++k)
        std::printf("QV drive %zu adapter=%d target=%d text=\"%s\"\n", k, drives[k].address.adapter, drives[k].address.target,
                    drives[k].identity.Entry().c_str());

    // The download command, first block, to every drive: through the
    // transport as the program sends it, and once more keeping the record.
    PrepareDownload();
    for (size_t k = 0; k < drives.size(); ++k) {
        const int status = ExecuteScsiCommand(drives[k].address.adapter, drives[k].address.target, DownloadBlock, 12, transfer.get(),
                                              kBlockSize);
        std::printf("QV download %zu transport-status=%d\n", k, status);
        PrintRecord("download-record", static_cast<int>(k), SendRecord(drives[k].address.adapter, drives[k].address.target,
                                                                       DownloadBlock, 12, kBlockSize));
    }

    // Records the manager refuses before anything reaches the device.
    if (!drives.empty()) {
        const Drive &d = drives[0];
        std::printf("QV refuse cdb17 status=%02X\n", SendRecord(d.address.adapter, d.address.target, DownloadBlock, 12, kBlockSize, 17).status);
        std::printf("QV refuse buflen status=%02X\n", SendRecord(d.address.adapter, d.address.target, DownloadBlock, 12, 0x7FFFFFFF).status);
        std::printf("QV refuse adapter status=%02X\n", SendRecord(static_cast<uint8_t>(adapters), 0, InquiryCommand, 6, 36).status);
        std::printf("QV after-refusals inquiry status=%02X\n",
                    SendRecord(d.address.adapter, d.address.target, InquiryCommand, 6, 36).status);
    }

    // A caller without any capability, with a manager of its own: once with
    // read and write access to the nodes, once with read access alone.
    if (!drives.empty()) {
        for (const mode_t mode : {mode_t{0666}, mode_t{0444}}) {
            for (const Drive &d : drives) chmod(("/dev/" + NodeOf(d.identity.Entry())).c_str(), mode);
            const char *access = mode == 0666 ? "rw" : "ro";
            std::fflush(stdout);
            const pid_t child = fork();
            if (child == 0) {
                if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
                    std::printf("QV unprivileged-%s cannot drop: %s\n", access, std::strerror(errno));
                    _exit(1);
                }
                std::ifstream status("/proc/self/status");
                std::string line, capabilities;
                while (std::getline(status, line))
                    if (line.rfind("CapEff:", 0) == 0) capabilities = line.substr(7);
                ownManager = new sgaspi::SgManager(sgaspi::RealSgSystem());
                const uint32_t own = aspi::GetASPI32SupportInfo();
                std::printf("QV unprivileged-%s uid=%d cap=%s adapters=%u status=%02X\n", access,
                            static_cast<int>(getuid()), TrimRight(capabilities.substr(capabilities.find_first_not_of(" \t"))).c_str(),
                            own & 0xFF, (own >> 8) & 0xFF);
                for (size_t k = 0; k < drives.size(); ++k) {
                    const Drive &d = drives[k];
                    std::printf("QV unprivileged-%s inquiry %zu status=%02X\n", access, k,
                                SendRecord(d.address.adapter, d.address.target, InquiryCommand, 6, 36).status);
                    PrintRecord((std::string("unprivileged-") + access + "-download").c_str(), static_cast<int>(k),
                                SendRecord(d.address.adapter, d.address.target, DownloadBlock, 12, kBlockSize));
                }
                std::fflush(stdout);
                _exit(0);
            }
            int wstatus = 0;
            waitpid(child, &wstatus, 0);
            std::printf("QV unprivileged-%s exit=%d\n", access,
                        WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
        }
        for (const Drive &d : drives) chmod(("/dev/" + NodeOf(d.identity.Entry())).c_str(), 0600);
    }

    DesktopUser(true);
    DesktopUser(false);

    // The slow command and the vanishing device are the kernel's scsi_debug.
    const Drive *debugDrive = FindDrive(drives, "QVTEST  SGDEBUG");
    if (debugDrive) SignalDuringCommand(*debugDrive, NodeOf(debugDrive->identity.Entry()));

    // INQUIRY on the kernel's own devices: what the manager adds to the
    // shortest command there is.
    for (size_t k = 0; k < drives.size(); ++k) {
        if (&drives[k] != FindDrive(drives, "QEMU    QEMU CD-ROM") && &drives[k] != debugDrive) continue;
        const std::string node = NodeOf(drives[k].identity.Entry());
        if (node.empty()) {
            std::printf("QV bench %zu no node\n", k);
            continue;
        }
        Bench(static_cast<int>(k), drives[k], node);
    }
    if (const Drive *blocks = FindDrive(drives, benchDrive)) BenchBlocks(*blocks, NodeOf(blocks->identity.Entry()));
    else std::printf("QV bench-block no drive \"%s\"\n", benchDrive.c_str());

    // A drive goes away after discovery; its address must fail.
    if (debugDrive) {
        const Drive &d = *debugDrive;
        const std::string node = NodeOf(d.identity.Entry());
        std::ofstream("/sys/class/scsi_generic/" + node + "/device/delete") << "1\n";
        const bool gone = access(("/dev/" + node).c_str(), F_OK) != 0;
        std::printf("QV vanished %s node-gone=%d\n", node.c_str(), gone ? 1 : 0);
        std::printf("QV vanished inquiry status=%d\n",
                    ExecuteScsiCommand(d.address.adapter, d.address.target, InquiryCommand, 6, transfer.get(), 36));
        PrintRecord("vanished-download", static_cast<int>(debugDrive - drives.data()),
                    SendRecord(d.address.adapter, d.address.target, DownloadBlock, 12, kBlockSize));
    }

    std::printf("QV end\n");
    return 0;
}
