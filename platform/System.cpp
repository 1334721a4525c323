// What the system tells; see System.h.
#include "platform/System.h"

#include <chrono>

#include <pwd.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <cstdio>
#include <cstdlib>
#include <ctime>

std::string UserStateFolder(const char *program) {
    const char *state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/" + program;
    const char *home = std::getenv("HOME");
    std::string base = home != nullptr && home[0] == '/' ? home : "";
    if (base.empty()) {
        if (const passwd *user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr)
            base = user->pw_dir;
    }
    if (base.empty() || base[0] != '/') return "";
    return base + "/.local/state/" + program;
}

std::string BootId() {
    std::string id;
    if (FILE *file = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, file) != nullptr) id = line;
        std::fclose(file);
    }
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

std::string UtcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Sha256Hex(const void *data, size_t length) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(static_cast<const char *>(data), static_cast<qsizetype>(length)));
    return hash.result().toHex().toStdString();
}

int64_t UnixMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int ProcessId() { return static_cast<int>(::getpid()); }

bool qtlayer::FlashProgramRunning(int pid) {
    if (pid <= 0) return false;
    // Its name as the kernel keeps it (15 characters): an id taken since by
    // another program is no flash's.
    std::string name;
    if (FILE *file = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
        char line[32] = {};
        if (std::fgets(line, sizeof line, file) != nullptr) name = line;
        std::fclose(file);
    }
    return name.rfind("quorvel-transf", 0) == 0;
}
