#include "drive/FailureCause.h"

#include <scsi/sg_lib.h>

#include <algorithm>
#include <cctype>

#include "platform/wnaspi32.h"

namespace {
constexpr uint8_t kCheckCondition = 0x02;
// ASPI's host adapter statuses.
constexpr uint8_t kHaStatTimeout = 0x09;         // timed out while waiting to be processed
constexpr uint8_t kHaStatCommandTimeout = 0x0B;  // timed out while being processed
constexpr uint8_t kHaStatBusReset = 0x0E;
constexpr uint8_t kHaStatParityError = 0x0F;
constexpr uint8_t kHaStatSelectionTimeout = 0x11;
constexpr uint8_t kHaStatDataOverrun = 0x12;
constexpr uint8_t kHaStatBusFree = 0x13;
constexpr uint8_t kHaStatPhaseError = 0x14;

constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kInvalidOperationCode = 0x20;
constexpr uint8_t kInvalidFieldInCdb = 0x24;

std::string Hex(unsigned value, int digits, const char *alphabet = "0123456789ABCDEF") {
    std::string text;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += alphabet[(value >> shift) & 0x0F];
    return text;
}

// The library's words as a line may show them: printable ASCII alone.
std::string Printable(const char *text) {
    std::string words;
    for (const char *c = text; *c != '\0' && words.size() < 200; ++c)
        words += (static_cast<unsigned char>(*c) >= 0x20 && static_cast<unsigned char>(*c) < 0x7F) ? *c : '?';
    return words;
}

// "Illegal Request" -> "ILLEGAL REQUEST": a sense key is said in capitals.
std::string KeyWords(uint8_t key) {
    char text[80] = {};
    std::string words = Printable(sg_get_sense_key_str(key, sizeof text, text));
    for (char &c : words) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return words;
}

// "Additional sense: Invalid command operation code" -> "invalid command
// operation code": the library's words inside a sentence of ours, an
// abbreviation left as it is.
std::string AscWords(uint8_t asc, uint8_t ascq) {
    char text[160] = {};
    std::string words = Printable(sg_get_asc_ascq_str(asc, ascq, sizeof text, text));
    constexpr std::string_view kLead = "Additional sense: ";
    if (words.compare(0, kLead.size(), kLead) == 0) words.erase(0, kLead.size());
    if (words.size() > 1 && std::isupper(static_cast<unsigned char>(words[0])) &&
        !std::isupper(static_cast<unsigned char>(words[1])))
        words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

const char *AdapterWords(uint8_t haStat) {
    switch (haStat) {
    case kHaStatBusReset: return "bus reset";
    case kHaStatParityError: return "parity error";
    case kHaStatSelectionTimeout: return "selection time-out";
    case kHaStatDataOverrun: return "data overrun or underrun";
    case kHaStatBusFree: return "unexpected bus free";
    case kHaStatPhaseError: return "bus phase error";
    default: return nullptr;
    }
}

// The sense's response code, if it is one of the two formats, and whether
// the bytes hold the key and ASC/ASCQ: fixed format at bytes 2 (its low
// nibble), 12 and 13; descriptor format at bytes 1, 2 and 3.
bool ReadSense(std::span<const uint8_t> sense, FailureCause &cause) {
    if (sense.empty()) return false;
    const uint8_t code = sense[0] & 0x7F;
    const bool fixed = code == 0x70 || code == 0x71;
    const bool descriptor = code == 0x72 || code == 0x73;
    if ((!fixed && !descriptor) || sense.size() < (fixed ? 3u : 2u)) return false;
    // The library reads both formats into one header, within the length given.
    sg_scsi_sense_hdr header{};
    if (!sg_scsi_normalize_sense(sense.data(), static_cast<int>(sense.size()), &header)) return false;
    cause.senseKey = header.sense_key & 0x0F;
    cause.ascKnown = sense.size() >= (fixed ? 14u : 4u);
    if (cause.ascKnown) {
        cause.asc = header.asc;
        cause.ascq = header.ascq;
    }
    return true;
}
}  // namespace

const char kUsbAdvice[] =
    "This drive is connected through USB; many USB adapters do not pass firmware commands. Connect it to a SATA "
    "port and try again.";

FailureCause DecideFailureCause(uint8_t status, uint8_t haStat, uint8_t targStat, std::span<const uint8_t> sense) {
    FailureCause cause;
    cause.status = status;
    cause.haStat = haStat;
    cause.targStat = targStat;
    for (const uint8_t byte : sense) cause.senseHex += Hex(byte, 2, "0123456789abcdef");
    if (status == SS_COMP) return cause;
    if (status == SS_ERR && targStat == kCheckCondition && ReadSense(sense, cause)) {
        cause.kind = FailureKind::Refused;
        cause.keyWords = KeyWords(cause.senseKey);
        if (cause.ascKnown) cause.ascWords = AscWords(cause.asc, cause.ascq);
        return cause;
    }
    cause.senseKey = cause.asc = cause.ascq = 0;
    cause.ascKnown = false;
    if (haStat == kHaStatTimeout || haStat == kHaStatCommandTimeout) {
        cause.kind = FailureKind::TimedOut;
    } else if (status == SS_NO_DEVICE) {
        cause.kind = FailureKind::Gone;
    } else if (haStat != 0) {
        cause.kind = FailureKind::AdapterFailed;
        const char *words = AdapterWords(haStat);
        cause.adapterWords = words != nullptr ? words : "adapter status 0x" + Hex(haStat, 2);
    } else {
        cause.kind = FailureKind::Unknown;
    }
    return cause;
}

FailureCause DecideFailureCause(const ScsiAnswer &answer) {
    return DecideFailureCause(static_cast<uint8_t>(answer.status), answer.haStat, answer.targStat,
                              std::span<const uint8_t>(answer.sense.data(),
                                                       std::min<size_t>(answer.senseLength, answer.sense.size())));
}

bool AsksWhetherGone(const FailureCause &cause) {
    return cause.kind == FailureKind::TimedOut || cause.kind == FailureKind::AdapterFailed ||
           cause.kind == FailureKind::Unknown;
}

Presence DecidePresence(const ScsiAnswer &inquiry) {
    if (inquiry.status == SS_COMP) return Presence::There;
    if (inquiry.status == SS_NO_DEVICE || inquiry.haStat == kHaStatSelectionTimeout) return Presence::Gone;
    return Presence::Unsure;
}

const char *FailureKindWord(FailureKind kind) {
    switch (kind) {
    case FailureKind::None: return "none";
    case FailureKind::Refused: return "refused";
    case FailureKind::TimedOut: return "timeout";
    case FailureKind::Gone: return "gone";
    case FailureKind::AdapterFailed: return "adapter";
    case FailureKind::Unknown: break;
    }
    return "unknown";
}

std::optional<FailureKind> FailureKindOfWord(std::string_view word) {
    for (const FailureKind kind : {FailureKind::None, FailureKind::Refused, FailureKind::TimedOut, FailureKind::Gone,
                                   FailureKind::AdapterFailed, FailureKind::Unknown})
        if (word == FailureKindWord(kind)) return kind;
    return std::nullopt;
}

std::string SayFailureCause(const FailureCause &cause) {
    switch (cause.kind) {
    case FailureKind::Refused: {
        std::string code = Hex(cause.senseKey, 1);
        if (cause.ascKnown) code += "/" + Hex(cause.asc, 2) + "/" + Hex(cause.ascq, 2);
        return "The drive said: " + cause.keyWords + (cause.ascKnown ? ", " + cause.ascWords : "") + " (" + code +
               ").";
    }
    case FailureKind::TimedOut: return "The drive did not answer in time.";
    case FailureKind::Gone: return "The drive went away (unplugged, reset or switched off).";
    case FailureKind::AdapterFailed: return "The drive's adapter or bus failed (" + cause.adapterWords + ").";
    case FailureKind::None:
    case FailureKind::Unknown: break;
    }
    return {};
}

bool WantsUsbAdvice(const FailureCause &cause, DriveTransport transport, bool firstBlock) {
    if (transport != DriveTransport::Usb || !firstBlock) return false;
    if (cause.kind == FailureKind::TimedOut) return true;
    return cause.kind == FailureKind::Refused && cause.senseKey == kIllegalRequest && cause.ascKnown &&
           (cause.asc == kInvalidOperationCode || cause.asc == kInvalidFieldInCdb);
}
