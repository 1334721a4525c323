// The simulated machine's ASPI manager: GetASPI32SupportInfo and
// SendASPI32Command over virtual adapters and devices read from the machine
// file (aspi/sim/README.md). Only the two C entry points are exported.
//
// This file is the front end: it loads the machine, finds the device a
// request is for, carries the command to the device's drive model
// (DriveModel.h) and its answer back into the record, traces it,
// and completes download commands now, later from another thread, or never.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "aspi/sim/DriveModel.h"
#include "aspi/sim/Files.h"
#include "aspi/sim/Machine.h"
#include "aspi/sim/Words.h"
#include "platform/wnaspi32.h"

#define QUORVEL_SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace quorvel_sim {
namespace {

// The trace file, appended to with one write per line, so that lines from
// commands completing on other threads (or in other processes) stay whole.
class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile &) = delete;
    TraceFile &operator=(const TraceFile &) = delete;

    // Opens path for appending, creating it; says on stderr when it cannot,
    // and the machine then runs untraced.
    void Open(const std::string &path);
    // Appends the line and its line feed; nothing when no file is open.
    void Write(const std::string &line) const;

private:
    int fd_ = -1;
};

std::string Hex(const uint8_t *bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string HexByte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

bool AllZero(const uint8_t *bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

std::string QuoteText(const std::string &text) {
    return Quote(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

std::string Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  ts.tv_nsec / 1000000);
    return text;
}

TraceFile::~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
}

void TraceFile::Open(const std::string &path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
        std::fprintf(stderr, "quorvel-sim: cannot open trace %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

void TraceFile::Write(const std::string &line) const {
    if (fd_ >= 0) WriteAll(fd_, line + "\n");  // one write: O_APPEND keeps lines whole
}

uint64_t Fnv1a64(std::span<const uint8_t> data) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint8_t byte : data) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string StartLine(int adapters, uint8_t status, const std::string &machinePath) {
    return "START time=" + Now() + " pid=" + std::to_string(::getpid()) +
           " adapters=" + std::to_string(adapters) + " status=" + HexByte(status) +
           " machine=" + QuoteText(machinePath);
}

std::string RecordFields(uint64_t sequence, const SRB_ExecSCSICmd &srb) {
    std::string line = "SRB seq=" + std::to_string(sequence) + " time=" + Now() +
                       " pid=" + std::to_string(::getpid());
    line += " Cmd=" + HexByte(srb.SRB_Cmd) + " HaId=" + std::to_string(srb.SRB_HaId) +
            " Flags=" + HexByte(srb.SRB_Flags) + " Target=" + std::to_string(srb.SRB_Target) +
            " Lun=" + std::to_string(srb.SRB_Lun) + " BufLen=" + std::to_string(srb.SRB_BufLen) +
            " SenseLen=" + std::to_string(srb.SRB_SenseLen) +
            " CDBLen=" + std::to_string(srb.SRB_CDBLen);
    size_t cdbLength = std::min<size_t>(srb.SRB_CDBLen, sizeof srb.CDBByte);
    line += " CDB=" + Hex(srb.CDBByte, cdbLength);
    if (!AllZero(srb.CDBByte + cdbLength, sizeof srb.CDBByte - cdbLength))
        line += " CDBRest=" + Hex(srb.CDBByte + cdbLength, sizeof srb.CDBByte - cdbLength);
    if (srb.SRB_Status) line += " StatusIn=" + HexByte(srb.SRB_Status);
    char number[32];
    if (srb.SRB_Hdr_Rsvd) {
        std::snprintf(number, sizeof number, "0x%08x", static_cast<unsigned>(srb.SRB_Hdr_Rsvd));
        line += std::string(" Hdr_Rsvd=") + number;
    }
    if (srb.SRB_Rsvd1) {
        std::snprintf(number, sizeof number, "0x%04x", static_cast<unsigned>(srb.SRB_Rsvd1));
        line += std::string(" Rsvd1=") + number;
    }
    if (!AllZero(srb.SRB_Rsvd2, sizeof srb.SRB_Rsvd2))
        line += " Rsvd2=" + Hex(srb.SRB_Rsvd2, sizeof srb.SRB_Rsvd2);
    if (srb.SRB_PostProc) {
        std::snprintf(number, sizeof number, "%p", srb.SRB_PostProc);
        line += std::string(" PostProc=") + number;
    }
    if (srb.SRB_HaStat) line += " HaStatIn=" + HexByte(srb.SRB_HaStat);
    if (srb.SRB_TargStat) line += " TargStatIn=" + HexByte(srb.SRB_TargStat);
    if (!AllZero(srb.SenseArea, sizeof srb.SenseArea))
        line += " SenseIn=" + Hex(srb.SenseArea, sizeof srb.SenseArea);
    return line;
}

std::string NullBufferField() { return " Error=null-buffer"; }

std::string InField(size_t copied) { return " In=" + std::to_string(copied); }

std::string DownloadField(uint32_t number) { return " Download=" + std::to_string(number); }

std::string DataFields(DownloadPhase phase, size_t length, uint64_t hash, bool changed) {
    char hashText[24];
    std::snprintf(hashText, sizeof hashText, "%016llx", static_cast<unsigned long long>(hash));
    std::string fields = std::string(" Phase=") + PhaseName(phase) +
                         " Len=" + std::to_string(length) + " FNV1a64=" + hashText;
    if (changed) fields += " Changed=1";
    return fields;
}

std::string NewRevisionField(const std::optional<std::array<uint8_t, 4>> &revision) {
    if (!revision) return " NewRevision=none";
    return " NewRevision=" + Quote(revision->data(), revision->size());
}

std::string SenseField(Sense sense) {
    char text[32];
    std::snprintf(text, sizeof text, " Sense=%02x/%02x/%02x", sense.key, sense.asc, sense.ascq);
    return text;
}

std::string StatusField(uint8_t status) { return " Status=" + HexByte(status); }

std::string NoStatusField() { return " Status=none"; }

std::string DumpData(const std::string &dir, uint64_t sequence, std::span<const uint8_t> data) {
    char name[64];
    std::snprintf(name, sizeof name, "/cmd-%ld-%06llu.bin", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(sequence));
    std::string path = dir + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "";
    WriteAll(fd, data.data(), data.size());
    ::close(fd);
    return " Dump=" + QuoteText(path);
}

Drive MakeDrive(const DeviceConfig &config, const std::array<uint8_t, 4> &revision) {
    DriveIdentity identity;
    identity.peripheral = config.type;
    identity.vendor = config.vendor;
    identity.product = config.product;
    identity.revision = revision;
    return Drive(identity, DriveRefusals{config.refuseCommands, config.refuseFinal});
}

struct Device {
    Device(const DeviceConfig &deviceConfig, const std::array<uint8_t, 4> &revision)
        : config(deviceConfig), drive(MakeDrive(deviceConfig, revision)) {}

    const DeviceConfig config;  // its address, and how long its commands take
    std::mutex mutex;           // the model is free of threads: one command at a time reaches it
    Drive drive;
};

// One start of the machine: what the machine file said, and the devices'
// drives with their download sessions. Commands completing later keep their
// start alive.
struct Machine {
    bool valid = false;
    std::string path;
    MachineConfig config;
    std::vector<std::unique_ptr<Device>> devices;
    TraceFile trace;

    Device *Find(int adapter, int target) {
        for (auto &device : devices)
            if (device->config.adapter == adapter && device->config.target == target)
                return device.get();
        return nullptr;
    }
};

// The library's globals. They are never destroyed: a command completing
// from a detached thread may still use them while the process exits.
struct Globals {
    std::mutex machineMutex;  // guards machine and sequence
    std::shared_ptr<Machine> machine;
    uint64_t sequence = 0;
    std::mutex stateMutex;  // one state file update at a time
};
Globals &G() {
    static Globals *globals = new Globals;
    return *globals;
}

std::shared_ptr<Machine> LoadMachine() {
    auto machine = std::make_shared<Machine>();
    const char *path = std::getenv("QUORVEL_SIM_MACHINE");
    if (!path || !*path) return machine;
    machine->path = path;
    auto text = ReadWholeFile(path);
    if (!text) return machine;  // no machine here: no adapters, silently
    std::string baseDir = DirectoryOf(path);
    auto parsed = ParseMachine(*text, baseDir);
    if (!parsed.value) {
        std::fprintf(stderr, "quorvel-sim: %s:%s\n", path, parsed.error.c_str());
        return machine;
    }
    machine->config = std::move(*parsed.value);
    auto override = [&](const char *name, std::string &target) {
        const char *value = std::getenv(name);
        if (value && *value) target = ResolvePath(value, baseDir);
    };
    override("QUORVEL_SIM_TRACE", machine->config.tracePath);
    override("QUORVEL_SIM_STATE", machine->config.statePath);
    override("QUORVEL_SIM_DUMP", machine->config.dumpDir);

    Revisions revisions;
    if (!machine->config.statePath.empty()) {
        if (auto stateText = ReadWholeFile(machine->config.statePath)) {
            auto state = ParseState(*stateText);
            if (!state.value) {
                std::fprintf(stderr, "quorvel-sim: %s:%s\n", machine->config.statePath.c_str(),
                             state.error.c_str());
                return machine;
            }
            revisions = std::move(*state.value);
        }
    }
    // A start is a power cycle of every drive: each runs the firmware its
    // last flash took, as the state file remembers it.
    for (const DeviceConfig &config : machine->config.devices) {
        auto taken = revisions.find({config.adapter, config.target});
        machine->devices.push_back(std::make_unique<Device>(
            config, taken != revisions.end() ? taken->second : config.revision));
    }
    if (!machine->config.tracePath.empty()) machine->trace.Open(machine->config.tracePath);
    if (!machine->config.dumpDir.empty()) MakeDirectories(machine->config.dumpDir);
    machine->valid = true;
    return machine;
}

std::shared_ptr<Machine> CurrentMachine(uint64_t &sequence) {
    std::lock_guard lock(G().machineMutex);
    if (!G().machine) G().machine = LoadMachine();
    sequence = ++G().sequence;
    return G().machine;
}

// Stores a revision a drive took, merging with what the file holds now.
void StoreRevision(Machine &machine, const Device &device, const std::array<uint8_t, 4> &revision) {
    const std::string &path = machine.config.statePath;
    if (path.empty()) return;
    std::lock_guard lock(G().stateMutex);
    Revisions revisions;
    if (auto text = ReadWholeFile(path)) {
        auto state = ParseState(*text);
        if (state.value) revisions = std::move(*state.value);
    }
    revisions[{device.config.adapter, device.config.target}] = revision;
    if (!WriteFileAtomically(path, FormatState(revisions)))
        std::fprintf(stderr, "quorvel-sim: cannot write state %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

// The data the record carries: exactly SRB_BufLen bytes at SRB_BufPointer.
std::span<const uint8_t> Data(const SRB_ExecSCSICmd &srb) {
    return {srb.SRB_BufPointer, srb.SRB_BufLen};
}

// Ends a request: the trace line first, then the status, last of all.
uint32_t Complete(Machine &machine, SRB_ExecSCSICmd *srb, const std::string &line, uint8_t status) {
    machine.trace.Write(line + StatusField(status));
    SrbStatusStore(srb, status);
    return status;
}

// Ends a request with CHECK CONDITION and up to SRB_SenseLen bytes of sense.
uint32_t Refuse(Machine &machine, SRB_ExecSCSICmd *srb, const std::string &line, Sense sense) {
    auto fixed = FixedSense(sense);
    size_t length = std::min<size_t>({srb->SRB_SenseLen, sizeof srb->SenseArea, fixed.size()});
    std::memcpy(srb->SenseArea, fixed.data(), length);
    srb->SRB_TargStat = static_cast<uint8_t>(ScsiStatus::CheckCondition);
    return Complete(machine, srb, line + SenseField(sense), SS_ERR);
}

// A command the drive answers at once; its data-in goes to the buffer, no
// more than SRB_BufLen bytes of it.
uint32_t Answer(Machine &machine, Device &device, SRB_ExecSCSICmd *srb, const std::string &line,
                std::span<const uint8_t> cdb) {
    DriveResponse response;
    {
        std::lock_guard lock(device.mutex);
        response = device.drive.Answer(cdb);
    }
    if (response.status != ScsiStatus::Good) return Refuse(machine, srb, line, response.sense);
    size_t length = std::min<size_t>(response.dataIn.size(), srb->SRB_BufLen);
    if (length) std::memcpy(srb->SRB_BufPointer, response.dataIn.data(), length);
    return Complete(machine, srb, line + InField(length), SS_COMP);
}

// A download command completing: the drive looks at the data as it is now;
// a revision it took goes to the state file before the status is given.
uint32_t CompleteDownload(Machine &machine, Device &device, SRB_ExecSCSICmd *srb,
                          uint64_t sequence, std::string line, const DownloadDecision &decision,
                          uint64_t hashAtSubmission) {
    std::span<const uint8_t> data = Data(*srb);
    uint64_t hash = Fnv1a64(data);
    line += DataFields(decision.phase, data.size(), hash, hash != hashAtSubmission);
    DriveResponse response;
    {
        std::lock_guard lock(device.mutex);
        response = device.drive.FinishDownload(decision, data);
    }
    if (response.flashed) {
        if (response.newRevision) StoreRevision(machine, device, *response.newRevision);
        line += NewRevisionField(response.newRevision);
    }
    if (!machine.config.dumpDir.empty()) line += DumpData(machine.config.dumpDir, sequence, data);
    if (response.status != ScsiStatus::Good) return Refuse(machine, srb, line, response.sense);
    return Complete(machine, srb, line, SS_COMP);
}

uint32_t Download(const std::shared_ptr<Machine> &machine, Device &device, SRB_ExecSCSICmd *srb,
                  uint64_t sequence, std::string line) {
    const DeviceConfig &config = device.config;
    DownloadDecision decision;
    {
        std::lock_guard lock(device.mutex);
        decision = config.completion == Completion::Never ? device.drive.HoldDownload()
                                                          : device.drive.DecideDownload(srb->CDBByte);
    }
    line += DownloadField(decision.number);
    uint64_t hashAtSubmission = Fnv1a64(Data(*srb));
    int delayMs = decision.Final() && config.finalDelayMs >= 0 ? config.finalDelayMs : config.delayMs;
    switch (config.completion) {
        case Completion::Never:
            machine->trace.Write(line + DataFields(decision.phase, srb->SRB_BufLen, hashAtSubmission,
                                                   false) +
                                 NoStatusField());
            return SS_PENDING;  // the record is never touched again
        case Completion::Now:
            if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            return CompleteDownload(*machine, device, srb, sequence, std::move(line), decision,
                                    hashAtSubmission);
        case Completion::Later:
            std::thread([machine, &device, srb, sequence, line = std::move(line), decision,
                         hashAtSubmission, delayMs]() mutable {
                if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                CompleteDownload(*machine, device, srb, sequence, std::move(line), decision,
                                 hashAtSubmission);
            }).detach();
            return SS_PENDING;
    }
    return SS_PENDING;
}

uint32_t Send(SRB_ExecSCSICmd *srb) {
    uint64_t sequence = 0;
    std::shared_ptr<Machine> machine = CurrentMachine(sequence);
    if (!machine->valid) {
        SrbStatusStore(srb, SS_NO_ADAPTERS);
        return SS_NO_ADAPTERS;
    }
    std::string line = RecordFields(sequence, *srb);
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) return Complete(*machine, srb, line, SS_INVALID_CMD);
    if (srb->SRB_HaId >= machine->config.adapters)
        return Complete(*machine, srb, line, SS_INVALID_HA);
    Device *device = machine->Find(srb->SRB_HaId, srb->SRB_Target);
    if (!device || srb->SRB_Lun != 0) return Complete(*machine, srb, line, SS_NO_DEVICE);
    if (srb->SRB_BufLen > 0 && srb->SRB_BufPointer == nullptr) {
        srb->SRB_HaStat = 0x11;
        return Complete(*machine, srb, line + NullBufferField(), SS_ERR);
    }
    // The download is recognised in the record's whole CDB area, whatever
    // SRB_CDBLen says, as this drive always has; every other command is the
    // SRB_CDBLen bytes the caller gave.
    std::span<const uint8_t> area(srb->CDBByte);
    if (Drive::IsDownload(area)) return Download(machine, *device, srb, sequence, std::move(line));
    return Answer(*machine, *device, srb, line,
                  area.first(std::min<size_t>(srb->SRB_CDBLen, area.size())));
}

}  // namespace
}  // namespace quorvel_sim

QUORVEL_SIM_EXPORT uint32_t GetASPI32SupportInfo(void) {
    using namespace quorvel_sim;
    std::shared_ptr<Machine> machine = LoadMachine();
    {
        std::lock_guard lock(G().machineMutex);
        G().machine = machine;
    }
    if (!machine->valid) return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
    uint32_t answer = (static_cast<uint32_t>(SS_COMP) << 8) |
                      static_cast<uint32_t>(machine->config.adapters);
    machine->trace.Write(StartLine(machine->config.adapters, SS_COMP, machine->path));
    return answer;
}

QUORVEL_SIM_EXPORT uint32_t SendASPI32Command(void *request) {
    if (!request) return SS_INVALID_CMD;
    return quorvel_sim::Send(static_cast<SRB_ExecSCSICmd *>(request));
}
