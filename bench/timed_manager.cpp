// An ASPI manager whose drive takes a set time over every download command:
// one adapter, a CD/DVD drive at target 0. BenchSetDrive chooses the time and
// how the drive ends a command: before SendASPI32Command returns, or later
// from the manager's own thread, as a drive's interrupt would. The drive keeps
// the sum of its own times (from the call to the status, as it stored it), so
// that a benchmark can set what the program took against what the drive took.
//
// For a whole program bound to it (cli-flash.sh), the environment sets the
// drive instead: QUORVEL_BENCH_DRIVE_US, the time a command, and
// QUORVEL_BENCH_DRIVE_LATER=1 for the drive's own thread; and
// QUORVEL_BENCH_DRIVE_REPORT names a file that gets, when each process bound
// to it ends, one line appended: the process's name, the download commands,
// the drive's time summed, and the span from the first command's call to the
// last one's status (nanoseconds). A front end binds the manager too (for
// discovery) but sends no block: its line has no commands, and it ends
// before the flash's own process does, so a script waits for that one's line.
#include <atomic>
#include <cerrno>  // program_invocation_short_name
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/wnaspi32.h"

#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
using Clock = std::chrono::steady_clock;

const uint8_t kInquiry[36] = {0x05, 0x80, 0x05, 0x02, 31, 0, 0, 0,
                              'Q', 'U', 'O', 'R', 'V', 'E', 'L', ' ',
                              'B', 'E', 'N', 'C', 'H', '-', 'D', 'R', 'I', 'V', 'E', ' ', ' ', ' ', ' ', ' ',
                              '1', '.', '0', '0'};

uint32_t FromEnvironment(const char *name, uint32_t otherwise) {
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : otherwise;
}

std::atomic<uint32_t> CommandMicroseconds{FromEnvironment("QUORVEL_BENCH_DRIVE_US", 0)};
std::atomic<bool> CompleteLater{FromEnvironment("QUORVEL_BENCH_DRIVE_LATER", 0) != 0};
std::atomic<uint64_t> DriveNanoseconds{0};
std::atomic<uint64_t> Commands{0};
// Nanoseconds of the steady clock: the first download command's call, the
// last one's status.
std::atomic<int64_t> FirstCall{0};
std::atomic<int64_t> LastStatus{0};

int64_t Nanoseconds(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

void Finish(SRB_ExecSCSICmd *srb, Clock::time_point submitted) {
    const auto now = Clock::now();
    DriveNanoseconds.fetch_add(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - submitted).count()));
    Commands.fetch_add(1);
    LastStatus.store(Nanoseconds(now));
    SrbStatusStore(srb, SS_COMP);
}

// The process is ending: its report, if one was asked for. One write of a
// short line to a file opened for appending, so that the lines of two
// processes ending together do not mix.
__attribute__((destructor)) void Report() {
    const char *path = std::getenv("QUORVEL_BENCH_DRIVE_REPORT");
    if (path == nullptr || path[0] == '\0') return;
    if (std::FILE *file = std::fopen(path, "a")) {
        std::fprintf(file, "program=%s commands=%llu drive_ns=%llu span_ns=%lld\n", program_invocation_short_name,
                     static_cast<unsigned long long>(Commands.load()),
                     static_cast<unsigned long long>(DriveNanoseconds.load()),
                     static_cast<long long>(LastStatus.load() - FirstCall.load()));
        std::fclose(file);
    }
}

// The drive's own thread: ends each command when its time is up.
class Drive {
public:
    void Submit(SRB_ExecSCSICmd *srb, Clock::time_point submitted, Clock::time_point due) {
        std::call_once(started_, [this] { std::thread([this] { Run(); }).detach(); });
        std::lock_guard lock(mutex_);
        queue_.push_back({srb, submitted, due});
        ready_.notify_one();
    }

private:
    struct Command {
        SRB_ExecSCSICmd *srb;
        Clock::time_point submitted, due;
    };
    [[noreturn]] void Run() {
        for (;;) {
            Command command{};
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty(); });
                command = queue_.front();
                queue_.pop_front();
            }
            std::this_thread::sleep_until(command.due);
            Finish(command.srb, command.submitted);
        }
    }
    std::once_flag started_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Command> queue_;
};

Drive &TheDrive() {
    static Drive *drive = new Drive;  // never destroyed: its thread outlives main
    return *drive;
}
}  // namespace

BENCH_EXPORT void BenchSetDrive(uint32_t microseconds, int later) {
    CommandMicroseconds.store(microseconds);
    CompleteLater.store(later != 0);
}

BENCH_EXPORT uint64_t BenchDriveNanoseconds(void) { return DriveNanoseconds.load(); }

BENCH_EXPORT uint32_t GetASPI32SupportInfo(void) { return (uint32_t{SS_COMP} << 8) | 1u; }

BENCH_EXPORT uint32_t SendASPI32Command(void *request) {
    const Clock::time_point submitted = Clock::now();
    auto *srb = static_cast<SRB_ExecSCSICmd *>(request);
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        SrbStatusStore(srb, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
    if (srb->SRB_HaId != 0 || srb->SRB_Target != 0) {
        SrbStatusStore(srb, srb->SRB_HaId != 0 ? SS_INVALID_HA : SS_NO_DEVICE);
        return SrbStatusLoad(srb);
    }
    if (srb->CDBByte[0] != 0xFF || srb->CDBByte[2] != 0x01) {  // anything but the download: at once
        if (srb->CDBByte[0] == 0x12 && srb->SRB_BufPointer != nullptr)
            std::memcpy(srb->SRB_BufPointer, kInquiry, srb->SRB_BufLen < 36 ? srb->SRB_BufLen : 36);
        SrbStatusStore(srb, SS_COMP);
        return SS_COMP;
    }
    int64_t none = 0;
    FirstCall.compare_exchange_strong(none, Nanoseconds(submitted));
    const Clock::time_point due = submitted + std::chrono::microseconds(CommandMicroseconds.load());
    if (CompleteLater.load()) {
        TheDrive().Submit(srb, submitted, due);
        return SS_PENDING;
    }
    std::this_thread::sleep_until(due);
    Finish(srb, submitted);
    return SS_COMP;
}
