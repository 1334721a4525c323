// The kernel's wait for a command that is never answered, cut short for the
// kernel test, with the wait the program asked for written down: preloaded
// (LD_PRELOAD) into quorvel-flash, and so into the flash's process it starts,
// it takes every SG_IO call whose time limit is longer than QV_SG_TIMEOUT_MS
// milliseconds, appends "OPCODE TIMEOUT_MS" (the CDB's first byte in hex, the
// limit asked for) to the file QV_SG_TIMEOUT_LOG, and lets the call go with
// QV_SG_TIMEOUT_MS instead. A USB bridge that stops answering is then reset by
// the kernel within seconds under emulation, and the test still sees which
// limit the manager chose.
#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    const char *limitText = std::getenv("QV_SG_TIMEOUT_MS");
    const char *logPath = std::getenv("QV_SG_TIMEOUT_LOG");
    if (request == SG_IO && argument != nullptr && limitText != nullptr && logPath != nullptr) {
        auto *header = static_cast<sg_io_hdr_t *>(argument);
        const unsigned limit = static_cast<unsigned>(std::strtoul(limitText, nullptr, 10));
        if (header->timeout > limit && header->cmdp != nullptr && header->cmd_len > 0) {
            char line[64];
            const int length = std::snprintf(line, sizeof line, "%02x %u\n", header->cmdp[0], header->timeout);
            const int log = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (log >= 0) {
                if (write(log, line, static_cast<size_t>(length)) != length) std::perror("QV_SG_TIMEOUT_LOG");
                close(log);
            }
            header->timeout = limit;
        }
    }
    return real(fd, request, argument);
}
