// What the benchmarks read of other processes from /proc: their parent, name,
// processor time, peak resident memory and proportional share of memory. A
// process that has ended (a zombie) keeps its name and times but no longer
// has a memory figure.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

struct ProcStat {
    pid_t pid = 0;
    pid_t parent = 0;
    std::string name;  // comm: the first 15 bytes of the program's name
    char state = '?';
    double cpuSeconds = 0;  // utime + stime, of every thread
};

// The whole of a /proc file, or as much as was read before the process went
// (a read then fails with ESRCH, which a stream would throw on).
inline std::string ReadWhole(const std::string &path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// /proc/PID/stat, or nothing once the process is gone.
inline std::optional<ProcStat> ReadStat(pid_t pid) {
    const std::string text = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    ProcStat stat;
    stat.pid = pid;
    stat.name = text.substr(open + 1, close - open - 1);
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {  // field 3 is the state
        if (i == 3) stat.state = field.empty() ? '?' : field[0];
        if (i == 4) stat.parent = static_cast<pid_t>(std::atoi(field.c_str()));
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    stat.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return stat;
}

// VmHWM of /proc/PID/status in KiB: the most the process has had resident,
// its shared mappings' pages included. 0 once it has ended.
inline long PeakResidentKib(pid_t pid) {
    std::istringstream lines(ReadWhole("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// A process's resident memory as /proc/PID/smaps_rollup sums it, in KiB.
// Pss charges a page shared by several processes to each by its share, so
// that the Pss of a group of processes adds up to the pages they hold
// between them: a sealed copy mapped by eight processes counts once over the
// eight, where each one's Rss (and VmHWM) counts every page it touched.
struct Rollup {
    long rss = 0;
    long pss = 0;
    long pssAnon = 0;   // its own heap, stacks, copy-on-write pages
    long pssFile = 0;   // program and libraries (shared with every process mapping them)
    long pssShmem = 0;  // shared memory: the image's sealed copy (a memfd)
};

// Nothing once the process has gone (or for a zombie, which has no mappings).
inline std::optional<Rollup> ReadRollup(pid_t pid) {
    std::istringstream lines(ReadWhole("/proc/" + std::to_string(pid) + "/smaps_rollup"));
    Rollup rollup;
    bool any = false;
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon);
        long *field = key == "Rss"         ? &rollup.rss
                      : key == "Pss"       ? &rollup.pss
                      : key == "Pss_Anon"  ? &rollup.pssAnon
                      : key == "Pss_File"  ? &rollup.pssFile
                      : key == "Pss_Shmem" ? &rollup.pssShmem
                                           : nullptr;
        if (field == nullptr) continue;
        *field = std::atol(line.c_str() + colon + 1);
        any = true;
    }
    if (!any) return std::nullopt;
    return rollup;
}

// Every process there is, as /proc lists them now.
inline std::vector<ProcStat> AllProcesses() {
    std::vector<ProcStat> all;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return all;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        if (std::optional<ProcStat> stat = ReadStat(static_cast<pid_t>(pid))) all.push_back(*stat);
    }
    closedir(proc);
    return all;
}

// Whether a process's comm is the program `name` ("quorvel-transfer" is
// seen as "quorvel-transfe").
inline bool IsNamed(const ProcStat &stat, const std::string &name) { return stat.name == name.substr(0, 15); }

// A child of `parent` running the program `name`, not yet ended.
inline std::optional<ProcStat> ChildNamed(pid_t parent, const std::string &name) {
    for (const ProcStat &stat : AllProcesses())
        if (stat.parent == parent && IsNamed(stat, name) && stat.state != 'Z') return stat;
    return std::nullopt;
}

}  // namespace bench
