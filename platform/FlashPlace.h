// Where a flash under way can be found by any front end of the same user,
// from its drive alone: a local socket per drive in the user's runtime folder
// ($XDG_RUNTIME_DIR/quorvel/, the user's alone, 0700), on which the flash's
// process serves its flash. The process checks who connects, and the front end
// who listens: both must be this user.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/FlashProcess.h"
#include "platform/Hold.h"

// The place of drive (adapter, target): $XDG_RUNTIME_DIR/quorvel/flash-A-T.
// With `make`, the folder is made (0700) when it is missing. Empty, with
// `problem` saying why, when there is no runtime folder, it is not the
// user's alone, or the path is too long for a socket.
std::string FlashPlacePath(uint8_t adapter, uint8_t target, bool make, std::string *problem);

struct FlashPlaceFound {
    uint8_t adapter = 0;
    uint8_t target = 0;
    std::string path;
};
// Every place in the user's runtime folder, whether or not a flash still
// serves it (a process killed leaves its socket behind). Empty when there is
// no folder; `problem` says so when the folder cannot be used.
std::vector<FlashPlaceFound> FlashPlaces(std::string *problem);

// The flash's process's side: its socket, listening, until destroyed (the
// socket file then removed, when it is still this one's).
class FlashPlaceListener {
public:
    // A socket left behind by a process that ended is replaced; one that a
    // process still serves is not (`problem` says so). Null when the place
    // cannot be had.
    static std::unique_ptr<FlashPlaceListener> Open(const std::string &path, std::string *problem);
    ~FlashPlaceListener();
    FlashPlaceListener(const FlashPlaceListener &) = delete;
    FlashPlaceListener &operator=(const FlashPlaceListener &) = delete;

    // The next front end that connected, when it is this user's: its end,
    // which never waits to send (SendWithoutWaiting). Another user's is
    // closed at once, `refused` saying whose. Nothing: no one is waiting.
    ChannelEnd Accept(std::string *refused);
    // `onConnecting` runs on the user-interface thread while someone waits to
    // be accepted, until the hold is destroyed.
    Hold Watch(std::function<void()> onConnecting);

private:
    FlashPlaceListener(int fd, std::string path, uint64_t inode);
    int fd_;
    std::string path_;
    uint64_t inode_;
};

// A front end's side: connected to the flash served at `path`, after checking
// that this user's process serves it. An end that is not open, with
// `problem` saying why, when none does (no socket, a socket left behind, a
// process of another user).
ChannelEnd ConnectToFlashPlace(const std::string &path, std::string *problem);
