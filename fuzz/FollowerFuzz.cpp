// libFuzzer target: whatever a follower of a flash can send, read as the
// flash's process reads it: the bytes cut into lines where they arrive (in up
// to four pieces, cut where the input's own bytes say), each line judged by
// the follower rule (transfer/FollowerLine), the process adopting the
// follower (once it watches) after as many lines as the input's first byte
// says. Whatever it sends, a follower greets once and first, watches at most
// once, speaks for the flash's end only as its adopter and only of the
// restart and the release (once), is let go with a one-line reason, and is
// read no further once let go or once its lines are damaged. Any broken
// invariant traps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/FollowerLine.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

bool SpeaksOfTheEnd(FrontEndWord word) {
    switch (word) {
    case FrontEndWord::RestartRequested:
    case FrontEndWord::RestartAccepted:
    case FrontEndWord::RestartRefused:
    case FrontEndWord::RestartWithheld:
    case FrontEndWord::Release: return true;
    default: return false;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int adoptAfter = data[0] % (kFollowerLinesMost + 2);
    const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

    std::vector<size_t> cuts;
    for (const size_t at : {size_t{0}, input.size() / 2, input.size()})
        cuts.push_back(at < size ? (size_t{data[at]} * 257 + at) % (input.size() + 1) : 0);
    cuts.push_back(input.size());
    std::sort(cuts.begin(), cuts.end());

    ChannelLines lines;
    FollowerStanding standing;
    int judged = 0, greetings = 0, watches = 0, releases = 0;
    bool dropped = false;
    size_t from = 0;
    for (const size_t cut : cuts) {
        lines.Add(input.substr(from, cut - from));
        from = cut;
        // The process reads no more of a follower it let go, nor of damaged lines.
        while (!dropped && !lines.Damaged()) {
            const std::optional<std::string> line = lines.Next();
            if (!line) break;
            if (judged == adoptAfter && standing.watching) standing.adopter = true;
            const bool wasAdopter = standing.adopter;
            const FollowerVerdict verdict = JudgeFollowerLine(&standing, *line);
            ++judged;
            Check(standing.lines == judged);
            Check(standing.adopter == wasAdopter);  // a line never makes an adopter
            switch (verdict.act) {
            case FollowerAct::Greet: Check(++greetings == 1 && judged == 1 && standing.greeted); break;
            case FollowerAct::Watch: Check(++watches == 1 && greetings == 1 && standing.watching); break;
            case FollowerAct::OwnerWord:
                Check(wasAdopter && SpeaksOfTheEnd(verdict.word));
                if (verdict.word == FrontEndWord::Release) Check(++releases == 1);
                break;
            case FollowerAct::Drop:
                Check(!verdict.why.empty() && verdict.why.find('\n') == std::string::npos && verdict.why.size() < 400);
                dropped = true;
                break;
            }
            // No follower is read past the few lines it ever needs.
            Check(dropped || judged <= kFollowerLinesMost);
            Check(verdict.act == FollowerAct::Drop || verdict.why.empty());
        }
    }
    return 0;
}
