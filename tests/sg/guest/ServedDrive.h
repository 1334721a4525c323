// A CD/DVD drive served to a real kernel by a program of the kernel test: the
// simulated machine's drive model (aspi/sim/DriveModel.h) with the answers a
// kernel's scan needs turned on, slowed on demand, and a record of every
// command it was given. One drive, whatever carries its commands: the kernel's
// SCSI target (quorvel-virtual-drive, VirtualDrive.cpp) or a USB device
// (quorvel-usb-drive, UsbDrive.cpp). Its INQUIRY, its download sessions, its
// refusals and the revision a flash takes are the simulated drives' own.
//
// The record file gets one line per command, appended with one write:
//   start vendor="QUORVEL " product="CDRW-4824A      " revision="1.00"
//   seq=12 cdb=ff00010000ff00000000 data=65536 fnv1a64=8f3c... download=2 phase=next status=00
//   seq=13 cdb=ff0001000000... download=4 phase=final new-revision="1.20" status=00
//   seq=14 cdb=120000002400 data=36 fnv1a64=... in=36 revision="1.20" status=00
//   seq=15 cdb=000000000000 data=0 fnv1a64=cbf29ce484222325 status=02 sense=02/3a/00
// cdb: the bytes the carrier gave; data: the length of the command's buffer;
// fnv1a64: FNV-1a 64 of the data the command carried (a download's data as
// received, an answer's data as sent, otherwise the buffer as it arrived);
// in: bytes answered; a download's number since the drive started, its
// phase, and for a flashed block the revision taken (or none); status and
// sense as sent back. A carrier may add lines of its own (Note).
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "aspi/sim/DriveModel.h"

namespace served {

struct Options {
    std::string record, ready;
    std::string vendor, product, revision;
    quorvel_sim::DriveRefusals refusals;
    uint32_t dieAt = 0;  // 0: never
    uint32_t slowMs = 0;
};

// The options every carrier takes:
//   --vendor TEXT --product TEXT --revision TEXT --record FILE
//   [--refuse N,...|final] [--die-at N] [--slow MS] [--ready FILE]
// --die-at N: the program kills itself when the N-th download command
// arrives, before answering it, as a crashing drive would.
// --slow MS: while the drive is slowed, each download command is answered MS
// milliseconds after it arrived with its data, as a drive writing its flash
// takes its time: long enough for a test to act between two blocks. The
// drive's other commands, and every command before it is slowed, are
// answered at once.
// Takes `key` and `value` when they are one of these; false otherwise.
bool TakeOption(const std::string &key, const std::string &value, Options &options);
// Whether the options every carrier needs are there.
bool Complete(const Options &options);

[[noreturn]] void Fail(const std::string &program, const std::string &what);

class Record {
public:
    explicit Record(const std::string &path);
    // One line, one write: the file is whole up to the last line even when
    // the program dies.
    void Line(std::string line);

private:
    int fd_ = -1;
};

// The drive's answer to one command.
struct Reply {
    uint8_t status = 0;           // SCSI status: 0x00 GOOD, 0x02 CHECK CONDITION
    std::vector<uint8_t> sense;   // fixed format, with CHECK CONDITION
    std::vector<uint8_t> dataIn;  // the bytes the drive returns, at most the buffer's length
};

class Drive {
public:
    Drive(const Options &options, Record &record);

    // The machine restarted, or the drive was connected again: it runs what
    // it flashed last.
    void PowerCycle();
    void Slowed(bool slowed) { slowed_ = slowed && options_.slowMs != 0; }

    // One command: `cdb` as the carrier gave it, `data` the command's buffer
    // (a download's data as received; for a command that reads, the buffer
    // it will be answered into, of its full length). `extra` is added to the
    // command's record line.
    Reply Answer(std::span<const uint8_t> cdb, std::span<const uint8_t> data, const std::string &extra = {});

    // A line of the carrier's own in the record, numbered as the commands
    // are; from any thread.
    void Note(const std::string &what);
    uint32_t DownloadCount() const { return drive_.DownloadCount(); }

private:
    void Started();

    const Options &options_;
    Record &record_;
    quorvel_sim::Drive drive_;
    // A carrier may note and slow the drive from a thread of its own.
    std::atomic<uint64_t> sequence_{0};
    std::atomic<bool> slowed_{false};
};

std::string Hex(std::span<const uint8_t> bytes);
std::string Fnv(std::span<const uint8_t> data);

}  // namespace served
