// Files of lines; see TextFiles.h.
#include "platform/TextFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
std::string Why(const char *what, const std::string &path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// flock, waiting for another writer's one line at most.
bool Lock(int fd, int how) {
    int result;
    do {
        result = ::flock(fd, how);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool IsRegular(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}
}  // namespace

bool MakeUserFolder(const std::string &folder, std::string *error) {
    if (folder.empty()) {
        *error = "no folder";
        return false;
    }
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = Why("cannot make", part);
            return false;
        }
        if (slash == std::string::npos) break;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        *error = Why("cannot use", folder);
        return false;
    }
    return true;
}

bool AppendLineToFile(const std::string &path, const std::string &line, std::string *error) {
    // O_NONBLOCK: a FIFO planted under the name must not hold the program up.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = Why("cannot open", path);
        return false;
    }
    bool written = false;
    if (!IsRegular(fd)) {
        errno = EINVAL;
        *error = Why("not a regular file:", path);
    } else if (!Lock(fd, LOCK_EX)) {
        *error = Why("cannot lock", path);
    } else {
        const std::string whole = line + "\n";
        ssize_t n;
        do {
            n = ::write(fd, whole.data(), whole.size());
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(whole.size())) {
            if (n >= 0) errno = ENOSPC;
            *error = Why("cannot write", path);
        } else if (::fdatasync(fd) != 0) {
            *error = Why("cannot flush", path);
        } else {
            written = true;
        }
    }
    ::close(fd);  // lets the lock go
    return written;
}

bool ReadLinesOfFile(const std::string &path, std::vector<std::string> *lines, std::string *error) {
    lines->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = Why("cannot open", path);
        return false;
    }
    const bool regular = IsRegular(fd);
    if (!regular || !Lock(fd, LOCK_SH)) {
        if (!regular) errno = EINVAL;
        *error = Why("cannot read", path);
        ::close(fd);
        return false;
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = Why("cannot read", path);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();  // a line cut off by a crash
        lines->push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return true;
}
