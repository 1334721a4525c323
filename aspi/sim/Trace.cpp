#include "aspi/sim/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "aspi/sim/Files.h"
#include "aspi/sim/Words.h"

namespace quorvel_sim {
namespace {

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

}  // namespace

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

// The process that started this one, as it was when the machine started: a
// flash's own process names the front end that started it, and keeps naming
// it once that front end is gone.
std::string ProcessFields() {
    static const pid_t parent = ::getppid();
    return " pid=" + std::to_string(::getpid()) + " parent=" + std::to_string(parent);
}

std::string StartLine(int adapters, uint8_t status, const std::string &machinePath) {
    return "START time=" + Now() + ProcessFields() +
           " adapters=" + std::to_string(adapters) + " status=" + HexByte(status) +
           " machine=" + QuoteText(machinePath);
}

std::string HoldLine(uint8_t adapter, uint8_t target, uint32_t request, uint32_t answer) {
    const char *requestName = request == HOLD_TAKE ? "take" : request == HOLD_RELEASE ? "release" : nullptr;
    const char *answerName = answer == HOLD_HELD          ? "held"
                             : answer == HOLD_RELEASED    ? "released"
                             : answer == HOLD_BUSY        ? "busy"
                             : answer == HOLD_MOUNTED     ? "mounted"
                             : answer == HOLD_IN_USE      ? "in-use"
                             : answer == HOLD_HELD_SHARED ? "held-shared"
                                                          : "cannot";
    char requestText[16];
    std::snprintf(requestText, sizeof requestText, "0x%02x", static_cast<unsigned>(request & 0xFF));
    return "HOLD time=" + Now() + ProcessFields() + " HaId=" + std::to_string(adapter) +
           " Target=" + std::to_string(target) + " Request=" + (requestName ? requestName : requestText) +
           " Answer=" + answerName;
}

std::string RecordFields(uint64_t sequence, const SRB_ExecSCSICmd &srb) {
    std::string line = "SRB seq=" + std::to_string(sequence) + " time=" + Now() + ProcessFields();
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
std::string GoneField() { return " Error=gone"; }
std::string TimeoutField() { return " Error=timeout"; }

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

}  // namespace quorvel_sim
