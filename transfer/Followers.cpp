// The front ends that follow a flash; see Followers.h.
#include "transfer/Followers.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>

#include "transfer/FollowerLine.h"

struct Followers::Follower {
    ChannelEnd end;
    ChannelLines lines;
    Hold watch;
    FollowerStanding standing;  // what its lines made it (FollowerLine.h)
    bool lost = false;          // it did not keep up: closed on the loop
};

Followers::Followers(std::function<void(FrontEndWord)> ownerWord, std::function<void()> adopterGone,
                     std::function<void(const std::string &)> say)
    : ownerWord_(std::move(ownerWord)), adopterGone_(std::move(adopterGone)), say_(std::move(say)) {}

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
    SendLines(follower, EncodeTransferEvent(event) + "\n");
}

void Followers::SendLines(Follower &follower, const std::string &lines) {
    if (follower.lost) return;
    // A follower whose buffer is full is one that does not read: it is let
    // go rather than waited for.
    if (!follower.end.SendWithoutWaiting(lines)) follower.lost = true;
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
    if (followers_.empty()) return;
    told_ += EncodeTransferEvent(event) + "\n";
    // The worker only notes what it told: the loop sends it to the
    // followers, however many, while the drive works on the next block.
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) return TellFollowers();
    if (!tellQueued_) {
        tellQueued_ = true;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [this] { Flush(); }, Qt::QueuedConnection);
    }
}

void Followers::Flush() {
    std::lock_guard lock(mutex_);
    TellFollowers();
}

void Followers::TellFollowers() {
    tellQueued_ = false;
    if (told_.empty()) return;
    bool lost = false;
    for (const auto &follower : followers_) {
        if (!follower->standing.greeted || follower->lost) continue;
        SendLines(*follower, told_);
        lost = lost || follower->lost;
    }
    told_.clear();
    // Let go on the loop, outside the lock.
    if (lost) QMetaObject::invokeMethod(QCoreApplication::instance(), [this] { DropLost(); }, Qt::QueuedConnection);
}

void Followers::DropLost() {
    std::vector<Follower *> lost;
    {
        std::lock_guard lock(mutex_);
        for (const auto &follower : followers_)
            if (follower->lost) lost.push_back(follower.get());
    }
    for (Follower *follower : lost) Drop(follower, "it did not keep up with the flash");
}

void Followers::OnConnecting() {
    std::string refused;
    ChannelEnd end = place_->Accept(&refused);
    if (!refused.empty()) Said(refused);
    if (!end.Open()) return;
    DropLost();
    std::unique_lock lock(mutex_);
    if (followers_.size() >= kMost) {
        // Closed as `end` goes: turned away.
        lock.unlock();
        return Said("a front end was turned away: at most " + std::to_string(kMost) + " follow a flash at once.");
    }
    auto follower = std::make_unique<Follower>();
    follower->end = std::move(end);
    Follower *added = follower.get();
    follower->watch = follower->end.Watch([this, added] { OnReadable(added); });
    // Its first line is the channel's: a front end of another version
    // refuses the flash there, and nothing else.
    SendTo(*added, EventOf(TransferWord::Hello));
    followers_.push_back(std::move(follower));
}

void Followers::Said(const std::string &line) {
    if (saidOfFollowers_ >= kSaidMost) return;
    ++saidOfFollowers_;
    say_(line);
}

void Followers::OnReadable(Follower *follower) {
    std::string bytes;
    const ChannelEnd::Received received = follower->end.Receive(&bytes);
    if (received == ChannelEnd::Received::Nothing) return;
    follower->lines.Add(bytes);
    std::vector<FrontEndWord> ownerWords;
    std::string why;  // why it is let go, when it did wrong
    bool drop = received == ChannelEnd::Received::Ended;
    {
        std::lock_guard lock(mutex_);
        while (std::optional<std::string> line = follower->lines.Next()) {
            const FollowerVerdict verdict = JudgeFollowerLine(&follower->standing, *line);
            if (verdict.act == FollowerAct::Drop) {
                why = verdict.why;
                break;
            }
            if (verdict.act == FollowerAct::OwnerWord) {
                ownerWords.push_back(verdict.word);
            } else if (verdict.act == FollowerAct::Greet) {
                // What the others were told first, so that where the flash
                // stands is told after it; then every event from here on.
                TellFollowers();
                SendTo(*follower, EventOf(TransferWord::Record, 0, 0, record_));
                TransferEvent now = EventOf(TransferWord::Snapshot, snapshot_.accepted, snapshot_.count);
                now.snapshot = snapshot_;
                now.snapshot.starterPresent = !starterGone_;
                SendTo(*follower, now);
                for (const TransferEvent &event : answer_) SendTo(*follower, event);
            } else if (starterGone_ && adopter_ == nullptr) {
                Adopt(*follower);
            }
        }
        if (why.empty() && follower->lines.Damaged()) why = DamagedFollowerLines();
        drop = drop || !why.empty() || follower->lost;
    }
    for (const FrontEndWord word : ownerWords) ownerWord_(word);
    if (drop) Drop(follower, why);
}

void Followers::Drop(Follower *follower, const std::string &why) {
    bool adopterLost = false;
    {
        std::lock_guard lock(mutex_);
        // Gone already: the place was given up (a release of its adopter's
        // ends the flash) while its lines were read.
        if (std::none_of(followers_.begin(), followers_.end(), [follower](const auto &f) { return f.get() == follower; }))
            return;
        adopterLost = follower == adopter_;
        if (adopterLost) adopter_ = nullptr;
        // Its watch first (safe within its own call), then its end.
        follower->watch.reset();
        std::erase_if(followers_, [follower](const auto &f) { return f.get() == follower; });
    }
    // A follower that did wrong is said, a few times a flash at most (a
    // program that keeps doing it fills no one's terminal): the flash goes
    // on all the same.
    if (!why.empty()) Said("a follower of this flash was let go: " + why + "; the flash goes on.");
    if (!adopterLost) return;
    AdoptNext();
    if (!Adopted()) adopterGone_();
}

void Followers::AdoptNext() {
    std::lock_guard lock(mutex_);
    if (adopter_ != nullptr || !starterGone_) return;
    for (const auto &follower : followers_) {
        if (!follower->standing.greeted || !follower->standing.watching || follower->lost) continue;
        Adopt(*follower);
        return;
    }
}

void Followers::Adopt(Follower &follower) {
    adopter_ = &follower;
    follower.standing.adopter = true;
    SendTo(follower, EventOf(TransferWord::Adopt));
}

bool Followers::StarterGone() {
    {
        std::lock_guard lock(mutex_);
        starterGone_ = true;
        TellFollowers();
        for (const auto &follower : followers_)
            if (follower->standing.greeted) SendTo(*follower, EventOf(TransferWord::StarterGone));
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
    TellFollowers();  // the last of it: the drive released
    for (const auto &follower : followers_) {
        follower->watch.reset();
        follower->end.Close();
    }
    followers_.clear();
    adopter_ = nullptr;
}
