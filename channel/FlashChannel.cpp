// The channel's words; see FlashChannel.h.
#include "channel/FlashChannel.h"

#include <chrono>
#include <vector>

#include "platform/FlashProcess.h"

namespace {
// The words of a line, split at single blanks, at most `most` of them: the
// last one takes the rest of the line.
std::vector<std::string_view> Words(std::string_view line, size_t most) {
    std::vector<std::string_view> words;
    while (!line.empty() && words.size() + 1 < most) {
        const size_t blank = line.find(' ');
        if (blank == std::string_view::npos) break;
        words.push_back(line.substr(0, blank));
        line.remove_prefix(blank + 1);
    }
    words.push_back(line);
    return words;
}

// A count written as the channel writes it: decimal digits only, no sign, no
// leading zero, at most `limit`.
std::optional<int64_t> Number(std::string_view word, int64_t limit) {
    if (word.empty() || word.size() > 15 || (word.size() > 1 && word[0] == '0')) return std::nullopt;
    int64_t value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > limit) return std::nullopt;
    return value;
}

std::string Hello() { return std::string(kChannelName) + " " + std::to_string(kChannelVersion); }


bool IsHello(std::string_view line) { return line == Hello(); }


// " TEXT" escaped, or nothing for no text.
std::string OptionalText(const std::string &text) { return text.empty() ? "" : " " + EscapeChannelText(text); }

// "N COUNT" with 0 <= N <= COUNT, 1 <= COUNT.
bool BlockOfCount(std::string_view n, std::string_view count, TransferEvent *event) {
    const auto block = Number(n, kChannelBlockLimit);
    const auto blocks = Number(count, kChannelBlockLimit);
    if (!block || !blocks || *blocks < 1 || *block > *blocks) return false;
    event->block = static_cast<int>(*block);
    event->count = static_cast<int>(*blocks);
    return true;
}

// "snapshot ACCEPTED COUNT FINAL SINCE PID present|gone restart|no-restart
// BLOCK_KB".
std::optional<TransferEvent> DecodeSnapshot(std::string_view line) {
    const std::vector<std::string_view> w = Words(line, 10);
    if (w.size() != 9) return std::nullopt;
    TransferEvent event;
    if (!BlockOfCount(w[1], w[2], &event)) return std::nullopt;
    const auto since = Number(w[4], INT64_MAX / 2);
    const auto pid = Number(w[5], INT32_MAX);
    const auto blockKb = Number(w[8], 255);
    if ((w[3] != "0" && w[3] != "1") || !since || !pid || !blockKb || (w[6] != "present" && w[6] != "gone") ||
        (w[7] != "restart" && w[7] != "no-restart"))
        return std::nullopt;
    event.word = TransferWord::Snapshot;
    event.snapshot = {event.block, event.count, w[3] == "1", *since, static_cast<int>(*pid), w[6] == "present",
                      w[7] == "restart", static_cast<int>(*blockKb)};
    return event;
}
}  // namespace

std::string EscapeChannelText(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> UnescapeChannelText(std::string_view text) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) return std::nullopt;  // never written unescaped
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hex(text[i + 1]);
            const int low = hex(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return out;
}

TransferEvent EventOf(TransferWord word, int block, int count, std::string text) {
    TransferEvent event;
    event.word = word;
    event.block = block;
    event.count = count;
    event.text = std::move(text);
    return event;
}

std::string EncodeTransferEvent(const TransferEvent &event) {
    const std::string block = std::to_string(event.block);
    const std::string count = std::to_string(event.count);
    switch (event.word) {
    case TransferWord::Hello: return Hello();
    case TransferWord::Held: return "held";
    case TransferWord::Busy: return "busy" + OptionalText(event.text);
    case TransferWord::Cause: return std::string("cause ") + FailureKindWord(event.cause) + OptionalText(event.text);
    case TransferWord::Unguarded: return "unguarded " + EscapeChannelText(event.text);
    case TransferWord::Declined: return "declined " + EscapeChannelText(event.text);
    case TransferWord::Block: return "block " + block + " " + count;
    case TransferWord::Final: return "final " + count;
    case TransferWord::Accepted: return "accepted " + count;
    case TransferWord::Refused: return "refused " + block + " " + count;
    case TransferWord::Say: return "say " + EscapeChannelText(event.text);
    case TransferWord::Released: return "released";
    case TransferWord::Record: return "record " + EscapeChannelText(event.text);
    case TransferWord::Snapshot: {
        const FlashSnapshot &now = event.snapshot;
        return "snapshot " + std::to_string(now.accepted) + " " + std::to_string(now.count) + " " +
               (now.finalOut ? "1" : "0") + " " + std::to_string(now.since) + " " + std::to_string(now.starterPid) +
               (now.starterPresent ? " present" : " gone") + (now.restartWanted ? " restart" : " no-restart") + " " +
               std::to_string(now.blockKb);
    }
    case TransferWord::StarterGone: return "starter gone";
    case TransferWord::Adopt: return "adopt";
    }
    return {};
}

