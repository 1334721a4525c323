// What the system tells; see System.h.
#include "platform/System.h"

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
