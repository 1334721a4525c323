// A CD/DVD drive in a USB enclosure, served through the real kernel's USB
// device side: the function of a USB gadget made in configfs (FunctionFS,
// usb_f_fs), bound to the software USB controller (dummy_hcd), whose host
// side is the same machine's: the kernel's own usb-storage binds it as it
// binds any enclosure, and the drive gets an sr and an sg node. The program
// is the enclosure's bridge: it speaks USB Mass Storage Bulk-Only Transport
// (a command block wrapper, the data, a status wrapper; the sense of a failed
// command kept for the REQUEST SENSE the host sends after it) and carries
// every command to the kernel test's served drive (ServedDrive.h), the same
// drive the SCSI target's handler serves, which records it.
//
//   quorvel-usb-drive --ffs DIR --vendor TEXT --product TEXT --revision TEXT --record FILE
//                     [--refuse N,...|final] [--die-at N] [--slow MS] [--ready FILE]
//                     [--bridge-refuses] [--stall-at N] [--silent-at N]
//
// DIR is the function's FunctionFS mount: the program writes its descriptors
// there, then FILE of --ready tells that the gadget can be bound to its
// controller. The drive's options are the served drive's. The bridge's own:
//   --bridge-refuses  the bridge passes no download command to the drive: it
//                     takes the data, fails the command, and gives ILLEGAL
//                     REQUEST, INVALID COMMAND OPERATION CODE as its sense;
//   --stall-at N      at the N-th download command the bridge takes 16 KiB of
//                     the data, stalls the bulk-out endpoint, and answers a
//                     phase error; the drive never has the command;
//   --silent-at N     at the N-th download command the bridge takes the data
//                     and answers nothing, until the host resets the device.
// Download commands are counted by the bridge, from 1, as they arrive since
// the enclosure last started; when one's data has all arrived, before the
// drive has it, the record says so ("usb arrived N"), so that a test can act
// while the drive holds it.
// Signals: SIGHUP starts the drive again; SIGUSR1 slows it, SIGUSR2 ends
// that; SIGTERM ends the program. The gadget unbound from its controller and
// bound again (a cable pulled and plugged in) starts the drive again too.
//
// Besides the served drive's lines, the record has the bridge's:
//   seq=N usb bind | unbind | enable | disable | bot-reset | max-lun | arrived N
//   seq=N cdb=... data=65536 bridge=refused status=02 sense=05/20/00
//   seq=N cdb=... data=65536 received=16384 bridge=stalled
//   seq=N cdb=... data=65536 received=65536 bridge=silent
//   seq=N cdb=03... data=18 bridge=sense in=18 status=00 sense=05/20/00
// (the last: a REQUEST SENSE answered with the sense the bridge kept).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <linux/usb/functionfs.h>

#include "tests/sg/guest/ServedDrive.h"

namespace {

constexpr char kProgram[] = "quorvel-usb-drive";
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr size_t kCbwLength = 31;
constexpr uint8_t kCswGood = 0, kCswFailed = 1, kCswPhaseError = 2;
constexpr uint8_t kRequestSense = 0x03;
constexpr size_t kHighSpeedPacket = 512;
constexpr size_t kStallAfter = 16384;
// Class requests of Bulk-Only Transport.
constexpr uint8_t kGetMaxLun = 0xFE;
constexpr uint8_t kBulkOnlyReset = 0xFF;

struct Options {
    std::string ffs;
    served::Options drive;
    bool bridgeRefuses = false;
    uint32_t stallAt = 0, silentAt = 0;
};

[[noreturn]] void Usage(const std::string &problem) {
    std::fprintf(stderr,
                 "%s: %s\n"
                 "usage: quorvel-usb-drive --ffs DIR --vendor TEXT --product TEXT --revision TEXT --record FILE\n"
                 "                         [--refuse N,...|final] [--die-at N] [--slow MS] [--ready FILE]\n"
                 "                         [--bridge-refuses] [--stall-at N] [--silent-at N]\n",
                 kProgram, problem.c_str());
    std::exit(2);
}

[[noreturn]] void Fail(const std::string &what) { served::Fail(kProgram, what); }

uint32_t Count(const std::string &key, const std::string &value) {
    char *end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || number == 0 || number > 0xFFFF) Usage(key + " takes a number from 1 on");
    return static_cast<uint32_t>(number);
}

Options Parse(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--bridge-refuses") {
            options.bridgeRefuses = true;
            continue;
        }
        if (i + 1 >= argc) Usage(key + " needs a value");
        const std::string value = argv[++i];
        if (key == "--ffs") options.ffs = value;
        else if (key == "--stall-at") options.stallAt = Count(key, value);
        else if (key == "--silent-at") options.silentAt = Count(key, value);
        else if (!served::TakeOption(key, value, options.drive)) Usage("cannot take " + key + " " + value);
    }
    if (options.ffs.empty() || !served::Complete(options.drive))
        Usage("--ffs, --vendor, --product, --revision and --record are needed");
    return options;
}