std::optional<TransferEvent> DecodeTransferEvent(std::string_view line) {
    TransferEvent event;
    if (IsHello(line)) return event;
    const std::vector<std::string_view> w = Words(line, 3);
    const std::string_view word = w[0];
    if (w.size() == 1) {
        if (word == "held") event.word = TransferWord::Held;
        else if (word == "busy") event.word = TransferWord::Busy;
        else if (word == "released") event.word = TransferWord::Released;
        else if (word == "adopt") event.word = TransferWord::Adopt;
        else return std::nullopt;
        return event;
    }
    if (line == "starter gone") {
        event.word = TransferWord::StarterGone;
        return event;
    }
    if (word == "record") {
        const std::optional<std::string> text = UnescapeChannelText(line.substr(word.size() + 1));
        if (!text) return std::nullopt;
        event.word = TransferWord::Record;
        event.text = *text;
        return event;
    }
    if (word == "snapshot") return DecodeSnapshot(line);
    if (word == "cause") {
        // The kinds of a failed command's cause, as the record names them.
        const std::vector<std::string_view> c = Words(line, 3);
        const std::optional<FailureKind> kind = FailureKindOfWord(c[1]);
        if (!kind || *kind == FailureKind::None) return std::nullopt;
        event.word = TransferWord::Cause;
        event.cause = *kind;
        if (c.size() == 2) return event;
        const std::optional<std::string> text = UnescapeChannelText(c[2]);
        if (!text || text->empty()) return std::nullopt;
        event.text = *text;
        return event;
    }
    if (word == "busy") {
        // A reason, when there is one, is never empty.
        const std::optional<std::string> text = UnescapeChannelText(line.substr(word.size() + 1));
        if (!text || text->empty()) return std::nullopt;
        event.word = TransferWord::Busy;
        event.text = *text;
        return event;
    }
    if (word == "unguarded" || word == "declined" || word == "say") {
        // The text is the rest of the line, blanks and all.
        const std::optional<std::string> text = UnescapeChannelText(line.substr(word.size() + 1));
        if (!text) return std::nullopt;
        event.word = word == "say" ? TransferWord::Say
                     : word == "unguarded" ? TransferWord::Unguarded
                                           : TransferWord::Declined;
        event.text = *text;
        return event;
    }
    if (w.size() == 2 && (word == "final" || word == "accepted")) {
        if (!BlockOfCount(w[1], w[1], &event)) return std::nullopt;
        event.word = word == "final" ? TransferWord::Final : TransferWord::Accepted;
        event.block = 0;
        return event;
    }
    if (w.size() == 3 && (word == "block" || word == "refused")) {
        if (!BlockOfCount(w[1], w[2], &event)) return std::nullopt;
        if (word == "block") {
            // The final block is told by accepted, never by block.
            if (event.block < 1 || event.block >= event.count) return std::nullopt;
            event.word = TransferWord::Block;
        } else {
            event.word = TransferWord::Refused;
        }
        return event;
    }
    return std::nullopt;
}

std::vector<TransferEvent> OutcomeEvents(const FlashOutcome &outcome) {
    if (outcome.ending == FlashEnding::Accepted) return {EventOf(TransferWord::Accepted, 0, outcome.blocks)};
    std::vector<TransferEvent> events;
    if (outcome.cause != FailureKind::None) {
        events.push_back(EventOf(TransferWord::Cause, 0, 0, outcome.told));
        events.back().cause = outcome.cause;
    }
    events.push_back(EventOf(TransferWord::Refused, outcome.block, outcome.blocks));
    return events;
}

FlashOutcome OutcomeOfAnswer(const TransferEvent &answer, const TransferEvent &cause) {
    FlashOutcome outcome;
    outcome.blocks = answer.count;
    if (answer.word == TransferWord::Accepted) {
        outcome.ending = FlashEnding::Accepted;
        outcome.block = answer.count;
        return outcome;
    }
    outcome.cause = cause.word == TransferWord::Cause ? cause.cause : FailureKind::None;
    outcome.told = cause.word == TransferWord::Cause ? cause.text : std::string();
    // A drive that went away answers nothing more: its flash ended there,
    // whatever the block, the final one too.
    outcome.ending = outcome.cause == FailureKind::Gone ? FlashEnding::Gone : FlashEnding::Refused;
    outcome.block = answer.block;
    return outcome;
}

