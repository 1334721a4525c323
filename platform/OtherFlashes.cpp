// Flashes of other users; see OtherFlashes.h. Only /proc is read, and the
// folders where a drive's node or lock file is, by name and inode: no drive
// and no file of another user's is opened.
#include "platform/OtherFlashes.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {
constexpr char kFlashProgram[] = "quorvel-transf";  // its name as the kernel keeps it (15 characters)

std::string FirstLine(const std::string &path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The process's real user, from its status; -1 when it has gone.
int RealUser(const std::string &folder) {
    std::ifstream status(folder + "/status");
    std::string line;
    while (std::getline(status, line)) {
        int uid = -1;
        if (std::sscanf(line.c_str(), "Uid: %d", &uid) == 1) return uid;
    }
    return -1;
}

// When the process started: its start in clock ticks after the boot
// (field 22 of its stat, after the name's closing parenthesis), and the
// boot's time.
int64_t StartedAt(const std::string &folder) {
    const std::string stat = FirstLine(folder + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int k = 3; k <= 22 && fields >> field; ++k)
        if (k == 22) ticks = std::strtoull(field.c_str(), nullptr, 10);
    std::ifstream system("/proc/stat");
    std::string line;
    long long boot = 0;
    while (std::getline(system, line))
        if (std::sscanf(line.c_str(), "btime %lld", &boot) == 1) break;
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (boot == 0 || perSecond <= 0) return 0;
    return boot * 1000 + static_cast<int64_t>(ticks) * 1000 / perSecond;
}

std::string UserName(int uid) {
    if (const passwd *user = ::getpwuid(static_cast<uid_t>(uid)); user != nullptr && user->pw_name != nullptr)
        return user->pw_name;
    return std::to_string(uid);
}

// The file of a lock, as the kernel's table names it ("fe:00:1234": the
// device in hex, the inode).
std::string FileKey(dev_t device, ino_t inode) {
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%llu", major(device), minor(device),
                  static_cast<unsigned long long>(inode));
    return key;
}

// The files in `folder` that a drive's lock may be on, by their key.
void AddNames(const std::string &folder, bool devices, std::map<std::string, std::string> *names) {
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const bool lockFile = name.rfind("quorvel-drive-", 0) == 0;
        if (!devices && !lockFile) continue;
        const std::string path = folder + "/" + name;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        if (devices && !S_ISCHR(info.st_mode) && !S_ISBLK(info.st_mode)) continue;
        (*names)[FileKey(info.st_dev, info.st_ino)] = path;
    }
    ::closedir(dir);
}
}  // namespace

std::vector<OtherUsersFlash> OtherUsersFlashes() {
    std::vector<OtherUsersFlash> flashes;
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr) return flashes;
    const int self = static_cast<int>(::getuid());
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const std::string folder = std::string("/proc/") + entry->d_name;
        if (FirstLine(folder + "/comm").rfind(kFlashProgram, 0) != 0) continue;
        const int uid = RealUser(folder);
        if (uid < 0 || uid == self) continue;
        flashes.push_back({static_cast<int>(pid), uid, UserName(uid), StartedAt(folder), {}});
    }
    ::closedir(proc);
    if (flashes.empty()) return flashes;
    std::map<std::string, std::string> names;
    AddNames("/dev", true, &names);
    AddNames("/run/lock", false, &names);
    AddNames("/tmp", false, &names);
    // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string number, kind, advisory, access, pid, key;
        if (!(words >> number >> kind >> advisory >> access >> pid >> key) || kind != "FLOCK") continue;
        for (OtherUsersFlash &flash : flashes) {
            if (pid != std::to_string(flash.pid)) continue;
            const auto named = names.find(key);
            if (named != names.end()) flash.holds.push_back(named->second);
        }
    }
    return flashes;
}
