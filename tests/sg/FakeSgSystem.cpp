#include "tests/sg/FakeSgSystem.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

void FakeSgSystem::AddNode(int number, const std::string &address, int openErrno) {
    nodes_[number] = NodeInfo{address, openErrno};
    files[std::string(kClass) + "/sg" + std::to_string(number) + "/dev"] = "21:" + std::to_string(number);
}

void FakeSgSystem::SetDevice(int number, int type, const std::string &vendor, const std::string &model) {
    const std::string device = std::string(kClass) + "/sg" + std::to_string(number) + "/device/";
    files[device + "type"] = std::to_string(type);
    files[device + "vendor"] = vendor;
    files[device + "model"] = model;
}

void FakeSgSystem::AddCdDvdDrive(const std::string &name, const std::string &address, const std::string &vendor,
                                 const std::string &model) {
    blockDevices_[name] = address;
    const std::string device = std::string(kBlock) + "/" + name + "/device/";
    files[device + "vendor"] = vendor;
    files[device + "model"] = model;
    files[std::string(kBlock) + "/" + name + "/dev"] = "11:" + name.substr(2);
}

void FakeSgSystem::AddEntry(const std::string &name, const std::string &link) { extraEntries_[name] = link; }

void FakeSgSystem::SetMaxTransfer(int number, int bytes) { nodes_.at(number).maxTransfer = bytes; }

void FakeSgSystem::SetReadOnly(int number, int writeErrno) { nodes_.at(number).writeErrno = writeErrno; }

void FakeSgSystem::SetSgVersion(int number, int version) { nodes_.at(number).version = version; }

std::vector<std::string> FakeSgSystem::ListDirectory(const std::string &path) {
    std::vector<std::string> names;
    // /sys/class/scsi_generic/sgN/device/block: the block nodes at sgN's address.
    const std::string classPrefix = std::string(kClass) + "/sg";
    const std::string blockSuffix = "/device/block";
    if (path.rfind(classPrefix, 0) == 0 && path.size() > blockSuffix.size() &&
        path.compare(path.size() - blockSuffix.size(), blockSuffix.size(), blockSuffix) == 0) {
        const std::string number = path.substr(classPrefix.size(), path.size() - classPrefix.size() - blockSuffix.size());
        const auto node = nodes_.find(std::stoi(number));
        if (node == nodes_.end()) return names;
        for (const auto &[name, address] : blockDevices_)
            if (address == node->second.address) names.push_back(name);
        return names;
    }
    if (path == kBlock) {
        names.push_back("loop0");
        for (const auto &[name, address] : blockDevices_) names.push_back(name);
        names.push_back("vda");
        return names;
    }
    if (path != kClass) return names;
    // Directory order is no order at all: highest numbers first.
    for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it) names.push_back("sg" + std::to_string(it->first));
    for (const auto &[name, link] : extraEntries_) names.push_back(name);
    return names;
}

std::string FakeSgSystem::ReadLink(const std::string &path) {
    if (const auto link = links.find(path); link != links.end()) return link->second;
    const std::string block = std::string(kBlock) + "/";
    if (path.rfind(block, 0) == 0) {
        const std::string rest = path.substr(block.size());
        const size_t slash = rest.find('/');
        if (slash == std::string::npos || rest.substr(slash) != "/device") return {};
        const auto drive = blockDevices_.find(rest.substr(0, slash));
        return drive == blockDevices_.end() ? std::string() : "../../../" + drive->second;
    }
    const std::string prefix = std::string(kClass) + "/";
    if (path.rfind(prefix, 0) != 0) return {};
    std::string rest = path.substr(prefix.size());
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || rest.substr(slash) != "/device") return {};
    const std::string name = rest.substr(0, slash);
    if (auto extra = extraEntries_.find(name); extra != extraEntries_.end()) return extra->second;
    if (name.rfind("sg", 0) != 0) return {};
    const auto node = nodes_.find(std::stoi(name.substr(2)));
    if (node == nodes_.end()) return {};
    return "../../../devices/pci0000:00/host" + node->second.address.substr(0, node->second.address.find(':')) +
           "/target/" + node->second.address;
}