// The function's descriptors: one interface of class mass storage (08),
// subclass SCSI transparent (06), protocol Bulk-Only (50), with a bulk-in
// and a bulk-out endpoint, at full and at high speed.
struct __attribute__((packed)) Endpoints {
    usb_interface_descriptor interface;
    usb_endpoint_descriptor_no_audio in, out;
};
struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 head;
    uint32_t fsCount, hsCount;
    Endpoints fs, hs;
};
struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head head;
    uint16_t language;
    char interface[sizeof "QUORVEL test bridge"];
};

Endpoints EndpointsOf(uint16_t packet) {
    Endpoints e{};
    e.interface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_MASS_STORAGE, 0x06, 0x50, 1};
    e.in = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK, packet, 0};
    e.out = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, packet, 0};
    return e;
}

void WriteDescriptors(int ep0) {
    Descriptors d{};
    d.head.magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    d.head.length = sizeof d;
    d.head.flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    d.fsCount = d.hsCount = 3;
    d.fs = EndpointsOf(64);
    d.hs = EndpointsOf(kHighSpeedPacket);
    if (write(ep0, &d, sizeof d) != static_cast<ssize_t>(sizeof d)) Fail("cannot write the descriptors");
    Strings s{};
    s.head.magic = FUNCTIONFS_STRINGS_MAGIC;
    s.head.length = sizeof s;
    s.head.str_count = 1;
    s.head.lang_count = 1;
    s.language = 0x0409;
    std::memcpy(s.interface, "QUORVEL test bridge", sizeof s.interface);
    if (write(ep0, &s, sizeof s) != static_cast<ssize_t>(sizeof s)) Fail("cannot write the strings");
}

uint32_t Le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Cbw {
    uint32_t tag = 0, length = 0;
    bool in = false;
    std::vector<uint8_t> cdb;
};

bool ParseCbw(const uint8_t *bytes, ssize_t size, Cbw &cbw) {
    if (size != static_cast<ssize_t>(kCbwLength) || Le32(bytes) != kCbwSignature) return false;
    const uint8_t cdbLength = bytes[14] & 0x1F;
    if (cdbLength < 1 || cdbLength > 16) return false;
    cbw.tag = Le32(bytes + 4);
    cbw.length = Le32(bytes + 8);
    cbw.in = (bytes[12] & 0x80) != 0;
    cbw.cdb.assign(bytes + 15, bytes + 15 + cdbLength);
    return true;
}

std::string SenseWords(const std::vector<uint8_t> &sense) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x/%02x/%02x", sense.size() > 2 ? sense[2] & 0x0F : 0,
                  sense.size() > 12 ? sense[12] : 0, sense.size() > 13 ? sense[13] : 0);
    return text;
}

// What the host has done to the device, as the function's events tell it.
class Link {
public:
    // Blocks until the function is enabled (configured by the host); the
    // number of the enabled span.
    uint64_t WaitEnabled() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return enabled_; });
        return span_;
    }
    // Whether the span a command began in is over (a reset, an unbind).
    bool Over(uint64_t span) {
        std::lock_guard lock(mutex_);
        return !enabled_ || span != span_;
    }
    void Enabled(bool enabled) {
        {
            std::lock_guard lock(mutex_);
            if (enabled && !enabled_) ++span_;
            enabled_ = enabled;
        }
        changed_.notify_all();
    }
    // Waits until the span is over: the host has reset the device, or let
    // go of it.
    void WaitOver(uint64_t span) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !enabled_ || span != span_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool enabled_ = false;
    uint64_t span_ = 0;
};

class Bridge {
public:
    Bridge(const Options &options, served::Drive &drive, int in, int out, Link &link)
        : options_(options), drive_(drive), in_(in), out_(out), link_(link) {}

    std::atomic<bool> powerCycle{false};

