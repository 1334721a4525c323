// A command and every process it starts, followed to their ends: the
// command runs as this tool's child, and the tool is their subreaper, so
// that a process its parent leaves running (quorvel-flash ends before the
// flash's own process does) comes to the tool when that parent ends, and its
// end is collected here with its whole rusage: processor time and peak
// resident memory (ru_maxrss, the same high-water mark as VmHWM, shared
// mappings' pages included). While they run, the tool also reads each one's
// /proc figures every few milliseconds: a process collected by its own
// parent is known by its last reading only.
//
//   bench_process_tree [--every MS] [--pss] [--report FILE] -- COMMAND [ARGUMENT...]
//
// The report (standard output unless FILE) has a line for the command and
// one for each process it started, in the order they ended:
//   command ms=WALL status=STATUS started_ms=EPOCH
//   process name=NAME pid=PID ended_ms=T cpu_ms=C peak_kib=K collected=here|parent
// T from the command's start; C and K from the rusage when collected here
// (which counts the processes that one collected in turn), else the last
// reading. EPOCH is the wall clock (milliseconds since 1970) at the
// command's start, to set the report beside a trace stamped by that clock.
// Exits with the command's status.
//
// With --pss every reading also takes each live process's smaps_rollup and
// sums them over the tree: the peak of that sum, with its parts at that
// reading, is a line of its own after the command's,
//   pss peak_kib=P anon_kib=A file_kib=F shmem_kib=S rss_kib=R processes=N at_ms=T readings=M
// and each process line ends in pss_peak_kib=K, its own largest Pss. Pages
// several of them share (the libraries, one sealed copy of an image that
// every process maps) are counted once in the sum, where the peaks above
// count them in each. The sum is of readings taken one process after
// another, a few milliseconds apart at most: a peak between two readings is
// missed.
#include <linux/kcmp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench/Proc.h"

namespace {
using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string &why) {
    std::fprintf(stderr, "bench_process_tree: %s\n", why.c_str());
    std::exit(2);
}

struct Followed {
    std::string name;
    double cpuSeconds = 0;
    long peakKib = 0;
    double endedMs = -1;
    bool collectedHere = false;
    long peakPssKib = 0;
};

// The tree's memory at one reading, summed over its live processes.
struct TreeMemory {
    bench::Rollup sum;
    int processes = 0;
    double atMs = 0;
};

// A child between vfork and exec (posix_spawn's) runs in its parent's
// memory: summed with its parent, that memory would count twice.
bool SharesParentMemory(const bench::ProcStat &stat) {
    return syscall(SYS_kcmp, stat.pid, stat.parent, KCMP_VM, 0, 0) == 0;
}

std::string ProgramName(pid_t pid, const std::string &comm) {
    char path[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path - 1);
    if (n <= 0) return comm;
    path[n] = '\0';
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}
}  // namespace

