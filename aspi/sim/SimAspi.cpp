// The simulated machine's ASPI manager: GetASPI32SupportInfo and
// SendASPI32Command over virtual adapters and devices read from the machine
// file (aspi/sim/README.md), HoldASPI32Device, which holds a device for the
// caller (Hold.h), with HoldASPI32DeviceDetail, and GetASPI32DeviceTransport.
// Only these C entry points are exported.
//
// This file is the front end: it loads the machine, finds the device a
// request is for, carries the command to the device's drive model
// (DriveModel.h) and its answer back into the record, traces it (Trace.h),
// and completes download commands now, later from another thread, or never.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "aspi/sim/DriveModel.h"
#include "aspi/sim/Files.h"
#include "aspi/sim/Hold.h"
#include "aspi/sim/Machine.h"
#include "aspi/sim/StateFile.h"
#include "aspi/sim/Trace.h"
#include "platform/wnaspi32.h"

#define QUORVEL_SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace quorvel_sim {
namespace {

// ASPI's host adapter status for a command that timed out.
constexpr uint8_t kHaStatCommandTimeout = 0x0B;

Drive MakeDrive(const DeviceConfig &config, const std::array<uint8_t, 4> &revision) {
    DriveIdentity identity;
    identity.peripheral = config.type;
    identity.vendor = config.vendor;
    identity.product = config.product;
    identity.revision = revision;
    DriveRefusals refusals;
    refusals.commands = config.refuseCommands;
    refusals.final = config.refuseFinal;
    refusals.sense = Sense{config.senseKey, config.asc, config.ascq};
    refusals.timeouts = config.timeoutCommands;
    refusals.timeoutFinal = config.timeoutFinal;
    refusals.goneAt = config.goneAt;
    return Drive(identity, refusals);
}

struct Device {
    Device(const DeviceConfig &deviceConfig, const std::array<uint8_t, 4> &revision)
        : config(deviceConfig), drive(MakeDrive(deviceConfig, revision)) {}

    const DeviceConfig config;  // its address, and how long its commands take
    std::mutex mutex;           // the model is free of threads: one command at a time reaches it
    Drive drive;
    DeviceHold hold;  // a new start lets go of the holds of the one before, as a power cycle would
};

// One start of the machine: what the machine file said, and the devices'
// drives with their download sessions. Commands completing later keep their
// start alive.
struct Machine {
    bool valid = false;
    std::string path;
    std::string realPath;  // the machine file's, whatever way it was named: its devices' lock files go beside it
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
    std::mutex stateMutex;  // one state file update at a time; its temporary file is named by pid only
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
    if (char *real = ::realpath(path, nullptr)) {
        machine->realPath = real;
        std::free(real);
    }
    auto override = [&](const char *name, std::string &target) {
        const char *value = std::getenv(name);
        if (value && *value) target = ResolvePath(value, baseDir);
    };
    override("QUORVEL_SIM_TRACE", machine->config.tracePath);
    override("QUORVEL_SIM_STATE", machine->config.statePath);
    override("QUORVEL_SIM_DUMP", machine->config.dumpDir);

