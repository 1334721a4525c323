// The flash's own process, its channel and its sealed image; see
// FlashProcess.h.
#include "platform/FlashProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Files.h"

extern char **environ;

#ifndef QUORVEL_TRANSFER_FROM_BIN
#define QUORVEL_TRANSFER_FROM_BIN "../lib/quorvel"
#endif

namespace {
constexpr char kTransferProgram[] = "quorvel-transfer";
constexpr unsigned kEverySeal = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
// The image goes into its copy through a buffer of this size: the copy is
// written with write(2), which says when there is no room (a mapping would
// be killed by SIGBUS instead).
constexpr size_t kCopyChunk = 1 << 20;

bool IsNoRoom(int error) { return error == ENOMEM || error == ENOSPC || error == EFBIG || error == EDQUOT; }

bool WriteAll(int fd, const uint8_t *bytes, size_t length, int *error) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

struct TransferProcess {
    pid_t pid = -1;
};

std::string ProgramFolder() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    std::string folder(path);
    return folder.substr(0, folder.rfind('/'));
}

std::string FindTransferProgram(std::string *error) {
    const std::string folder = ProgramFolder();
    if (folder.empty()) {
        *error = "This program's own folder cannot be told, and " + std::string(kTransferProgram) + " is found by it.";
        return {};
    }
    for (const std::string &candidate : {folder + "/" + QUORVEL_TRANSFER_FROM_BIN + "/" + kTransferProgram,
                                         folder + "/" + kTransferProgram}) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    *error = std::string("The flash's own program, ") + kTransferProgram +
             ", is not installed beside this program (looked for it in " + folder + "/" + QUORVEL_TRANSFER_FROM_BIN +
             " and " + folder + ").";
    return {};
}
}  // namespace

SealedImage::SealedImage(SealedImage &&other) noexcept
    : fd_(other.fd_), bytes_(other.bytes_), size_(other.size_) {
    other.fd_ = -1;
    other.bytes_ = nullptr;
    other.size_ = 0;
}

SealedImage &SealedImage::operator=(SealedImage &&other) noexcept {
    if (this != &other) {
        Reset();
        std::swap(fd_, other.fd_);
        std::swap(bytes_, other.bytes_);
        std::swap(size_, other.size_);
    }
    return *this;
}

SealedImage::~SealedImage() { Reset(); }

void SealedImage::Reset() {
    if (bytes_ != nullptr) ::munmap(const_cast<uint8_t *>(bytes_), static_cast<size_t>(size_));
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    bytes_ = nullptr;
    size_ = 0;
}

SealedImage SealedImage::Copy(RawFile *file, int64_t length, Failure *failure) {
    *failure = Failure::NoMemory;
    SealedImage image;
    if (length <= 0) return image;
    const int fd = ::memfd_create("quorvel-image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return image;
    image.fd_ = fd;
    std::vector<uint8_t> chunk;
    try {
        chunk.resize(static_cast<size_t>(std::min<int64_t>(length, kCopyChunk)));
    } catch (const std::bad_alloc &) {
        return SealedImage();
    }
    for (int64_t offset = 0; offset < length;) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(length - offset, kCopyChunk));
        if (!ReadRawFileAt(file, offset, chunk.data(), n)) {
            *failure = Failure::Unreadable;
            return SealedImage();
        }
        int error = 0;
        if (!WriteAll(fd, chunk.data(), n, &error)) {
            *failure = IsNoRoom(error) ? Failure::NoMemory : Failure::Unreadable;
            return SealedImage();
        }
        offset += static_cast<int64_t>(n);
    }
    // Sealed before it is mapped, and mapped only for reading: what is
    // checked from here is what the drive gets.
    if (::fcntl(fd, F_ADD_SEALS, kEverySeal) != 0) return SealedImage();
    void *bytes = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
    if (bytes == MAP_FAILED) return SealedImage();
    image.bytes_ = static_cast<const uint8_t *>(bytes);
    image.size_ = length;
    *failure = Failure::None;
    return image;
}

SealedImage SealedImage::Adopt(int descriptor, int64_t length, std::string *problem) {
    SealedImage image;
    image.fd_ = descriptor;
    struct stat info {};
    const int seals = ::fcntl(descriptor, F_GET_SEALS);
    if (seals < 0 || (static_cast<unsigned>(seals) & kEverySeal) != kEverySeal) {
        *problem = "the image's copy is not sealed against change.";
        return SealedImage();
    }
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != length || length <= 0) {
        *problem = "the image's copy is not as long as the flash says.";
        return SealedImage();
    }
    void *bytes = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, descriptor, 0);
    if (bytes == MAP_FAILED) {
        *problem = std::string("the image's copy cannot be read: ") + std::strerror(errno) + ".";
        return SealedImage();
    }
    image.bytes_ = static_cast<const uint8_t *>(bytes);
    image.size_ = length;
    return image;
}