int main(int argc, char **argv) {
    int everyMs = 20;
    bool pss = false;
    const char *reportPath = nullptr;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string option = argv[first];
        if (option == "--every" && first + 1 < argc) everyMs = std::atoi(argv[++first]);
        else if (option == "--pss") pss = true;
        else if (option == "--report" && first + 1 < argc) reportPath = argv[++first];
        else if (option == "--") {
            ++first;
            break;
        } else Die("usage: bench_process_tree [--every MS] [--pss] [--report FILE] -- COMMAND [ARGUMENT...]");
    }
    if (first >= argc || everyMs <= 0) Die("no command");
    std::FILE *report = reportPath != nullptr ? std::fopen(reportPath, "w") : stdout;
    if (report == nullptr) Die(std::string("cannot write ") + reportPath);

    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) Die("cannot become a subreaper");
    // Ends are waited for with sigtimedwait: blocked here, and unblocked again
    // in the command before it starts.
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEnded, nullptr);

    const Clock::time_point start = Clock::now();
    const double startedEpochMs =
        std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
    const pid_t command = fork();
    if (command < 0) Die("cannot fork");
    if (command == 0) {
        sigprocmask(SIG_UNBLOCK, &childEnded, nullptr);
        execvp(argv[first], argv + first);
        std::fprintf(stderr, "bench_process_tree: cannot run %s: %s\n", argv[first], std::strerror(errno));
        _exit(127);
    }
    const auto sinceStart = [start] {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };

    std::map<pid_t, Followed> followed;  // every descendant seen, the command's too
    std::set<pid_t> tree{command};
    int commandStatus = -1;
    double commandMs = 0;
    TreeMemory peakMemory;
    long readings = 0;
    const auto sample = [&] {
        // A child can be listed before its parent (process ids wrap round):
        // repeat until the tree stops growing.
        const std::vector<bench::ProcStat> all = bench::AllProcesses();
        for (bool grew = true; grew;) {
            grew = false;
            for (const bench::ProcStat &stat : all) {
                if (tree.count(stat.pid) != 0 || (stat.parent != getpid() && tree.count(stat.parent) == 0)) continue;
                tree.insert(stat.pid);
                grew = true;
            }
        }
        for (const bench::ProcStat &stat : all) {
            if (tree.count(stat.pid) == 0 || stat.state == 'Z') continue;
            Followed &f = followed[stat.pid];
            if (f.collectedHere) continue;
            f.name = ProgramName(stat.pid, stat.name);  // again: it may have run another program since
            f.cpuSeconds = stat.cpuSeconds;
            const long peak = bench::PeakResidentKib(stat.pid);
            if (peak > f.peakKib) f.peakKib = peak;
        }
        if (pss) {
            TreeMemory now;
            for (const bench::ProcStat &stat : all) {
                if (tree.count(stat.pid) == 0 || stat.state == 'Z' || followed[stat.pid].collectedHere) continue;
                if (tree.count(stat.parent) != 0 && SharesParentMemory(stat)) continue;
                const std::optional<bench::Rollup> rollup = bench::ReadRollup(stat.pid);
                if (!rollup) continue;  // gone since the listing
                Followed &f = followed[stat.pid];
                f.peakPssKib = std::max(f.peakPssKib, rollup->pss);
                now.sum.rss += rollup->rss;
                now.sum.pss += rollup->pss;
                now.sum.pssAnon += rollup->pssAnon;
                now.sum.pssFile += rollup->pssFile;
                now.sum.pssShmem += rollup->pssShmem;
                ++now.processes;
            }
            now.atMs = sinceStart();
            ++readings;
            if (now.sum.pss > peakMemory.sum.pss) peakMemory = now;
        }
        // One that has left the listing unseen by the collection here was
        // collected by its own parent.
        for (auto &[pid, f] : followed) {
            if (f.collectedHere || f.endedMs >= 0) continue;
            bool listed = false;
            for (const bench::ProcStat &stat : all) listed = listed || (stat.pid == pid && stat.state != 'Z');
            if (!listed) f.endedMs = sinceStart();
        }
    };

    for (;;) {
        sample();
        // Collect every process that has ended; stop once none is left.
        bool none = false;
        for (;;) {
            siginfo_t info{};
            if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
                none = errno == ECHILD;
                break;
            }
            if (info.si_pid == 0) break;
            const pid_t pid = info.si_pid;
            Followed &f = followed[pid];
            // What it last ran, as its comm says once it has ended; the name
            // read while it ran is whole where the comm is cut at 15 bytes.
            if (const std::optional<bench::ProcStat> stat = bench::ReadStat(pid)) {
                if (f.name.substr(0, 15) != stat->name) f.name = stat->name;
            } else if (f.name.empty()) {
                f.name.assign(1, '?');  // neither read while it ran nor listed now
            }
            int status = 0;
            rusage usage{};
            if (wait4(pid, &status, 0, &usage) != pid) Die("wait4 failed");
            const double endedMs = sinceStart();
            f.collectedHere = true;
            f.endedMs = endedMs;
            f.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            if (usage.ru_maxrss > f.peakKib) f.peakKib = usage.ru_maxrss;
            if (pid == command) {
                commandStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                commandMs = endedMs;
            }
        }
        if (none) break;
        const timespec every{everyMs / 1000, (everyMs % 1000) * 1000000L};
        sigtimedwait(&childEnded, nullptr, &every);
    }

    std::fprintf(report, "command ms=%.3f status=%d started_ms=%.3f\n", commandMs, commandStatus, startedEpochMs);
    if (pss) {
        const bench::Rollup &m = peakMemory.sum;
        std::fprintf(report,
                     "pss peak_kib=%ld anon_kib=%ld file_kib=%ld shmem_kib=%ld rss_kib=%ld processes=%d at_ms=%.3f "
                     "readings=%ld\n",
                     m.pss, m.pssAnon, m.pssFile, m.pssShmem, m.rss, peakMemory.processes, peakMemory.atMs, readings);
    }
    std::vector<std::pair<double, pid_t>> order;
    for (const auto &[pid, f] : followed) order.emplace_back(f.endedMs, pid);
    std::sort(order.begin(), order.end());
    for (const auto &[endedMs, pid] : order) {
        const Followed &f = followed[pid];
        std::fprintf(report, "process name=%s pid=%d ended_ms=%.3f cpu_ms=%.3f peak_kib=%ld collected=%s",
                     f.name.c_str(), static_cast<int>(pid), f.endedMs, f.cpuSeconds * 1000, f.peakKib,
                     f.collectedHere ? "here" : "parent");
        if (pss) std::fprintf(report, " pss_peak_kib=%ld", f.peakPssKib);
        std::fputc('\n', report);
    }
    if (report != stdout) std::fclose(report);
    return commandStatus < 0 ? 2 : commandStatus;
}
