// A flash under way; see FlashUnderWay.h.
#include "flash/FlashUnderWay.h"

#include "flash/FlashFollower.h"
#include "platform/FlashPlace.h"

namespace {
// Its process answers at once, or is not serving: a follower never waits
// long for it.
constexpr int kAnswerMilliseconds = 2000;

std::string Padded(std::string field, size_t width) {
    field.resize(width, ' ');
    return field;
}
}  // namespace

Drive DriveOfFlash(const FlashUnderWay &flash) {
    const FlashRecord &r = flash.record;
    Drive drive;
    drive.address = flash.drive;
    drive.identity = DriveIdentity::FromBytes(Padded(r.vendor, DriveIdentity::kVendorLength) +
                                              Padded(r.model, DriveIdentity::kProductLength) +
                                              Padded(r.revision, DriveIdentity::kRevisionLength));
    return drive;
}

ChannelEnd FollowFlash(DriveAddress drive, bool watch, FlashUnderWay *seen, ChannelLines *lines, std::string *problem) {
    const std::string path = FlashPlacePath(drive.adapter, drive.target, false, problem);
    if (path.empty()) return ChannelEnd();
    ChannelEnd channel = ConnectToFlashPlace(path, problem);
    if (!channel.Open()) return channel;
    FrontEndMessage hello;
    hello.word = FrontEndWord::Hello;
    std::string said = EncodeFrontEndMessage(hello) + "\n";
    if (watch) {
        FrontEndMessage watching;
        watching.word = FrontEndWord::Watch;
        said += EncodeFrontEndMessage(watching) + "\n";
    }
    if (!channel.Send(said)) {
        *problem = "the flash's process at " + path + " has ended";
        return ChannelEnd();
    }
    seen->drive = drive;
    bool greeted = false, recorded = false, placed = false;
    const StartLines read = ReadStartLines(channel, *lines, kAnswerMilliseconds, [&](const std::string &line) {
        const std::optional<TransferEvent> event = DecodeTransferEvent(line);
        // A process of another version says so at its first line: nothing
        // more of it is read.
        if (!event || (!greeted && event->word != TransferWord::Hello)) {
            *problem = "the flash's process at " + path + " speaks another version of the channel (\"" +
                       EscapeChannelText(line.substr(0, 40)) + "\")";
            return true;
        }
        switch (event->word) {
        case TransferWord::Hello: greeted = true; return false;
        case TransferWord::Record:
            recorded = DecodeRecord(event->text, &seen->record);
            if (!recorded) *problem = "the flash's process at " + path + " told a record line that cannot be read";
            return !recorded;
        case TransferWord::Snapshot:
            seen->snapshot = event->snapshot;
            placed = recorded;
            return true;
        default: *problem = "the flash's process at " + path + " spoke out of turn"; return true;
        }
    });
    if (read != StartLines::Decided || !placed) {
        if (problem->empty())
            *problem = read == StartLines::TimedOut ? "the flash's process at " + path + " did not answer in time"
                                                    : "the flash served at " + path + " has ended";
        return ChannelEnd();
    }
    return channel;
}

std::optional<FlashUnderWay> LookAtFlash(DriveAddress drive, std::string *problem) {
    FlashUnderWay seen;
    ChannelLines lines;
    ChannelEnd channel = FollowFlash(drive, false, &seen, &lines, problem);
    if (!channel.Open()) return std::nullopt;
    // The drive's answer, when it had given it, follows the snapshot at once.
    std::string bytes;
    (void)channel.Receive(&bytes);
    lines.Add(bytes);
    FlashFollower follower(seen.snapshot);
    while (std::optional<std::string> line = lines.Next()) {
        const std::optional<TransferEvent> event = DecodeTransferEvent(*line);
        if (!event || follower.Take(*event) == FlashFollower::News::Unfit) break;
    }
    seen.answer = follower.Outcome();
    return seen;
}

std::string LetGoSentence(DriveAddress drive) {
    std::string problem;
    if (!LookAtFlash(drive, &problem)) return {};
    return "this program fell behind the flash of " + AddressText(drive) +
           " and its process let it go; the flash goes on (quorvel-flash status shows it).";
}

std::vector<FlashUnderWay> FlashesUnderWay(std::string *problem) {
    std::vector<FlashUnderWay> flashes;
    for (const FlashPlaceFound &place : FlashPlaces(problem)) {
        std::string unused;
        if (std::optional<FlashUnderWay> seen = LookAtFlash({place.adapter, place.target}, &unused))
            flashes.push_back(*seen);
    }
    return flashes;
}
