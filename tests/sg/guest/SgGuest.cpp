// Runs inside a virtual machine on a real kernel, as its init's one job:
// drive discovery through the SG_IO manager, the download command sent to
// every drive found, records the manager must refuse, a caller without the
// right to send the download command, a device that vanishes after
// discovery, and a measurement of the manager against bare SG_IO. Every
// finding is one line on the console starting with "QV "; the host reads
// them and decides.
#include <fcntl.h>
#include <grp.h>
#include <scsi/sg.h>
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
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "aspi/sg/SgManager.h"
#include "drive/Probe.h"
#include "drive/Scsi.h"
#include "platform/aspi.h"
#include "platform/wnaspi32.h"

// The manager library's entry points, linked in whole.
extern "C" uint32_t GetASPI32SupportInfo(void);
extern "C" uint32_t SendASPI32Command(void *srb);

// A manager of the process's own, made after it has given up its rights;
// while there is none, the library's.
sgaspi::SgManager *ownManager = nullptr;

// The program's side of the manager, without the platform layer.
namespace aspi {
uint32_t GetASPI32SupportInfo() { return ownManager ? ownManager->SupportInfo() : ::GetASPI32SupportInfo(); }
uint32_t SendASPI32Command(void *srb) { return ownManager ? ownManager->Send(srb) : ::SendASPI32Command(srb); }
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
int BareCommand(int fd, const uint8_t *command, int length, uint8_t *answer, uint32_t answerLength) {
    uint8_t cdb[16];
    uint8_t sense[32];
    std::memcpy(cdb, command, static_cast<size_t>(length));
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = SG_DXFER_FROM_DEV;
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
void SignalDuringCommand(const ProbedDrive &drive, const std::string &node) {
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
    const Outcome outcome = SendRecord(drive.adapter, drive.target, kRead10, 10, 512);
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

// Time per INQUIRY through ExecuteScsiCommand and the manager, beside a bare
// SG_IO loop on a descriptor of its own to the same node. Rounds alternate
// so that both see the same machine; the best round of each counts.
void Bench(int index, const ProbedDrive &drive, const std::string &node) {
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
            if (ExecuteScsiCommand(drive.adapter, drive.target, InquiryCommand, 6, answer, 36) != SS_COMP) ++failures;
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
                drive.identification.c_str(), kRounds * kCommands, bestManager, bestBare, bestManager / bestBare,
                failures);
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
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

    const std::vector<ProbedDrive> drives = ProbeDrives(adapters, transfer.get());
    std::printf("QV drives %zu\n", drives.size());
    for (size_t k = 0; k < drives.size(); ++k)
        std::printf("QV drive %zu adapter=%d target=%d text=\"%s\"\n", k, drives[k].adapter, drives[k].target,
                    drives[k].identification.c_str());

    // The download command, first block, to every drive: through the
    // transport as the program sends it, and once more keeping the record.
    PrepareDownload();
    for (size_t k = 0; k < drives.size(); ++k) {
        const int status = ExecuteScsiCommand(drives[k].adapter, drives[k].target, DownloadBlock, 12, transfer.get(),
                                              kBlockSize);
        std::printf("QV download %zu transport-status=%d\n", k, status);
        PrintRecord("download-record", static_cast<int>(k), SendRecord(drives[k].adapter, drives[k].target,
                                                                       DownloadBlock, 12, kBlockSize));
    }

    // Records the manager refuses before anything reaches the device.
    if (!drives.empty()) {
        const ProbedDrive &d = drives[0];
        std::printf("QV refuse cdb17 status=%02X\n", SendRecord(d.adapter, d.target, DownloadBlock, 12, kBlockSize, 17).status);
        std::printf("QV refuse buflen status=%02X\n", SendRecord(d.adapter, d.target, DownloadBlock, 12, 0x7FFFFFFF).status);
        std::printf("QV refuse adapter status=%02X\n", SendRecord(static_cast<uint8_t>(adapters), 0, InquiryCommand, 6, 36).status);
        std::printf("QV after-refusals inquiry status=%02X\n",
                    SendRecord(d.adapter, d.target, InquiryCommand, 6, 36).status);
    }

    // A caller without any capability, with a manager of its own: once with
    // read and write access to the nodes, once with read access alone.
    if (!drives.empty()) {
        for (const mode_t mode : {mode_t{0666}, mode_t{0444}}) {
            for (const ProbedDrive &d : drives) chmod(("/dev/" + NodeOf(d.identification)).c_str(), mode);
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
                    const ProbedDrive &d = drives[k];
                    std::printf("QV unprivileged-%s inquiry %zu status=%02X\n", access, k,
                                SendRecord(d.adapter, d.target, InquiryCommand, 6, 36).status);
                    PrintRecord((std::string("unprivileged-") + access + "-download").c_str(), static_cast<int>(k),
                                SendRecord(d.adapter, d.target, DownloadBlock, 12, kBlockSize));
                }
                std::fflush(stdout);
                _exit(0);
            }
            int wstatus = 0;
            waitpid(child, &wstatus, 0);
            std::printf("QV unprivileged-%s exit=%d\n", access,
                        WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
        }
        for (const ProbedDrive &d : drives) chmod(("/dev/" + NodeOf(d.identification)).c_str(), 0600);
    }

    if (!drives.empty()) SignalDuringCommand(drives.back(), NodeOf(drives.back().identification));

    for (size_t k = 0; k < drives.size(); ++k) {
        const std::string node = NodeOf(drives[k].identification);
        if (node.empty()) {
            std::printf("QV bench %zu no node\n", k);
            continue;
        }
        Bench(static_cast<int>(k), drives[k], node);
    }

    // The last drive goes away after discovery; its address must fail.
    if (!drives.empty()) {
        const ProbedDrive &d = drives.back();
        const std::string node = NodeOf(d.identification);
        std::ofstream("/sys/class/scsi_generic/" + node + "/device/delete") << "1\n";
        const bool gone = access(("/dev/" + node).c_str(), F_OK) != 0;
        std::printf("QV vanished %s node-gone=%d\n", node.c_str(), gone ? 1 : 0);
        std::printf("QV vanished inquiry status=%d\n",
                    ExecuteScsiCommand(d.adapter, d.target, InquiryCommand, 6, transfer.get(), 36));
        PrintRecord("vanished-download", static_cast<int>(drives.size() - 1),
                    SendRecord(d.adapter, d.target, DownloadBlock, 12, kBlockSize));
    }

    std::printf("QV end\n");
    return 0;
}
