// libFuzzer target: a failed request's statuses and sense area, as a device
// and its manager may leave them, made into a cause. The first three bytes
// are SRB_Status, SRB_HaStat and SRB_TargStat; the rest is the sense, of any
// length, in a buffer of exactly that length so that a read past its end is
// the address sanitizer's to catch. Any broken invariant traps.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "drive/FailureCause.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

bool PrintableAscii(const std::string &text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const size_t senseLength = size - 3;
    std::unique_ptr<uint8_t[]> sense(new uint8_t[senseLength == 0 ? 1 : senseLength]);
    if (senseLength > 0) std::memcpy(sense.get(), data + 3, senseLength);
    const FailureCause cause =
        DecideFailureCause(data[0], data[1], data[2], std::span<const uint8_t>(sense.get(), senseLength));

    const std::string said = SayFailureCause(cause);
    Check(PrintableAscii(said) && PrintableAscii(cause.keyWords) && PrintableAscii(cause.ascWords) &&
          PrintableAscii(cause.adapterWords));
    Check(cause.senseHex.size() == 2 * senseLength);
    Check((cause.kind == FailureKind::None) == (data[0] == 0x01));
    Check(said.empty() == (cause.kind == FailureKind::None || cause.kind == FailureKind::Unknown));
    if (cause.kind == FailureKind::Refused) {
        Check(data[2] == 0x02 && senseLength >= 2 && cause.senseKey <= 0x0F && !cause.keyWords.empty());
        Check(cause.ascKnown == !cause.ascWords.empty());
    }
    // The advice is for a refusal or a time-out only.
    const bool advised = WantsUsbAdvice(cause, DriveTransport::Usb, true);
    Check(!advised || cause.kind == FailureKind::Refused || cause.kind == FailureKind::TimedOut);
    Check(!WantsUsbAdvice(cause, DriveTransport::Ata, true));
    return 0;
}