std::string EncodeFrontEndMessage(const FrontEndMessage &message) {
    switch (message.word) {
    case FrontEndWord::Hello: return Hello();
    case FrontEndWord::Flash:
        return "flash " + std::to_string(message.adapter) + " " + std::to_string(message.target) + " " +
               std::to_string(message.size) + " " + std::to_string(message.blockKb) + " " +
               std::to_string(message.blocks);
    case FrontEndWord::Record: return "record " + EscapeChannelText(message.text);
    case FrontEndWord::RestartWanted: return "restart wanted";
    case FrontEndWord::Watch: return "watch";
    case FrontEndWord::Start: return "start";
    case FrontEndWord::RestartRequested: return "restart requested";
    case FrontEndWord::RestartAccepted: return "restart accepted";
    case FrontEndWord::RestartRefused: return "restart refused";
    case FrontEndWord::RestartWithheld: return "restart withheld";
    case FrontEndWord::Release: return "release";
    }
    return {};
}

std::optional<FrontEndMessage> DecodeFrontEndMessage(std::string_view line) {
    FrontEndMessage message;
    if (IsHello(line)) return message;
    if (line == "start") message.word = FrontEndWord::Start;
    else if (line == "restart wanted") message.word = FrontEndWord::RestartWanted;
    else if (line == "watch") message.word = FrontEndWord::Watch;
    else if (line == "restart requested") message.word = FrontEndWord::RestartRequested;
    else if (line == "restart accepted") message.word = FrontEndWord::RestartAccepted;
    else if (line == "restart refused") message.word = FrontEndWord::RestartRefused;
    else if (line == "restart withheld") message.word = FrontEndWord::RestartWithheld;
    else if (line == "release") message.word = FrontEndWord::Release;
    else if (line.substr(0, 7) == "record ") {
        const std::optional<std::string> text = UnescapeChannelText(line.substr(7));
        if (!text) return std::nullopt;
        message.word = FrontEndWord::Record;
        message.text = *text;
    } else {
        const std::vector<std::string_view> w = Words(line, 7);
        if (w.size() != 6 || w[0] != "flash") return std::nullopt;
        const auto adapter = Number(w[1], 255);
        const auto target = Number(w[2], 255);
        const auto size = Number(w[3], INT32_MAX);
        const auto blockKb = Number(w[4], 255);
        const auto blocks = Number(w[5], kChannelBlockLimit);
        if (!adapter || !target || !size || !blockKb || !blocks) return std::nullopt;
        message.word = FrontEndWord::Flash;
        message.adapter = static_cast<int>(*adapter);
        message.target = static_cast<int>(*target);
        message.size = *size;
        message.blockKb = static_cast<int>(*blockKb);
        message.blocks = static_cast<int>(*blocks);
    }
    return message;
}

void ChannelLines::Add(std::string_view bytes) {
    if (damaged_) return;
    if (bytes.find('\0') != std::string_view::npos) {
        damaged_ = true;
        pending_.clear();
        return;
    }
    pending_.append(bytes);
}

std::optional<std::string> ChannelLines::Next() {
    if (damaged_) return std::nullopt;
    const size_t end = pending_.find('\n');
    if (end == std::string::npos) {
        if (pending_.size() > kChannelLineLimit) {
            damaged_ = true;
            pending_.clear();
        }
        return std::nullopt;
    }
    if (end > kChannelLineLimit) {
        damaged_ = true;
        pending_.clear();
        return std::nullopt;
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

StartLines ReadStartLines(ChannelEnd &channel, ChannelLines &lines, int milliseconds,
                          const std::function<bool(const std::string &line)> &take) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    bool ended = false;
    for (;;) {
        while (std::optional<std::string> line = lines.Next())
            if (take(*line)) return StartLines::Decided;
        if (lines.Damaged()) return StartLines::Damaged;
        if (ended) return StartLines::Ended;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !channel.WaitReadable(static_cast<int>(left))) return StartLines::TimedOut;
        std::string bytes;
        ended = channel.Receive(&bytes) == ChannelEnd::Received::Ended;
        lines.Add(bytes);
    }
}
