#include "aspi/sg/SgSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sgaspi {
namespace {

class KernelSystem final : public SgSystem {
public:
    std::vector<std::string> ListDirectory(const std::string &path) override {
        std::vector<std::string> names;
        DIR *dir = opendir(path.c_str());
        if (dir == nullptr) return names;
        while (const dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            names.emplace_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }

    std::string ReadLink(const std::string &path) override {
        char target[4096];
        const ssize_t length = readlink(path.c_str(), target, sizeof(target));
        if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) return {};
        return std::string(target, static_cast<size_t>(length));
    }

    std::string ReadText(const std::string &path) override {
        const int fd = Open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return {};
        char text[256];
        ssize_t length;
        do {
            length = read(fd, text, sizeof(text));
        } while (length < 0 && errno == EINTR);
        close(fd);
        if (length <= 0) return {};
        const std::string content(text, static_cast<size_t>(length));
        return content.substr(0, content.find('\n'));
    }

    std::string ReadFile(const std::string &path, size_t limit) override {
        const int fd = Open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return {};
        std::string content;
        char chunk[65536];
        while (content.size() < limit) {
            const ssize_t length = read(fd, chunk, std::min(sizeof(chunk), limit - content.size()));
            if (length < 0 && errno == EINTR) continue;
            if (length <= 0) break;
            content.append(chunk, static_cast<size_t>(length));
        }
        close(fd);
        return content;
    }

    std::string RealPath(const std::string &path) override {
        char *resolved = realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return {};
        std::string result(resolved);
        free(resolved);
        return result;
    }

    int Open(const std::string &path, int flags) override {
        int fd;
        do {
            fd = open(path.c_str(), flags);
        } while (fd < 0 && errno == EINTR);
        return fd;
    }

    int Ioctl(int fd, unsigned long request, void *argument) override {
        if (request != SG_IO) return ioctl(fd, request, argument);
        // A signal would end the wait for SG_IO early with EINTR while the
        // command goes on in the device: a drive still writing its flash
        // would be reported as finished. The calling thread holds every
        // signal it can for the length of the call, so the call returns only
        // when the command has ended (or timed out).
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        const int result = ioctl(fd, request, argument);
        const int error = errno;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        errno = error;
        return result;
    }

    int Flock(int fd, int operation) override {
        int result;
        do {
            result = flock(fd, operation);
        } while (result < 0 && errno == EINTR);
        return result;
    }

    int Close(int fd) override { return close(fd); }

    void Report(const std::string &line) override {
        // One write, so that lines of several threads or processes do not mix.
        const std::string text = line + "\n";
        ssize_t written;
        do {
            written = write(STDERR_FILENO, text.data(), text.size());
        } while (written < 0 && errno == EINTR);
    }
};

}  // namespace

SgSystem &RealSgSystem() {
    static KernelSystem system;
    return system;
}

}  // namespace sgaspi