int FakeSgSystem::Open(const std::string &path, int flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens;
    if (path.rfind("/dev/", 0) == 0 && blockDevices_.count(path.substr(5))) {
        const bool writing = (flags & O_ACCMODE) != O_RDONLY;
        lockLog.push_back((writing && (flags & O_EXCL) ? "open-exclusive " : "open ") + path);
        if (const auto refusal = blockOpenErrno.find(path); refusal != blockOpenErrno.end()) {
            errno = refusal->second;
            return -1;
        }
        if (const auto refusal = blockWriteErrno.find(path); writing && refusal != blockWriteErrno.end()) {
            errno = refusal->second;
            return -1;
        }
        blockOpenFlags = flags;
        const int fd = nextFd_++;
        blockFds_[fd] = path;
        return fd;
    }
    if (path.rfind("/dev/sg", 0) != 0) {
        errno = ENOENT;
        return -1;
    }
    const auto node = nodes_.find(std::stoi(path.substr(7)));
    if (node == nodes_.end()) {
        errno = ENOENT;
        return -1;
    }
    if (node->second.openErrno != 0) {
        errno = node->second.openErrno;
        return -1;
    }
    if (node->second.writeErrno != 0 && (flags & O_ACCMODE) != O_RDONLY) {
        errno = node->second.writeErrno;
        return -1;
    }
    openFlags = flags;
    const int fd = nextFd_++;
    fds_[fd] = node->first;
    return fd;
}

int FakeSgSystem::Ioctl(int fd, unsigned long request, void *argument) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto open = fds_.find(fd);
    if (open == fds_.end() || closed.count(fd)) {
        errno = EBADF;
        return -1;
    }
    const NodeInfo &node = nodes_.at(open->second);
    if (request == SG_GET_VERSION_NUM) {
        *static_cast<int *>(argument) = node.version;
        return 0;
    }
    if (request == BLKSECTGET) {
        if (node.maxTransfer < 0) {
            errno = ENOTTY;
            return -1;
        }
        *static_cast<int *>(argument) = node.maxTransfer;
        return 0;
    }
    if (request != SG_IO) {
        errno = ENOTTY;
        return -1;
    }
    auto &header = *static_cast<sg_io_hdr_t *>(argument);
    FakeSgCall call;
    call.path = "/dev/sg" + std::to_string(open->second);
    call.header = header;
    call.cdb.assign(header.cmdp, header.cmdp + header.cmd_len);
    if (header.dxfer_direction == SG_DXFER_TO_DEV && header.dxferp != nullptr)
        call.data.assign(static_cast<uint8_t *>(header.dxferp), static_cast<uint8_t *>(header.dxferp) + header.dxfer_len);
    calls.push_back(std::move(call));
    if (answer) return answer(header);
    return 0;
}

std::string FakeSgSystem::ReadText(const std::string &path) {
    const auto file = files.find(path);
    return file == files.end() ? std::string() : file->second;
}

std::string FakeSgSystem::ReadFile(const std::string &path, size_t limit) {
    const auto file = files.find(path);
    return file == files.end() ? std::string() : file->second.substr(0, limit);
}

std::string FakeSgSystem::RealPath(const std::string &path) {
    const auto real = realPaths.find(path);
    return real == realPaths.end() ? std::string() : real->second;
}

void FakeSgSystem::Report(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports.push_back(line);
}

int FakeSgSystem::Flock(int fd, int operation) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string path;
    if (const auto block = blockFds_.find(fd); block != blockFds_.end()) path = block->second;
    else if (const auto node = fds_.find(fd); node != fds_.end()) path = "/dev/sg" + std::to_string(node->second);
    if (path.empty() || closed.count(fd)) {
        errno = EBADF;
        return -1;
    }
    flocks.emplace_back(path, operation);
    if (operation & LOCK_UN) {
        lockLog.push_back("unlock " + path);
        locked.erase(path);
        return 0;
    }
    lockLog.push_back(std::string(operation & LOCK_NB ? "lock " : "lock-waiting ") + path);
    if (const auto refusal = lockErrno.find(path); refusal != lockErrno.end()) {
        errno = refusal->second;
        return -1;
    }
    locked.insert(path);
    return 0;
}

int FakeSgSystem::Close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed.insert(fd);
    // Closing a block node lets go of its lock.
    if (const auto block = blockFds_.find(fd); block != blockFds_.end()) {
        lockLog.push_back("close " + block->second);
        locked.erase(block->second);
    }
    return 0;
}