    Revisions revisions;
    if (!machine->config.statePath.empty()) {
        auto state = ReadStateFile(machine->config.statePath);
        if (!state.value) {
            std::fprintf(stderr, "quorvel-sim: %s:%s\n", machine->config.statePath.c_str(), state.error.c_str());
            return machine;
        }
        revisions = Running(*state.value, KernelBootId());
    }
    // A start finds every drive as the machine's last restart left it: each
    // runs the firmware it took then, as the state file remembers it; what a
    // drive accepted since waits for the next restart.
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

// A hold is no request: it takes no sequence number.
std::shared_ptr<Machine> CurrentMachine() {
    std::lock_guard lock(G().machineMutex);
    if (!G().machine) G().machine = LoadMachine();
    return G().machine;
}

uint32_t Hold(uint8_t adapter, uint8_t target, uint32_t request) {
    std::shared_ptr<Machine> machine = CurrentMachine();
    Device *device = machine->valid ? machine->Find(adapter, target) : nullptr;
    uint32_t answer = HOLD_CANNOT;
    std::string why;
    if (device != nullptr && request == HOLD_TAKE) {
        // As the SG_IO manager decides it: another holder first, then the
        // disc mounted or another program's exclusive open, which take
        // nothing; a hold without write access is still a hold.
        if (machine->realPath.empty()) why = "cannot find the machine file " + machine->path;
        else answer = device->hold.Take(HoldLockPath(machine->realPath, adapter, target), &why);
        if (answer == HOLD_HELD && (device->config.mounted || device->config.holdFinds == HoldFinds::InUse)) {
            device->hold.Release();
            answer = device->config.mounted ? HOLD_MOUNTED : HOLD_IN_USE;
        } else if (answer == HOLD_HELD && device->config.holdFinds == HoldFinds::Shared) {
            answer = HOLD_HELD_SHARED;
        }
    } else if (device != nullptr && request == HOLD_RELEASE) {
        answer = device->hold.Release();
    }
    if (!why.empty()) std::fprintf(stderr, "quorvel-sim: %s\n", why.c_str());
    machine->trace.Write(HoldLine(adapter, target, request, answer));
    return answer;
}

// The text that goes with the last take's answer: a mounted disc's mount point.
uint32_t HoldDetail(uint8_t adapter, uint8_t target, char *text, uint32_t size) {
    std::shared_ptr<Machine> machine = CurrentMachine();
    Device *device = machine->valid ? machine->Find(adapter, target) : nullptr;
    const std::string detail = device != nullptr && device->config.mounted ? *device->config.mounted : "";
    if (text != nullptr && size > 0) {
        const size_t copied = std::min<size_t>(detail.size(), size - 1);
        std::memcpy(text, detail.data(), copied);
        text[copied] = '\0';
    }
    return static_cast<uint32_t>(detail.size());
}

uint32_t Transport(uint8_t adapter, uint8_t target) {
    std::shared_ptr<Machine> machine = CurrentMachine();
    Device *device = machine->valid ? machine->Find(adapter, target) : nullptr;
    return device != nullptr ? device->config.transport : TRANSPORT_UNKNOWN;
}

// Keeps a revision a drive accepted, for the machine's next restart.
void StoreRevision(Machine &machine, const Device &device, const std::array<uint8_t, 4> &revision) {
    const std::string &path = machine.config.statePath;
    if (path.empty()) return;
    std::lock_guard lock(G().stateMutex);
    const Address drive{device.config.adapter, device.config.target};
    const std::string boot = KernelBootId();
    if (!UpdateStateFile(path, [&](MachineState state) { return Accepted(std::move(state), drive, revision, boot); }))
        std::fprintf(stderr, "quorvel-sim: cannot write state %s: %s\n", path.c_str(), std::strerror(errno));
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
    if (decision.timedOut) {
        // As the SG_IO manager reports a command the kernel gave up on
        // (host status DID_TIME_OUT): the adapter's time-out, no SCSI status,
        // no sense.
        srb->SRB_HaStat = kHaStatCommandTimeout;
        return Complete(machine, srb, line + TimeoutField(), SS_ERR);
    }
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
    // Gone away: at once, as the kernel answers for a device it no longer has.
    if (decision.gone) return Complete(*machine, srb, line + GoneField(), SS_NO_DEVICE);
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
    bool gone;
    {
        std::lock_guard lock(device->mutex);
        gone = device->drive.Gone();
    }
    if (gone) return Complete(*machine, srb, line + GoneField(), SS_NO_DEVICE);
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

QUORVEL_SIM_EXPORT uint32_t HoldASPI32Device(uint8_t adapter, uint8_t target, uint32_t request) {
    return quorvel_sim::Hold(adapter, target, request);
}

QUORVEL_SIM_EXPORT uint32_t HoldASPI32DeviceDetail(uint8_t adapter, uint8_t target, char *text, uint32_t size) {
    return quorvel_sim::HoldDetail(adapter, target, text, size);
}

QUORVEL_SIM_EXPORT uint32_t GetASPI32DeviceTransport(uint8_t adapter, uint8_t target) {
    return quorvel_sim::Transport(adapter, target);
}
