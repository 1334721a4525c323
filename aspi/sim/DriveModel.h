// A CD/DVD drive of this system as a pure model: what it answers to a command
// and what it takes from a firmware download. Free of the ASPI record, of
// files, of time and of threads: a front end carries the commands to it and
// the answers back (the simulated machine's manager does; so can a handler
// of the kernel's SCSI target user backstore), keeps its state where it
// likes, and lets one command at a time reach it.
//
// A command reaches the drive in one of two ways:
//   - the vendor download command (IsDownload) in two steps: DecideDownload
//     when it arrives (its number, its phase, whether it is refused) and
//     FinishDownload when it completes, looking at the data as it is then;
//   - every other command through Answer, answered at once.
//
// The commands a kernel's CD/DVD driver sends when it finds a drive (TEST
// UNIT READY, REQUEST SENSE, READ CAPACITY, ...) are answered in Answer: by
// default with ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE like every
// other command, as the simulated machine's drives have always answered them;
// with DriveOptions::answersHostScan as a drive without a disc answers them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace quorvel_sim {

// SCSI status of a command.
enum class ScsiStatus : uint8_t { Good = 0x00, CheckCondition = 0x02 };

struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
    bool operator==(const Sense &) const = default;
};
inline constexpr Sense kIllegalOpcode{0x05, 0x20, 0x00};  // INVALID COMMAND OPERATION CODE
inline constexpr Sense kInvalidField{0x05, 0x24, 0x00};   // INVALID FIELD IN CDB
inline constexpr Sense kSequenceError{0x05, 0x2C, 0x00};  // COMMAND SEQUENCE ERROR
inline constexpr Sense kWriteError{0x03, 0x0C, 0x00};     // MEDIUM ERROR, WRITE ERROR
inline constexpr Sense kMediumNotPresent{0x02, 0x3A, 0x00};  // NOT READY, MEDIUM NOT PRESENT

// Fixed-format sense data (response code 0x70, additional length 10) for a
// sense key, ASC and ASCQ.
std::array<uint8_t, 18> FixedSense(Sense sense);

// How the drive took a download command. None: not classified (a command
// that is never answered).
enum class DownloadPhase { None, First, Next, Final, Only, Stray };
// "none", "first", "next", "final", "only", "stray".
const char *PhaseName(DownloadPhase phase);

// What INQUIRY reports: the peripheral byte (qualifier and device type), and
// bytes 8..35, blank-padded as the drive holds them.
struct DriveIdentity {
    uint8_t peripheral = 0x05;
    std::array<uint8_t, 8> vendor{};
    std::array<uint8_t, 16> product{};
    std::array<uint8_t, 4> revision{};  // the firmware running now

    // Vendor and product: the 24 bytes the drive knows itself by, and looks
    // for in a final block.
    std::array<uint8_t, 24> Model() const;
};

// The download commands a drive does not take: those it refuses, those it
// does not answer in time, and the one at which it goes away. Command
// numbers are 1-based and count every download command, refused ones too.
struct DriveRefusals {
    std::set<uint32_t> commands;  // refused with `sense`
    bool final = false;           // the block the drive recognises as final (final or only) refused too
    Sense sense = kWriteError;    // what a refusal says (a stray block says a sequence error whatever this is)
    std::set<uint32_t> timeouts;  // not answered before the host gives up on them
    bool timeoutFinal = false;    // the final block not answered in time
    uint32_t goneAt = 0;          // the drive goes away at this command, and answers nothing after it;
                                  // 0: never
};

// How the drive answers what is neither INQUIRY nor the download.
struct DriveOptions {
    // Answer the commands a host's CD/DVD driver sends when it finds the
    // drive, as a drive with an empty tray does: TEST UNIT READY, READ
    // CAPACITY and READ TOC/PMA/ATIP with NOT READY, MEDIUM NOT PRESENT;
    // REQUEST SENSE with that sense as its data; PREVENT ALLOW MEDIUM REMOVAL
    // and START STOP UNIT with GOOD. Off, they get ILLEGAL REQUEST like any
    // other command: the simulated machine leaves it off, a drive served
    // through a kernel's SCSI target turns it on.
    bool answersHostScan = false;
};

