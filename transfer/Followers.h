// The front ends that follow a flash under way, served by the flash's process
// at the flash's place (platform/FlashPlace.h): each told first where the
// flash stands (its record's line, its snapshot, and the drive's answer once
// given), then every event as its starter hears it. A follower only reads:
// its lines are its hello, and "watch" when it watches to the end. The first
// that watches adopts the flash when its starter is gone: it then owns the
// flash's end, and its lines are read as the starter's were (the restart's
// words, release). A follower that does not
// keep up, speaks another version or says anything else is dropped: it never
// slows or harms the flash.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channel/FlashChannel.h"
#include "platform/FlashPlace.h"

class Followers {
public:
    // No more followers than this at once; one more is turned away.
    static constexpr size_t kMost = 32;
    // No more lines than this about followers refused or let go, a flash.
    static constexpr int kSaidMost = 4;

    // `ownerWord`: a word of the follower that adopted the flash, for the
    // session to take as its starter's (FollowerLine.h says which). `adopterGone`: that follower has
    // gone, and no other is left to adopt it. `say`: what the session should
    // tell (a follower refused, the place that cannot be served).
    Followers(std::function<void(FrontEndWord word)> ownerWord, std::function<void()> adopterGone,
              std::function<void(const std::string &line)> say);
    ~Followers();

    // Serves the flash at the place of drive (adapter, target); `record` is
    // the flash's line of the record, `snapshot` where it stands now. When
    // there is no place, the flash goes on unfollowed, `say` told why.
    void Serve(uint8_t adapter, uint8_t target, const std::string &record, const FlashSnapshot &snapshot);
    // Every event the flash's starter is told, told to every follower too;
    // from any thread. From the worker it is only noted: the loop sends it,
    // so that no follower, nor their number, holds up the next block.
    void Tell(const TransferEvent &event);
    // The starter has gone: every follower is told, and the first adopts the
    // flash; true when one did.
    bool StarterGone();
    // Whether a follower owns the flash's end now.
    bool Adopted() const;
    // The place given up: no follower more; the ones there are let go.
    void Close();

private:
    struct Follower;
    void OnConnecting();
    void OnReadable(Follower *follower);
    void Drop(Follower *follower, const std::string &why);
    void Adopt(Follower &follower);  // under mutex_
    void DropLost();
    void AdoptNext();
    void Said(const std::string &line);  // on the loop, never under mutex_
    void SendTo(Follower &follower, const TransferEvent &event);
    void SendLines(Follower &follower, const std::string &lines);
    void Flush();          // on the loop
    void TellFollowers();  // under mutex_, on the loop: what was told since, to every follower

    std::function<void(FrontEndWord)> ownerWord_;
    std::function<void()> adopterGone_;
    std::function<void(const std::string &)> say_;
    std::unique_ptr<FlashPlaceListener> place_;
    Hold placeWatch_;

    mutable std::mutex mutex_;  // the worker tells, the loop accepts and drops
    std::vector<std::unique_ptr<Follower>> followers_;
    std::string record_;
    FlashSnapshot snapshot_;
    std::vector<TransferEvent> answer_;  // the drive's answer, once given
    std::string told_;                   // lines told and not yet sent to the followers
    bool tellQueued_ = false;            // the loop will send them
    bool starterGone_ = false;
    Follower *adopter_ = nullptr;
    int saidOfFollowers_ = 0;  // on the loop
};
