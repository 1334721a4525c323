// A CD/DVD drive served through the real kernel: the handler of one device of
// the kernel's SCSI target user backstore (target_core_user). Exported
// through the loopback fabric, the device is an ordinary SCSI host with an
// sr and an sg node on the same machine, and every command sent to it, by
// the kernel's scan or through SG_IO, ends up here. The drive itself is the
// simulated machine's drive model (aspi/sim/DriveModel.h), with the answers
// a kernel's scan needs turned on: its INQUIRY, its download sessions, its
// refusals and the revision a flash takes are the simulated drives' own.
//
//   quorvel-virtual-drive --backstore NAME --vendor TEXT --product TEXT --revision TEXT
//                         --record FILE [--refuse N,...|final] [--die-at N] [--slow MS] [--ready FILE]
//
// NAME is the backstore device's name in configfs (core/user_N/NAME), enabled
// before the handler starts; the LUN is linked once FILE of --ready exists.
// --die-at N: the handler kills itself when the N-th download command
// arrives, before answering it, as a crashing handler would.
// --slow MS: while the drive is slowed, each download command is answered MS
// milliseconds after it arrived, as a drive writing its flash takes its time:
// long enough for a test to act between two blocks. The drive's other
// commands, and every command before SIGUSR1, are answered at once.
// Signals: SIGHUP starts the drive again (a power cycle: the machine was
// restarted, the drive runs what it flashed last); SIGUSR1 slows it, SIGUSR2
// ends that; SIGTERM ends the handler.
//
// The record file gets one line per command, appended with one write:
//   start vendor="QUORVEL " product="CDRW-4824A      " revision="1.00"
//   seq=12 cdb=ff00010000ff00000000 data=65536 fnv1a64=8f3c... download=2 phase=next status=00
//   seq=13 cdb=ff0001000000... download=4 phase=final new-revision="1.20" status=00
//   seq=14 cdb=120000002400 data=36 fnv1a64=... in=36 revision="1.20" status=00
//   seq=15 cdb=000000000000 data=0 fnv1a64=cbf29ce484222325 status=02 sense=02/3a/00
// cdb: the bytes the ring carries (see tcmu::RingCdbLength); data: the
// length of the command's buffer; fnv1a64: FNV-1a 64 of the data the
// command carried (a download's data as received, an answer's data as sent,
// otherwise the buffer as it arrived); in: bytes answered; a download's
// number since the drive started, its phase, and for a flashed block the
// revision taken (or none); status and sense as sent back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "aspi/sim/DataHash.h"
#include "aspi/sim/DriveModel.h"
#include "tests/sg/guest/TcmuRing.h"

