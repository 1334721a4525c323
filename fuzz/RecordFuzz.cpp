// libFuzzer target: one line of the record of flashes, which any program of
// the user's may have written. A line that decodes must encode to a line that
// decodes to the same record; anything else traps.
#include <cstddef>
#include <cstdint>
#include <string>

#include "record/FlashRecord.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

bool Same(const FlashRecord &a, const FlashRecord &b) {
    return a.time == b.time && a.boot == b.boot && a.flash == b.flash && a.program == b.program &&
           a.event == b.event && a.vendor == b.vendor && a.model == b.model && a.revision == b.revision &&
           a.adapter == b.adapter && a.target == b.target && a.file == b.file && a.size == b.size &&
           a.sha256 == b.sha256 && a.version == b.version && a.block == b.block && a.blocks == b.blocks &&
           a.detail == b.detail;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string line(reinterpret_cast<const char *>(data), size);
    FlashRecord record;
    if (!DecodeRecord(line, &record)) return 0;
    Check(!record.flash.empty());
    const std::string again = EncodeRecord(record);
    // The record is a file of lines: its own line never breaks one.
    Check(again.find('\n') == std::string::npos);
    FlashRecord decoded;
    Check(DecodeRecord(again, &decoded));
    Check(Same(record, decoded));
    return 0;
}
