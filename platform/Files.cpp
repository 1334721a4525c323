// Reading files (see Files.h).
#include "platform/Files.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include "platform/win32.h"
class RawFile { public: int fd; };
RawFile *OpenRawFile(const char *path) {
    if (!path) return nullptr;
    const int fd = ::open(ResolveFileName(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) { ::close(fd); return nullptr; }
    return new RawFile{fd};
}
void CloseRawFile(RawFile *f) { if (f) { ::close(f->fd); delete f; } }
int64_t RawFileSize(RawFile *f) { struct stat st {}; return ::fstat(f->fd, &st) == 0 ? st.st_size : -1; }
bool ReadRawFileAt(RawFile *f, int64_t offset, void *out, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(f->fd, static_cast<char *>(out) + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}
bool CanOpenRawFile(const char *path) { RawFile *f = OpenRawFile(path); CloseRawFile(f); return f != nullptr; }
