// What a follower may say; see FollowerLine.h.
#include "transfer/FollowerLine.h"

#include <optional>

namespace {
FollowerVerdict Drop(std::string why) { return {FollowerAct::Drop, FrontEndWord::Hello, std::move(why)}; }

// The line as a line of the flash's process may show it.
std::string Quoted(std::string_view line) {
    constexpr size_t kShown = 40;
    return "\"" + EscapeChannelText(line.substr(0, kShown)) + (line.size() > kShown ? "...\"" : "\"");
}
}  // namespace

std::string DamagedFollowerLines() {
    return "its lines were damaged (a line over " + std::to_string(kChannelLineLimit / 1024) + " KiB, or a zero byte)";
}

FollowerVerdict JudgeFollowerLine(FollowerStanding *standing, std::string_view line) {
    if (++standing->lines > kFollowerLinesMost)
        return Drop("it said more than a follower ever needs (" + std::to_string(kFollowerLinesMost) + " lines)");
    const std::optional<FrontEndMessage> message = DecodeFrontEndMessage(line);
    // Its first line is the channel's: a front end of another version is
    // refused there, and nothing else of it is read.
    if (!standing->greeted) {
        if (!message || message->word != FrontEndWord::Hello)
            return Drop("its first line is not this channel's (" + Quoted(line) + ")");
        standing->greeted = true;
        return {FollowerAct::Greet, FrontEndWord::Hello, {}};
    }
    if (!message) return Drop("it said what this channel does not carry (" + Quoted(line) + ")");
    if (message->word == FrontEndWord::Watch) {
        if (standing->watching) return Drop("it said watch twice");
        standing->watching = true;
        return {FollowerAct::Watch, FrontEndWord::Watch, {}};
    }
    // Only the adopter speaks for the flash's end, and only of what its
    // starter would: never a start, a flash's figures or another hello.
    if (!standing->adopter) return Drop("a follower only reads, and it said " + Quoted(line));
    switch (message->word) {
    case FrontEndWord::RestartRequested:
    case FrontEndWord::RestartAccepted:
    case FrontEndWord::RestartRefused:
    case FrontEndWord::RestartWithheld:
        if (standing->released) return Drop("it spoke of the restart after its release");
        return {FollowerAct::OwnerWord, message->word, {}};
    case FrontEndWord::Release:
        if (standing->released) return Drop("it said release twice");
        standing->released = true;
        return {FollowerAct::OwnerWord, message->word, {}};
    default: return Drop("the flash's new owner said what only its starter may (" + Quoted(line) + ")");
    }
}