// What the drive decided when a download command arrived.
struct DownloadDecision {
    uint32_t number = 0;  // this command's number since the drive started
    DownloadPhase phase = DownloadPhase::None;
    bool refused = false;
    Sense sense;            // when refused
    bool timedOut = false;  // the drive gives no answer in time: the host gives up on it
    bool gone = false;      // the drive has gone away: the command never reached it

    // A final or only block: the one that ends a download.
    bool Final() const { return phase == DownloadPhase::Final || phase == DownloadPhase::Only; }
};

// The drive's answer to one command.
struct DriveResponse {
    ScsiStatus status = ScsiStatus::Good;
    Sense sense;                       // with CheckCondition
    std::vector<uint8_t> dataIn;       // the bytes the drive returns, at most the allocation length
    DownloadPhase phase = DownloadPhase::None;  // for a download command
    bool flashed = false;              // an accepted final block: the drive wrote its flash
    std::optional<std::array<uint8_t, 4>> newRevision;  // when flashed with its own model in the block
};

class Drive {
public:
    Drive(const DriveIdentity &identity, const DriveRefusals &refusals, const DriveOptions &options = {});

    // Whether a CDB is the vendor download command: operation code 0xFF,
    // byte 2 = 0x01. The CDB is every byte the front end holds (its length
    // may be unknown); bytes 0, 2 and 5 are all the download reads, so it
    // takes at least 6.
    static bool IsDownload(std::span<const uint8_t> cdb);

    // Any command but the download, answered at once: INQUIRY (a CDB of at
    // least 6 bytes; EVPD or a page code refused with an invalid field), the
    // host's scan commands when the options say so, and ILLEGAL REQUEST,
    // INVALID COMMAND OPERATION CODE for everything else.
    DriveResponse Answer(std::span<const uint8_t> cdb) const;

    // A download command arriving. Byte 5 marks the block: outside a session
    // 0x00 begins one (first), 0xFF is out of sequence (stray, refused),
    // anything else is a whole download in one block (only); inside a
    // session 0xFF is a further block (next), anything else ends it (final).
    // A refused command ends the session, and so does one not answered in
    // time (the host resets the drive after it). A drive gone away decides
    // nothing more: every command is gone, until the next PowerCycle.
    // In this order: gone, stray, not in time, refused.
    // The CDB is one that IsDownload accepts.
    DownloadDecision DecideDownload(std::span<const uint8_t> cdb);
    // A download command that will never be answered (a drive that hangs):
    // counted, but neither classified nor refused; the session is as it was.
    DownloadDecision HoldDownload();
    // The download command completing with the data it carries, as it is
    // now. An accepted final block is flashed: the 4 bytes after the first
    // occurrence of the drive's model are its new revision, running from the
    // next PowerCycle; a block without the model leaves the revision. Not
    // for a command gone or not answered in time: no answer comes back.
    DriveResponse FinishDownload(const DownloadDecision &decision, std::span<const uint8_t> dataOut);

    // The drive starts again (connected again, when it had gone away): it
    // runs the firmware flashed last, and forgets its session and its
    // download count.
    void PowerCycle();

    const DriveIdentity &Identity() const { return identity_; }
    // The revision taken by a flash since the drive started, if any: it
    // runs from the next PowerCycle.
    const std::optional<std::array<uint8_t, 4>> &Flashed() const { return flashed_; }
    uint32_t DownloadCount() const { return downloads_; }
    bool InSession() const { return inSession_; }
    // Gone away (DriveRefusals::goneAt reached): no command reaches it.
    bool Gone() const { return gone_; }

private:
    DriveResponse Inquiry(std::span<const uint8_t> cdb) const;
    std::optional<DriveResponse> ScanAnswer(std::span<const uint8_t> cdb) const;

    DriveIdentity identity_;
    DriveRefusals refusals_;
    DriveOptions options_;
    std::optional<std::array<uint8_t, 4>> flashed_;
    uint32_t downloads_ = 0;
    bool inSession_ = false;
    bool gone_ = false;
};

}  // namespace quorvel_sim