namespace {

using namespace quorvel_sim;

struct Options {
    std::string backstore, record, ready;
    std::string vendor, product, revision;
    DriveRefusals refusals;
    uint32_t dieAt = 0;  // 0: never
    uint32_t slowMs = 0;
};

[[noreturn]] void Usage(const char *problem) {
    std::fprintf(stderr,
                 "quorvel-virtual-drive: %s\n"
                 "usage: quorvel-virtual-drive --backstore NAME --vendor TEXT --product TEXT --revision TEXT\n"
                 "                             --record FILE [--refuse N,...|final] [--die-at N] [--slow MS]\n"
                 "                             [--ready FILE]\n",
                 problem);
    std::exit(2);
}

[[noreturn]] void Fail(const std::string &what) {
    std::fprintf(stderr, "quorvel-virtual-drive: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

template <size_t N>
std::array<uint8_t, N> Padded(const std::string &text, const char *name) {
    if (text.size() > N) Usage((std::string(name) + " is too long").c_str());
    std::array<uint8_t, N> field;
    field.fill(' ');
    std::memcpy(field.data(), text.data(), text.size());
    return field;
}

uint32_t Number(const std::string &text, const char *name) {
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value == 0 || value > 0xFFFFFFFFul)
        Usage((std::string(name) + " takes a number from 1 on").c_str());
    return static_cast<uint32_t>(value);
}

Options Parse(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        if (i + 1 >= argc) Usage((key + " needs a value").c_str());
        const std::string value = argv[i + 1];
        if (key == "--backstore") options.backstore = value;
        else if (key == "--record") options.record = value;
        else if (key == "--ready") options.ready = value;
        else if (key == "--vendor") options.vendor = value;
        else if (key == "--product") options.product = value;
        else if (key == "--revision") options.revision = value;
        else if (key == "--die-at") options.dieAt = Number(value, "--die-at");
        else if (key == "--slow") options.slowMs = Number(value, "--slow");
        else if (key == "--refuse") {
            size_t start = 0;
            while (start <= value.size()) {
                const size_t comma = std::min(value.find(',', start), value.size());
                const std::string item = value.substr(start, comma - start);
                if (item == "final") options.refusals.final = true;
                else options.refusals.commands.insert(Number(item, "--refuse"));
                start = comma + 1;
            }
        } else Usage(("unknown option " + key).c_str());
    }
    if (options.backstore.empty() || options.record.empty() || options.vendor.empty() ||
        options.product.empty() || options.revision.empty())
        Usage("--backstore, --vendor, --product, --revision and --record are needed");
    return options;
}

std::string FirstLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The UIO device of a backstore device: its name reads
// "tcm-user/HBA/NAME/CONFIG". It appears once the device is enabled.
std::string FindUio(const std::string &backstore) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (int n = 0; n < 64; ++n) {
            const std::string name = FirstLine("/sys/class/uio/uio" + std::to_string(n) + "/name");
            if (name.rfind("tcm-user/", 0) != 0) continue;
            const size_t first = name.find('/', 9);
            if (first == std::string::npos) continue;
            if (name.compare(first + 1, backstore.size() + 1, backstore + "/") == 0) return "uio" + std::to_string(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    errno = ENOENT;
    Fail("no UIO device for backstore " + backstore);
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string text;
    char part[3];
    for (uint8_t byte : bytes) {
        std::snprintf(part, sizeof part, "%02x", byte);
        text += part;
    }
    return text;
}

std::string Quoted(std::span<const uint8_t> bytes) {
    return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
}

class Record {
public:
    explicit Record(const std::string &path) {
        fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) Fail("cannot open the record " + path);
    }
    // One line, one write: the file is whole up to the last line even when
    // the handler dies.
    void Line(std::string line) {
        line += '\n';
        if (write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) Fail("cannot write the record");
    }

private:
    int fd_ = -1;
};

class VirtualDrive {
public:
    VirtualDrive(const Options &options, Record &record)
        : options_(options), record_(record), drive_(Identity(options), options.refusals, DriveOptions{true}) {
        Started();
    }

    // The machine restarted: the drive runs what it flashed last.
    void PowerCycle() {
        drive_.PowerCycle();
        Started();
    }

    void Slowed(bool slowed) { slowed_ = slowed && options_.slowMs != 0; }

