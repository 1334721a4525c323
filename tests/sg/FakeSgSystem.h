// A scripted system under the SG_IO manager: a sysfs class directory of sg
// nodes with their SCSI addresses, nodes that open or refuse, SG_IO calls
// recorded and answered by a script, and BSD locks on the nodes, with other
// processes' locks set by the test.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aspi/sg/SgSystem.h"

struct FakeSgCall {
    std::string path;           // node the call went to
    sg_io_hdr_t header{};       // as the manager handed it over
    std::vector<uint8_t> cdb;   // cmd_len bytes
    std::vector<uint8_t> data;  // bytes carried out (SG_DXFER_TO_DEV)
};

class FakeSgSystem final : public sgaspi::SgSystem {
public:
    static constexpr const char *kClass = "/sys/class/scsi_generic";
    static constexpr const char *kBlock = "/sys/class/block";

    // /dev/sgN at "H:C:T:L". openErrno != 0 makes the node refuse to open.
    void AddNode(int number, const std::string &address, int openErrno = 0);
    void AddEntry(const std::string &name, const std::string &link);  // anything else in the class directory
    void SetMaxTransfer(int number, int bytes);                      // BLKSECTGET answer; < 0 fails
    void SetSgVersion(int number, int version);
    void SetReadOnly(int number, int writeErrno);  // read-write opens fail with writeErrno
    // What sysfs shows of the node's device: its type, vendor and model.
    void SetDevice(int number, int type, const std::string &vendor, const std::string &model);
    // A CD/DVD drive of the kernel's own (/sys/class/block/NAME) at "H:C:T:L",
    // with its block node /dev/NAME, which any sg node at that address links
    // to (device/block/NAME); its device numbers are 11:N for srN.
    void AddCdDvdDrive(const std::string &name, const std::string &address, const std::string &vendor,
                       const std::string &model);

    // Answers every SG_IO call: returns the call's result (set errno for -1)
    // and fills the header's status fields, sense and data. Default: GOOD.
    std::function<int(sg_io_hdr_t &)> answer;

    std::map<std::string, std::string> files;  // text files (sysfs attributes) by path
    std::vector<std::string> reports;          // lines for the user, in order

    std::vector<FakeSgCall> calls;
    std::set<int> closed;
    int opens = 0;

    // Locks. By node path ("/dev/sg1", "/dev/sr0"): the errno a lock there
    // fails with (EWOULDBLOCK: another process holds it), and the errno
    // opening a block node fails with.
    std::map<std::string, int> lockErrno;
    std::map<std::string, int> blockOpenErrno;
    // The errno opening a block node for writing fails with (EACCES: this
    // user may not write to it; EBUSY: a mounted disc or a disc writer).
    std::map<std::string, int> blockWriteErrno;
    // realpath(3) answers, by path; anything else does not resolve.
    std::map<std::string, std::string> realPaths;
    // Symbolic links beyond the class directories ("/sys/devices/.../subsystem").
    std::map<std::string, std::string> links;
    std::set<std::string> locked;      // the nodes this process holds locked now
    // "lock /dev/sg1", "unlock /dev/sg1", "open /dev/sr0" (read-only), "open-exclusive /dev/sr0" (for
    // writing, with O_EXCL), "close /dev/sr0"
    std::vector<std::string> lockLog;
    // Every flock request on a node, in order, with the operation it was asked
    // with: the log above tells a lock from an unlock, not a shared lock from
    // an exclusive one.
    std::vector<std::pair<std::string, int>> flocks;
    int blockOpenFlags = 0;            // flags of the last block node opened

    std::vector<std::string> ListDirectory(const std::string &path) override;
    std::string ReadLink(const std::string &path) override;
    std::string ReadText(const std::string &path) override;
    std::string ReadFile(const std::string &path, size_t limit) override;
    std::string RealPath(const std::string &path) override;
    int Open(const std::string &path, int flags) override;
    int Ioctl(int fd, unsigned long request, void *argument) override;
    int Flock(int fd, int operation) override;
    int Close(int fd) override;
    void Report(const std::string &line) override;

    int openFlags = 0;  // flags of the last successful open

private:
    struct NodeInfo {
        std::string address;
        int openErrno = 0;
        int maxTransfer = 65536 * 2;
        int version = 30536;
        int writeErrno = 0;
    };
    std::mutex mutex_;  // the manager may call from several threads
    std::map<int, NodeInfo> nodes_;
    std::map<std::string, std::string> extraEntries_;  // name -> link
    std::map<std::string, std::string> blockDevices_;  // name -> address
    std::map<int, int> fds_;                           // fd -> node number
    std::map<int, std::string> blockFds_;              // fd -> block node path
    int nextFd_ = 100;
};
