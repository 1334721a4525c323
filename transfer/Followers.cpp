// The front ends that follow a flash; see Followers.h.
#include "transfer/Followers.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>

struct Followers::Follower {
    ChannelEnd end;
    ChannelLines lines;
    Hold watch;
    bool greeted = false;   // it said its hello
    bool watching = false;  // it watches to the end: it may adopt the flash
    bool lost = false;     // it did not keep up: closed on the loop
};

Followers::Followers(std::function<void(const std::string &)> ownerLine, std::function<void()> adopterGone,
                     std::function<void(const std::string &)> say)
    : ownerLine_(std::move(ownerLine)), adopterGone_(std::move(adopterGone)), say_(std::move(say)) {}

Followers::~Followers() { Close(); }

void Followers::Serve(uint8_t adapter, uint8_t target, const std::string &record, const FlashSnapshot &snapshot) {
    {
        std::lock_guard lock(mutex_);
        record_ = record;
        snapshot_ = snapshot;
    }
    std::string problem;
    const std::string path = FlashPlacePath(adapter, target, true, &problem);
    if (!path.empty()) place_ = FlashPlaceListener::Open(path, &problem);
    if (!place_) {
        say_("this flash cannot be followed from another program (" + problem + "); it goes on all the same.");
        return;
    }
    placeWatch_ = place_->Watch([this] { OnConnecting(); });
}

void Followers::SendTo(Follower &follower, const TransferEvent &event) {
    if (follower.lost) return;
    // A follower whose buffer is full is one that does not read: it is let
    // go rather than waited for.
    if (!follower.end.SendWithoutWaiting(EncodeTransferEvent(event) + "\n")) follower.lost = true;
}

void Followers::Tell(const TransferEvent &event) {
    std::lock_guard lock(mutex_);
    switch (event.word) {
    case TransferWord::Block: snapshot_.accepted = event.block; break;
    case TransferWord::Final: snapshot_.finalOut = true; break;
    case TransferWord::Cause:
    case TransferWord::Accepted:
    case TransferWord::Refused: answer_.push_back(event); break;
    default: break;
    }
    bool lost = false;
    for (const auto &follower : followers_) {
        if (!follower->greeted || follower->lost) continue;
        SendTo(*follower, event);
        lost = lost || follower->lost;
    }
    // Let go on the loop, never under the worker's feet.
    if (lost) QMetaObject::invokeMethod(QCoreApplication::instance(), [this] { DropLost(); }, Qt::QueuedConnection);
}

void Followers::DropLost() {
    std::vector<Follower *> lost;
    {
        std::lock_guard lock(mutex_);
        for (const auto &follower : followers_)
            if (follower->lost) lost.push_back(follower.get());
    }
    for (Follower *follower : lost) Drop(follower);
}

void Followers::OnConnecting() {
    std::string refused;
    ChannelEnd end = place_->Accept(&refused);
    if (!refused.empty()) say_(refused);
    if (!end.Open()) return;
    DropLost();
    std::lock_guard lock(mutex_);
    if (followers_.size() >= kMost) return;  // closed as `end` goes: turned away
    auto follower = std::make_unique<Follower>();
    follower->end = std::move(end);
    Follower *added = follower.get();
    follower->watch = follower->end.Watch([this, added] { OnReadable(added); });
    // Its first line is the channel's: a front end of another version
    // refuses the flash there, and nothing else.
    SendTo(*added, EventOf(TransferWord::Hello));
    followers_.push_back(std::move(follower));
}

void Followers::OnReadable(Follower *follower) {
    std::string bytes;
    const ChannelEnd::Received received = follower->end.Receive(&bytes);
    if (received == ChannelEnd::Received::Nothing) return;
    follower->lines.Add(bytes);
    std::vector<std::string> ownerLines;
    bool drop = received == ChannelEnd::Received::Ended || follower->lines.Damaged();
    {
        std::lock_guard lock(mutex_);
        while (std::optional<std::string> line = follower->lines.Next()) {
            const std::optional<FrontEndMessage> message = DecodeFrontEndMessage(*line);
            if (!follower->greeted) {
                if (!message || message->word != FrontEndWord::Hello) {
                    drop = true;
                    break;
                }
                // Where the flash stands, then every event from here on.
                follower->greeted = true;
                SendTo(*follower, EventOf(TransferWord::Record, 0, 0, record_));
                TransferEvent now = EventOf(TransferWord::Snapshot, snapshot_.accepted, snapshot_.count);
                now.snapshot = snapshot_;
                now.snapshot.starterPresent = !starterGone_;
                SendTo(*follower, now);
                for (const TransferEvent &event : answer_) SendTo(*follower, event);
                continue;
            }
            // A follower only reads, or says that it watches to the end; the
            // one that adopted the flash speaks for its starter.
            if (follower == adopter_ && message) {
                ownerLines.push_back(*line);
                continue;
            }
            if (!message || message->word != FrontEndWord::Watch || follower->watching) {
                drop = true;
                break;
            }
            follower->watching = true;
            if (starterGone_ && adopter_ == nullptr) {
                adopter_ = follower;
                SendTo(*follower, EventOf(TransferWord::Adopt));
            }
        }
        drop = drop || follower->lost;
    }
    for (const std::string &line : ownerLines) ownerLine_(line);
    if (drop) Drop(follower);
}

void Followers::Drop(Follower *follower) {
    bool adopterLost = false;
    {
        std::lock_guard lock(mutex_);
        adopterLost = follower == adopter_;
        if (adopterLost) adopter_ = nullptr;
        // Its watch first (safe within its own call), then its end.
        follower->watch.reset();
        std::erase_if(followers_, [follower](const auto &f) { return f.get() == follower; });
    }
    if (!adopterLost) return;
    AdoptNext();
    if (!Adopted()) adopterGone_();
}

void Followers::AdoptNext() {
    std::lock_guard lock(mutex_);
    if (adopter_ != nullptr || !starterGone_) return;
    for (const auto &follower : followers_) {
        if (!follower->greeted || !follower->watching || follower->lost) continue;
        adopter_ = follower.get();
        SendTo(*follower, EventOf(TransferWord::Adopt));
        return;
    }
}

bool Followers::StarterGone() {
    {
        std::lock_guard lock(mutex_);
        starterGone_ = true;
        for (const auto &follower : followers_)
            if (follower->greeted) SendTo(*follower, EventOf(TransferWord::StarterGone));
    }
    AdoptNext();
    return Adopted();
}

bool Followers::Adopted() const {
    std::lock_guard lock(mutex_);
    return adopter_ != nullptr;
}

void Followers::Close() {
    placeWatch_.reset();
    place_.reset();
    std::lock_guard lock(mutex_);
    for (const auto &follower : followers_) {
        follower->watch.reset();
        follower->end.Close();
    }
    followers_.clear();
    adopter_ = nullptr;
}
