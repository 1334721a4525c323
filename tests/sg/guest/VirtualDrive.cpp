// A CD/DVD drive served through the real kernel: the handler of one device of
// the kernel's SCSI target user backstore (target_core_user). Exported
// through the loopback fabric, the device is an ordinary SCSI host with an
// sr and an sg node on the same machine, and every command sent to it, by
// the kernel's scan or through SG_IO, ends up here, and is answered by the
// kernel test's served drive (ServedDrive.h), whose record it keeps.
//
//   quorvel-virtual-drive --backstore NAME --vendor TEXT --product TEXT --revision TEXT
//                         --record FILE [--refuse N,...|final] [--die-at N] [--slow MS] [--ready FILE]
//
// NAME is the backstore device's name in configfs (core/user_N/NAME), enabled
// before the handler starts; the LUN is linked once FILE of --ready exists.
// The other options are the served drive's (ServedDrive.h). The ring carries
// no CDB length: the record's cdb is the bytes the ring holds
// (tcmu::RingCdbLength).
// Signals: SIGHUP starts the drive again (a power cycle: the machine was
// restarted, the drive runs what it flashed last); SIGUSR1 slows it, SIGUSR2
// ends that; SIGTERM ends the handler.

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

#include "tests/sg/guest/ServedDrive.h"
#include "tests/sg/guest/TcmuRing.h"

namespace {

constexpr char kProgram[] = "quorvel-virtual-drive";

struct Options {
    std::string backstore;
    served::Options drive;
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

[[noreturn]] void Fail(const std::string &what) { served::Fail(kProgram, what); }

Options Parse(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        if (i + 1 >= argc) Usage((key + " needs a value").c_str());
        const std::string value = argv[i + 1];
        if (key == "--backstore") options.backstore = value;
        else if (!served::TakeOption(key, value, options.drive)) Usage(("cannot take " + key + " " + value).c_str());
    }
    if (options.backstore.empty() || !served::Complete(options.drive))
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

}  // namespace

int main(int argc, char **argv) {
    const Options options = Parse(argc, argv);
    served::Record record(options.drive.record);

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

    served::Drive drive(options.drive, record);
    const auto answer = [&](const tcmu::Command &command) {
        const std::vector<uint8_t> data = command.Data();
        served::Reply reply = drive.Answer(command.cdb, data);
        return tcmu::Reply{reply.status, std::move(reply.sense), std::move(reply.dataIn)};
    };
    const auto serve = [&] {
        if (ring.Serve(answer) > 0) {
            const uint32_t one = 1;
            if (write(fd, &one, sizeof one) != sizeof one) Fail("cannot tell the kernel");
        }
    };
    serve();
    if (!options.drive.ready.empty()) std::ofstream(options.drive.ready) << getpid() << "\n";

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