ChannelEnd::ChannelEnd(ChannelEnd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ChannelEnd &ChannelEnd::operator=(ChannelEnd &&other) noexcept {
    if (this != &other) {
        Close();
        std::swap(fd_, other.fd_);
    }
    return *this;
}

ChannelEnd::~ChannelEnd() { Close(); }

bool ChannelEnd::MakePair(ChannelEnd *ours, ChannelEnd *theirs) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    *ours = Adopt(fds[0]);
    *theirs = Adopt(fds[1]);
    return true;
}

ChannelEnd ChannelEnd::Adopt(int descriptor) {
    ChannelEnd end;
    end.fd_ = descriptor;
    return end;
}

bool ChannelEnd::Send(const std::string &bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

bool ChannelEnd::SendWithoutWaiting(const std::string &bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

int ChannelEnd::PeerProcess() const {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (fd_ < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return -1;
    return static_cast<int>(credentials.pid);
}

ChannelEnd::Received ChannelEnd::Receive(std::string *into) {
    if (fd_ < 0) return Received::Ended;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            into->append(buffer, static_cast<size_t>(n));
            return Received::Data;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::Nothing;
        return Received::Ended;  // closed, or reset by a process that was killed
    }
}

bool ChannelEnd::WaitReadable(int milliseconds) {
    if (fd_ < 0) return true;
    pollfd ready{fd_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const int n = ::poll(&ready, 1, static_cast<int>(std::max<int64_t>(left, 0)));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // the next read tells what went wrong
    }
}

namespace {
// May be destroyed by the very call it makes: the notifier goes later, and
// the call, held by the notifier's connection, with it.
class ChannelWatch : public PlatformHold {
public:
    ChannelWatch(int fd, std::function<void()> onReadable) : notifier_(new QSocketNotifier(fd, QSocketNotifier::Read)) {
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_,
                         [onReadable = std::move(onReadable)] { onReadable(); });
    }
    ~ChannelWatch() override {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
    }

private:
    QSocketNotifier *notifier_;
};
}  // namespace

Hold ChannelEnd::Watch(std::function<void()> onReadable) { return WatchDescriptor(fd_, std::move(onReadable)); }

Hold ChannelEnd::WatchDescriptor(int fd, std::function<void()> onReadable) {
    if (fd < 0 || QCoreApplication::instance() == nullptr) return nullptr;
    return std::make_unique<ChannelWatch>(fd, std::move(onReadable));
}

void ChannelEnd::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void CloseHandedDescriptor(int descriptor) {
    if (descriptor >= 0) ::close(descriptor);
}

HANDLE qtlayer::SpawnFlashProcess(int channel, int image, std::string *error) {
    const std::string program = FindTransferProgram(error);
    if (program.empty()) return nullptr;
    // Both descriptors go above the two the program is given, so that each
    // dup2 makes a new descriptor, one without close-on-exec.
    const int channelCopy = ::fcntl(channel, F_DUPFD_CLOEXEC, 10);
    const int imageCopy = ::fcntl(image, F_DUPFD_CLOEXEC, 10);
    const auto closeCopies = [&] {
        if (channelCopy >= 0) ::close(channelCopy);
        if (imageCopy >= 0) ::close(imageCopy);
    };
    if (channelCopy < 0 || imageCopy < 0) {
        *error = std::string("No descriptor for it: ") + std::strerror(errno) + ".";
        closeCopies();
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, channelCopy, 3);
    posix_spawn_file_actions_adddup2(&actions, imageCopy, 4);
    // Of the front end's standard streams it keeps standard error alone, and
    // lets even that go once the front end is gone: a script that reads the
    // front end's output sees its end when the front end ends.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attributes);
    // The front end's mask, the termination signals blocked in it: none
    // reaches the program before it reads them itself.
    sigset_t blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    closeCopies();
    if (spawned != 0) {
        *error = "It cannot be started (" + program + "): " + std::strerror(spawned) + ".";
        return nullptr;
    }
    return new TransferProcess{pid};
}

bool qtlayer::WaitForFlashProcess(HANDLE handle, DWORD milliseconds, std::string *how) {
    auto *process = static_cast<TransferProcess *>(handle);
    if (process == nullptr) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(process->pid, &status, WNOHANG);
        if (ended == process->pid || (ended < 0 && errno != EINTR)) {
            if (ended < 0)
                *how = "it ended; how cannot be told";
            else if (WIFSIGNALED(status))
                *how = "it was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
                       ::strsignal(WTERMSIG(status)) + ")";
            else
                *how = "it ended with status " + std::to_string(WEXITSTATUS(status));
            delete process;
            return true;
        }
        if (ended == 0 && (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
