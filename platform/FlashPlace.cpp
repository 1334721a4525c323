// Where a flash under way can be found; see FlashPlace.h.
#include "platform/FlashPlace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char kFolder[] = "quorvel";
constexpr char kPrefix[] = "flash-";

std::string Errno(int error) { return std::strerror(error); }

// The user's runtime folder's own folder of ours: the user's, a folder, no
// link, 0700. Made when missing and `make`.
std::string PlaceFolder(bool make, std::string *problem) {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        *problem = "there is no runtime folder (XDG_RUNTIME_DIR)";
        return {};
    }
    const std::string folder = std::string(runtime) + "/" + kFolder;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *problem = folder + " cannot be read: " + Errno(errno);
            return {};
        }
        if (!make) return {};
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            *problem = folder + " cannot be made: " + Errno(errno);
            return {};
        }
        if (::lstat(folder.c_str(), &st) != 0) {
            *problem = folder + " cannot be read: " + Errno(errno);
            return {};
        }
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 0077) != 0) {
        *problem = folder + " is not a folder of this user's alone (0700)";
        return {};
    }
    return folder;
}

bool FitsAnAddress(const std::string &path) { return path.size() < sizeof(sockaddr_un::sun_path); }

sockaddr_un Address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// The user behind the other end of a connected socket, or -1.
int PeerUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return -1;
    return static_cast<int>(credentials.uid);
}

// Connected to `path`, or -1 with `error` the system's errno.
int Connect(const std::string &path, int *error) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    const sockaddr_un address = Address(path);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

// The place's socket file's inode, or 0 when it is no socket.
uint64_t SocketInode(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
    return static_cast<uint64_t>(st.st_ino);
}
}  // namespace

std::string FlashPlacePath(uint8_t adapter, uint8_t target, bool make, std::string *problem) {
    const std::string folder = PlaceFolder(make, problem);
    if (folder.empty()) {
        if (problem->empty()) *problem = "no flash is under way here";
        return {};
    }
    const std::string path =
        folder + "/" + kPrefix + std::to_string(adapter) + "-" + std::to_string(target);
    if (!FitsAnAddress(path)) {
        *problem = "the path " + path + " is too long for a local socket";
        return {};
    }
    return path;
}

std::vector<FlashPlaceFound> FlashPlaces(std::string *problem) {
    std::vector<FlashPlaceFound> places;
    const std::string folder = PlaceFolder(false, problem);
    if (folder.empty()) return places;
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        *problem = folder + " cannot be read: " + Errno(errno);
        return places;
    }
    while (const dirent *entry = ::readdir(dir)) {
        unsigned adapter = 0, target = 0;
        char rest = 0;
        if (std::sscanf(entry->d_name, "flash-%3u-%3u%c", &adapter, &target, &rest) != 2 || adapter > 255 ||
            target > 255)
            continue;
        FlashPlaceFound place{static_cast<uint8_t>(adapter), static_cast<uint8_t>(target),
                              folder + "/" + entry->d_name};
        // Only the name this drive's place has: no other file is taken for one.
        std::string unused;
        if (FlashPlacePath(place.adapter, place.target, false, &unused) == place.path) places.push_back(place);
    }
    ::closedir(dir);
    return places;
}

FlashPlaceListener::FlashPlaceListener(int fd, std::string path, uint64_t inode)
    : fd_(fd), path_(std::move(path)), inode_(inode) {}

FlashPlaceListener::~FlashPlaceListener() {
    // Removed only when it is still this one's: a later flash of the drive
    // may have taken the place already.
    if (inode_ != 0 && SocketInode(path_) == inode_) ::unlink(path_.c_str());
    ::close(fd_);
}

std::unique_ptr<FlashPlaceListener> FlashPlaceListener::Open(const std::string &path, std::string *problem) {
    if (path.empty() || !FitsAnAddress(path)) {
        *problem = "no place for the socket";
        return nullptr;
    }
    if (SocketInode(path) != 0) {
        int error = 0;
        const int alive = Connect(path, &error);
        if (alive >= 0) {
            ::close(alive);
            *problem = path + " is served by another process";
            return nullptr;
        }
        // Left behind by a process that ended.
        ::unlink(path.c_str());
    } else if (::access(path.c_str(), F_OK) == 0) {
        *problem = path + " is there and is no socket";
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *problem = "no socket: " + Errno(errno);
        return nullptr;
    }
    const sockaddr_un address = Address(path);
    // Made for the user alone, whatever the folder lets others do.
    const mode_t mask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int bindError = errno;
    ::umask(mask);
    if (bound != 0 || ::listen(fd, 16) != 0) {
        *problem = path + " cannot be served: " + Errno(bound != 0 ? bindError : errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FlashPlaceListener>(new FlashPlaceListener(fd, path, SocketInode(path)));
}

ChannelEnd FlashPlaceListener::Accept(std::string *refused) {
    for (;;) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return ChannelEnd();
        }
        const int user = PeerUser(fd);
        if (user == static_cast<int>(::getuid())) return ChannelEnd::Adopt(fd);
        *refused = "a front end of user " + std::to_string(user) + " was refused: a flash is followed by its own user alone";
        ::close(fd);
    }
}

Hold FlashPlaceListener::Watch(std::function<void()> onConnecting) {
    return ChannelEnd::WatchDescriptor(fd_, std::move(onConnecting));
}

ChannelEnd ConnectToFlashPlace(const std::string &path, std::string *problem) {
    if (SocketInode(path) == 0) {
        *problem = "no flash is served at " + path;
        return ChannelEnd();
    }
    int error = 0;
    const int fd = Connect(path, &error);
    if (fd < 0) {
        *problem = error == ECONNREFUSED ? "the flash served at " + path + " has ended" : path + ": " + Errno(error);
        return ChannelEnd();
    }
    const int user = PeerUser(fd);
    if (user != static_cast<int>(::getuid())) {
        *problem = path + " is served by user " + std::to_string(user) + ", not this one";
        ::close(fd);
        return ChannelEnd();
    }
    return ChannelEnd::Adopt(fd);
}
