// The system calls the SG_IO manager makes, behind one interface so that the
// manager's logic can run against a scripted system in tests. The real one
// goes straight to the kernel.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sgaspi {

class SgSystem {
public:
    virtual ~SgSystem() = default;
    // Names in a directory (without "." and ".."); empty when it cannot be read.
    virtual std::vector<std::string> ListDirectory(const std::string &path) = 0;
    // Target of a symbolic link; empty when it is none.
    virtual std::string ReadLink(const std::string &path) = 0;
    // The first line of a small text file (a sysfs attribute) without its
    // line end; empty when it cannot be read.
    virtual std::string ReadText(const std::string &path) = 0;
    // A whole file (/proc/self/mountinfo), at most `limit` bytes of it;
    // empty when it cannot be read.
    virtual std::string ReadFile(const std::string &path, size_t limit) = 0;
    // The path with every symbolic link followed, as realpath(3); empty when
    // it cannot be resolved.
    virtual std::string RealPath(const std::string &path) = 0;
    // As open(2), ioctl(2), flock(2) and close(2): -1 with errno set on
    // failure.
    virtual int Open(const std::string &path, int flags) = 0;
    virtual int Ioctl(int fd, unsigned long request, void *argument) = 0;
    virtual int Flock(int fd, int operation) = 0;
    virtual int Close(int fd) = 0;
    // One line for the user, on standard error.
    virtual void Report(const std::string &line) = 0;
};

// The kernel's own calls.
SgSystem &RealSgSystem();

}  // namespace sgaspi
