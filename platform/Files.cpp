// Reading files; see Files.h.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <string>

#include "platform/win32.h"

class RawFile {
public:
    explicit RawFile(int fd) : fd_(fd) {}
    ~RawFile() { ::close(fd_); }
    RawFile(const RawFile &) = delete;
    RawFile &operator=(const RawFile &) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

RawFile *OpenRawFile(const char *path) {
    if (path == nullptr || path[0] == '\0') return nullptr;
    // O_NONBLOCK: a FIFO under the name would otherwise hold up open() until
    // a writer came, and with it the window. A regular file reads the same
    // either way.
    const int fd = ::open(ResolveFileName(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    RawFile *file = new (std::nothrow) RawFile(fd);
    if (file == nullptr) ::close(fd);
    return file;
}

void CloseRawFile(RawFile *file) { delete file; }

int64_t RawFileSize(RawFile *file) {
    if (file == nullptr) return -1;
    struct stat info {};
    if (::fstat(file->fd(), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool ReadRawFileAt(RawFile *file, int64_t offset, void *out, size_t length) {
    if (file == nullptr || offset < 0) return false;
    if (length > static_cast<uint64_t>(std::numeric_limits<off_t>::max() - offset)) return false;
    auto *to = static_cast<unsigned char *>(out);
    size_t done = 0;
    while (done < length) {
        // One call reads at most what ssize_t can tell; the kernel may read
        // less still, which the loop picks up.
        const size_t want = std::min(length - done, static_cast<size_t>(std::numeric_limits<ssize_t>::max()));
        const ssize_t got = ::pread(file->fd(), to + done, want, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;  // an error, or the end of the file
        done += static_cast<size_t>(got);
    }
    return true;
}

bool CanOpenRawFile(const char *path) {
    RawFile *file = OpenRawFile(path);
    const bool opened = file != nullptr;
    CloseRawFile(file);
    return opened;
}