    tcmu::Reply Answer(const tcmu::Command &command) {
        std::string line = "seq=" + std::to_string(++sequence_) + " cdb=" + Hex(command.cdb) +
                           " data=" + std::to_string(command.DataLength());
        const std::span<const uint8_t> cdb(command.cdb);
        DriveResponse response;
        std::vector<uint8_t> data = command.Data();
        if (Drive::IsDownload(cdb)) {
            // The ring holds the command meanwhile: the kernel, and so the
            // sender, waits for this answer as for a drive's.
            if (slowed_) std::this_thread::sleep_for(std::chrono::milliseconds(options_.slowMs));
            line += " fnv1a64=" + Fnv(data);
            if (options_.dieAt != 0 && drive_.DownloadCount() + 1 == options_.dieAt) {
                record_.Line(line + " download=" + std::to_string(options_.dieAt) + " dies");
                raise(SIGKILL);
            }
            const DownloadDecision decision = drive_.DecideDownload(cdb);
            response = drive_.FinishDownload(decision, data);
            line += " download=" + std::to_string(decision.number) + " phase=" + PhaseName(decision.phase);
            if (response.flashed)
                line += " new-revision=" + (response.newRevision ? Quoted(*response.newRevision) : std::string("none"));
        } else {
            response = drive_.Answer(cdb);
            const size_t sent = std::min(response.dataIn.size(), data.size());
            if (sent > 0) {
                line += " fnv1a64=" + Fnv(std::span<const uint8_t>(response.dataIn).first(sent)) +
                        " in=" + std::to_string(sent);
                if (cdb[0] == 0x12 && sent >= 36)
                    line += " revision=" + Quoted(std::span<const uint8_t>(response.dataIn).subspan(32, 4));
            } else {
                line += " fnv1a64=" + Fnv(data);
            }
        }

        tcmu::Reply reply;
        reply.status = static_cast<uint8_t>(response.status);
        char status[32];
        std::snprintf(status, sizeof status, " status=%02x", reply.status);
        line += status;
        if (response.status == ScsiStatus::CheckCondition) {
            const auto sense = FixedSense(response.sense);
            reply.sense.assign(sense.begin(), sense.end());
            std::snprintf(status, sizeof status, " sense=%02x/%02x/%02x", response.sense.key, response.sense.asc,
                          response.sense.ascq);
            line += status;
        } else {
            reply.dataIn = std::move(response.dataIn);
        }
        record_.Line(line);
        return reply;
    }

private:
    static DriveIdentity Identity(const Options &options) {
        DriveIdentity identity;
        identity.peripheral = 0x05;
        identity.vendor = Padded<8>(options.vendor, "--vendor");
        identity.product = Padded<16>(options.product, "--product");
        identity.revision = Padded<4>(options.revision, "--revision");
        return identity;
    }

    static std::string Fnv(std::span<const uint8_t> data) {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(Fnv1a64(data)));
        return text;
    }

    void Started() {
        const DriveIdentity &identity = drive_.Identity();
        record_.Line("start vendor=" + Quoted(identity.vendor) + " product=" + Quoted(identity.product) +
                     " revision=" + Quoted(identity.revision));
    }

    const Options &options_;
    Record &record_;
    Drive drive_;
    uint64_t sequence_ = 0;
    bool slowed_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    const Options options = Parse(argc, argv);
    Record record(options.record);

    const std::string uio = FindUio(options.backstore);
    const int fd = open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) Fail("cannot open /dev/" + uio);
    const size_t size = std::strtoull(FirstLine("/sys/class/uio/" + uio + "/maps/map0/size").c_str(), nullptr, 0);
    void *region = size ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (region == MAP_FAILED) Fail("cannot map /dev/" + uio);
    tcmu::Ring ring(static_cast<uint8_t *>(region), size);
    if (!ring.Valid()) {
        errno = EPROTO;
        Fail("/dev/" + uio + " holds no command ring of a known version");
    }

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGHUP, SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) Fail("signalfd");

    VirtualDrive drive(options, record);
    const auto serve = [&] {
        if (ring.Serve([&](const tcmu::Command &command) { return drive.Answer(command); }) > 0) {
            const uint32_t one = 1;
            if (write(fd, &one, sizeof one) != sizeof one) Fail("cannot tell the kernel");
        }
    };
    serve();
    if (!options.ready.empty()) std::ofstream(options.ready) << getpid() << "\n";

    for (;;) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (waits[1].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGHUP) drive.PowerCycle();
                else if (info.ssi_signo == SIGUSR1) drive.Slowed(true);
                else if (info.ssi_signo == SIGUSR2) drive.Slowed(false);
                else return 0;
            }
        }
        if (waits[0].revents & POLLIN) {
            uint32_t events;
            if (read(fd, &events, sizeof events) != sizeof events && errno != EINTR) Fail("cannot read /dev/" + uio);
            serve();
        }
    }
}
