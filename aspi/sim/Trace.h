// The simulated machine's trace (format in aspi/sim/README.md): the trace
// file, the fields of its lines in their order, and the dump files that hold
// the data of download commands. Only the manager writes them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "aspi/sim/DataHash.h"
#include "aspi/sim/DriveModel.h"
#include "platform/wnaspi32.h"

namespace quorvel_sim {

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


// "START time=... pid=... adapters=N status=0xSS machine=\"PATH\"".
std::string StartLine(int adapters, uint8_t status, const std::string &machinePath);
// "HOLD time=... pid=... HaId=A Target=T Request=take|release|0xNN
// Answer=held|released|busy|cannot|mounted|in-use|held-shared": one
// HoldASPI32Device call.
std::string HoldLine(uint8_t adapter, uint8_t target, uint32_t request, uint32_t answer);
// "SRB seq=... CDB=..." and the fields found set at submission: the start of
// every request's line, taken before the drive touches the record.
std::string RecordFields(uint64_t sequence, const SRB_ExecSCSICmd &srb);

// The fields that follow, each with its leading blank, in the order a line
// carries them.
std::string NullBufferField();                 // " Error=null-buffer"
std::string GoneField();                       // " Error=gone": the device has gone away
std::string TimeoutField();                    // " Error=timeout": not answered in time
std::string InField(size_t copied);            // " In=N": bytes of data-in copied
std::string DownloadField(uint32_t number);    // " Download=N"
// " Phase=P Len=N FNV1a64=H", and " Changed=1" when the data changed
// between submission and completion.
std::string DataFields(DownloadPhase phase, size_t length, uint64_t hash, bool changed);
// " NewRevision=\"REV\"", or " NewRevision=none" for a flash that took none.
std::string NewRevisionField(const std::optional<std::array<uint8_t, 4>> &revision);
std::string SenseField(Sense sense);           // " Sense=KK/AA/QQ"
std::string StatusField(uint8_t status);       // " Status=0xSS"
std::string NoStatusField();                   // " Status=none": never completes

// Writes a download command's data to DIR/cmd-PID-SEQ.bin and answers its
// " Dump=\"PATH\"" field, or nothing when the file cannot be created.
std::string DumpData(const std::string &dir, uint64_t sequence, std::span<const uint8_t> data);

}  // namespace quorvel_sim