    [[noreturn]] void Serve() {
        std::vector<uint8_t> buffer(kHighSpeedPacket);
        for (;;) {
            const uint64_t span = link_.WaitEnabled();
            const ssize_t got = read(out_, buffer.data(), buffer.size());
            if (got < 0) {
                // Not enabled yet, as the function's events will say at once.
                if (errno == EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (Lost(errno)) continue;
                Fail("cannot read a command");
            }
            Cbw cbw;
            if (!ParseCbw(buffer.data(), got, cbw)) {
                drive_.Note("bad-cbw length=" + std::to_string(got));
                Halt(in_);
                Halt(out_);
                link_.WaitOver(span);
                continue;
            }
            // Started again meanwhile (SIGHUP, or plugged in again): the
            // drive answers this command as it runs now.
            if (powerCycle.exchange(false)) {
                drive_.PowerCycle();
                sense_.clear();
                downloads_ = 0;
            }
            Command(cbw, span);
        }
    }

private:
    // An I/O error that says the host reset the device or it was unbound:
    // the command in hand is dropped.
    static bool Lost(int error) {
        return error == ESHUTDOWN || error == EAGAIN || error == ECONNRESET || error == EINTR || error == ENODEV;
    }

    // A read on an IN endpoint or a write on an OUT endpoint halts it.
    void Halt(int fd) {
        uint8_t byte = 0;
        const ssize_t result = fd == in_ ? read(fd, &byte, 1) : write(fd, &byte, 1);
        (void)result;
    }

    // Reads the command's data out of the host, `length` bytes at most of it.
    bool Receive(std::vector<uint8_t> &data, size_t length) {
        size_t have = 0;
        while (have < length) {
            const ssize_t got = read(out_, data.data() + have, std::min<size_t>(length - have, 65536));
            if (got <= 0) return false;
            have += static_cast<size_t>(got);
        }
        return true;
    }

    bool Send(const uint8_t *bytes, size_t length) {
        size_t sent = 0;
        while (sent < length) {
            const ssize_t put = write(in_, bytes + sent, length - sent);
            if (put <= 0) return false;
            sent += static_cast<size_t>(put);
        }
        return true;
    }

    bool Status(const Cbw &cbw, uint32_t residue, uint8_t status, uint64_t span) {
        if (link_.Over(span)) return false;
        uint8_t csw[13];
        PutLe32(csw, kCswSignature);
        PutLe32(csw + 4, cbw.tag);
        PutLe32(csw + 8, residue);
        csw[12] = status;
        return Send(csw, sizeof csw);
    }

    void Command(const Cbw &cbw, uint64_t span) {
        std::vector<uint8_t> data(cbw.length);
        const std::string cdb = served::Hex(cbw.cdb);
        const bool download = quorvel_sim::Drive::IsDownload(cbw.cdb);
        if (!cbw.in && cbw.length > 0) {
            if (download) ++downloads_;
            if (download && options_.stallAt == downloads_) {
                // Part of the block, then the bulk-out endpoint stalled: the
                // host clears it and reads a phase error.
                const size_t part = std::min<size_t>(kStallAfter, cbw.length);
                const bool received = Receive(data, part);
                drive_.Note("cdb=" + cdb + " data=" + std::to_string(cbw.length) +
                            " received=" + std::to_string(received ? part : 0) + " bridge=stalled");
                Halt(out_);
                Status(cbw, cbw.length - static_cast<uint32_t>(part), kCswPhaseError, span);
                return;
            }
            if (!Receive(data, cbw.length)) return;
            if (download) drive_.Note("usb arrived " + std::to_string(downloads_));
            if (download && options_.silentAt == downloads_) {
                drive_.Note("cdb=" + cdb + " data=" + std::to_string(cbw.length) +
                            " received=" + std::to_string(cbw.length) + " bridge=silent");
                link_.WaitOver(span);
                return;
            }
            if (download && options_.bridgeRefuses) {
                sense_.assign(18, 0);
                sense_[0] = 0x70;
                sense_[2] = 0x05;
                sense_[7] = 10;
                sense_[12] = 0x20;
                drive_.Note("cdb=" + cdb + " data=" + std::to_string(cbw.length) +
                            " bridge=refused status=02 sense=05/20/00");
                Status(cbw, cbw.length, kCswFailed, span);
                return;
            }
        }
        if (cbw.cdb[0] == kRequestSense && !sense_.empty()) {
            // The sense of the command that failed before, kept by the bridge.
            const size_t length = std::min<size_t>({sense_.size(), cbw.length, cbw.cdb.size() > 4 ? cbw.cdb[4] : 0u});
            drive_.Note("cdb=" + cdb + " data=" + std::to_string(cbw.length) + " bridge=sense in=" +
                        std::to_string(length) + " status=00 sense=" + SenseWords(sense_));
            std::vector<uint8_t> answer(sense_.begin(), sense_.begin() + static_cast<long>(length));
            sense_.clear();
            Reply(cbw, answer, kCswGood, span);
            return;
        }
        sense_.clear();
        const served::Reply reply = drive_.Answer(cbw.cdb, data);
        if (link_.Over(span)) return;  // the host let go of the command meanwhile
        if (reply.status != 0) sense_ = reply.sense;
        if (cbw.in) Reply(cbw, reply.dataIn, reply.status == 0 ? kCswGood : kCswFailed, span);
        else Status(cbw, 0, reply.status == 0 ? kCswGood : kCswFailed, span);
    }

    // Data to the host, then the status. Less data than the host asked for
    // ends with a short packet, or with the bulk-in endpoint stalled where
    // the data ends on a packet's boundary (or is none).
    void Reply(const Cbw &cbw, const std::vector<uint8_t> &answer, uint8_t status, uint64_t span) {
        const size_t length = std::min<size_t>(answer.size(), cbw.length);
        if (length > 0 && !Send(answer.data(), length)) return;
        if (length < cbw.length && length % kHighSpeedPacket == 0) Halt(in_);
        Status(cbw, cbw.length - static_cast<uint32_t>(length), status, span);
    }

    const Options &options_;
    served::Drive &drive_;
    int in_, out_;
    Link &link_;
    std::vector<uint8_t> sense_;  // the last failed command's, until the next command
    uint32_t downloads_ = 0;
};

// The function's control endpoint: the host's binding, configuration and
// resets, and the class requests of Bulk-Only Transport; and the signals.
void Events(int ep0, int signals, served::Drive &drive, Bridge &bridge, Link &link) {
    bool unbound = false;
    for (;;) {
        pollfd waits[2] = {{ep0, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (waits[1].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGHUP) bridge.powerCycle = true;
                else if (info.ssi_signo == SIGUSR1) drive.Slowed(true);
                else if (info.ssi_signo == SIGUSR2) drive.Slowed(false);
                else std::exit(0);
            }
        }
        if (!(waits[0].revents & POLLIN)) continue;
        usb_functionfs_event events[4];
        const ssize_t got = read(ep0, events, sizeof events);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            Fail("cannot read the control endpoint's events");
        }
        for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof events[0]); ++i) {
            const usb_functionfs_event &event = events[i];
            switch (event.type) {
            case FUNCTIONFS_BIND:
                drive.Note("usb bind");
                // Plugged in again: the enclosure, and the drive in it, had no power.
                if (unbound) bridge.powerCycle = true;
                break;
            case FUNCTIONFS_UNBIND:
                drive.Note("usb unbind");
                unbound = true;
                link.Enabled(false);
                break;
            case FUNCTIONFS_ENABLE:
                drive.Note("usb enable");
                link.Enabled(true);
                break;
            case FUNCTIONFS_DISABLE:
                drive.Note("usb disable");
                link.Enabled(false);
                break;
            case FUNCTIONFS_SETUP: {
                const usb_ctrlrequest &setup = event.u.setup;
                const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
                const bool classRequest = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS;
                uint8_t none = 0;
                if (classRequest && in && setup.bRequest == kGetMaxLun) {
                    drive.Note("usb max-lun");
                    if (write(ep0, &none, 1) != 1) drive.Note("usb max-lun not sent");
                } else if (classRequest && !in && setup.bRequest == kBulkOnlyReset) {
                    drive.Note("usb bot-reset");
                    if (read(ep0, &none, 0) < 0) drive.Note("usb bot-reset not acknowledged");
                    // The command in hand, if any, is the host's no more.
                    link.Enabled(false);
                    link.Enabled(true);
                } else {
                    // Anything else is stalled: a read for a request that
                    // sends data to the host, a write for one that does not.
                    const ssize_t stalled = in ? read(ep0, &none, 0) : write(ep0, &none, 0);
                    (void)stalled;
                }
                break;
            }
            default: break;
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = Parse(argc, argv);
    // Every thread has the signals blocked; the control endpoint's thread
    // takes them from a signalfd.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGHUP, SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) Fail("signalfd");

    served::Record record(options.drive.record);
    const int ep0 = open((options.ffs + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0 < 0) Fail("cannot open " + options.ffs + "/ep0");
    WriteDescriptors(ep0);
    // The endpoints' files exist once the descriptors are taken. Non-blocking:
    // I/O on an endpoint that is not enabled fails at once (EAGAIN) rather
    // than waiting, and a command in hand is dropped.
    const int in = open((options.ffs + "/ep1").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const int out = open((options.ffs + "/ep2").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (in < 0 || out < 0) Fail("cannot open the bulk endpoints in " + options.ffs);

    served::Drive drive(options.drive, record);
    Link link;
    Bridge bridge(options, drive, in, out, link);
    std::thread bulk([&bridge] { bridge.Serve(); });
    bulk.detach();
    if (!options.drive.ready.empty()) std::ofstream(options.drive.ready) << getpid() << "\n";
    Events(ep0, signalFd, drive, bridge, link);
}
