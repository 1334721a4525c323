// libFuzzer target: the flash channel's reader on arbitrary bytes. The input
// arrives at ChannelLines in up to four pieces, cut where its own bytes say,
// so that lines cut mid-way are read as the socket delivers them; every line
// that comes out is decoded as both sides would decode it. Any broken
// invariant traps.
//
// Each line and the raw input reach the decoders in a buffer of exactly their
// length, so that a read past a line's end is caught by the address sanitizer
// rather than landing in a string's spare capacity.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/FlashChannel.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

bool Same(const TransferEvent &a, const TransferEvent &b) {
    return a.word == b.word && a.block == b.block && a.count == b.count && a.text == b.text;
}

bool Same(const FrontEndMessage &a, const FrontEndMessage &b) {
    return a.word == b.word && a.adapter == b.adapter && a.target == b.target && a.size == b.size &&
           a.blockKb == b.blockKb && a.blocks == b.blocks && a.text == b.text;
}

void CheckTransferEvent(std::string_view line) {
    const std::optional<TransferEvent> event = DecodeTransferEvent(line);
    if (!event) return;
    switch (event->word) {
    case TransferWord::Block: Check(1 <= event->block && event->block < event->count); break;
    case TransferWord::Refused: Check(0 <= event->block && event->block <= event->count); break;
    case TransferWord::Final:
    case TransferWord::Accepted: Check(event->count >= 1); break;
    default: break;
    }
    Check(event->count <= kChannelBlockLimit);
    const std::string again = EncodeTransferEvent(*event);
    Check(again.find('\n') == std::string::npos);
    const std::optional<TransferEvent> decoded = DecodeTransferEvent(again);
    Check(decoded && Same(*event, *decoded));
}

void CheckFrontEndMessage(std::string_view line) {
    const std::optional<FrontEndMessage> message = DecodeFrontEndMessage(line);
    if (!message) return;
    const std::string again = EncodeFrontEndMessage(*message);
    Check(again.find('\n') == std::string::npos);
    const std::optional<FrontEndMessage> decoded = DecodeFrontEndMessage(again);
    Check(decoded && Same(*message, *decoded));
}

// Decodes `text` from a heap buffer of exactly its size.
void CheckLine(const std::string &text) {
    const std::unique_ptr<char[]> exact(new char[text.size()]);
    std::copy(text.begin(), text.end(), exact.get());
    const std::string_view line(exact.get(), text.size());
    CheckTransferEvent(line);
    CheckFrontEndMessage(line);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);

    // Escaping is lossless for any bytes, and what unescapes escapes back to
    // something that unescapes the same.
    const std::optional<std::string> unescaped = UnescapeChannelText(EscapeChannelText(input));
    Check(unescaped && *unescaped == input);
    if (const std::optional<std::string> raw = UnescapeChannelText(input)) {
        const std::optional<std::string> twice = UnescapeChannelText(EscapeChannelText(*raw));
        Check(twice && *twice == *raw);
    }

    // Up to three cuts, taken from bytes at both ends and the middle.
    std::vector<size_t> cuts;
    if (size > 0) {
        for (const size_t at : {size_t{0}, size / 2, size - 1})
            cuts.push_back((size_t{data[at]} * 257 + at) % (size + 1));
    }
    cuts.push_back(size);
    std::sort(cuts.begin(), cuts.end());

    ChannelLines lines;
    std::string out;  // every line that came out, each with its line feed
    size_t from = 0;
    for (const size_t cut : cuts) {
        lines.Add(input.substr(from, cut - from));
        from = cut;
        while (const std::optional<std::string> line = lines.Next()) {
            Check(line->size() <= kChannelLineLimit);
            Check(line->find('\n') == std::string::npos);
            CheckLine(*line);
            out += *line;
            out += '\n';
        }
    }

    // What came out is the input's own lines, from its start, none lost or
    // changed at a cut.
    Check(input.substr(0, out.size()) == out);

    // The channel is damaged exactly when the input holds a zero byte or a
    // line (ended or not) longer than the limit; otherwise every ended line
    // came out and the rest is pending.
    bool damaging = input.find('\0') != std::string_view::npos;
    for (size_t start = 0; start <= size && !damaging;) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = size;
        damaging = end - start > kChannelLineLimit;
        start = end + 1;
    }
    Check(lines.Damaged() == damaging);
    if (!damaging) {
        const size_t last = input.rfind('\n');
        const size_t ended = last == std::string_view::npos ? 0 : last + 1;
        Check(out.size() == ended);
        Check(lines.Partial() == (ended < size));
    } else {
        Check(!lines.Partial());
    }
    return 0;
}
