// What a flash's own process needs from the system: the image's bytes in
// memory that nobody can change once they are checked, handed over as a
// descriptor; a channel of lines to its front end; and the process itself,
// started in a session of its own so that nothing aimed at its front end
// (a closed terminal, Ctrl+C, the front end's death) reaches it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Hold.h"
#include "platform/win32.h"

class RawFile;

// A copy of an image in memory of its own (a memfd), sealed once written:
// from then on nobody, this process, the flash's process or anyone else the
// descriptor reaches, can change, grow or shrink it. Mapped read-only.
class SealedImage {
public:
    enum class Failure {
        None,
        NoMemory,    // no room for the copy
        Unreadable,  // the file could not be read to its end
    };
    SealedImage() = default;
    SealedImage(SealedImage &&other) noexcept;
    SealedImage &operator=(SealedImage &&other) noexcept;
    SealedImage(const SealedImage &) = delete;
    SealedImage &operator=(const SealedImage &) = delete;
    ~SealedImage();

    // The first `length` bytes of `file`.
    static SealedImage Copy(RawFile *file, int64_t length, Failure *failure);
    // A descriptor this process was handed: taken only when it is sealed
    // against every change and exactly `length` bytes long (else `problem`
    // says why, and the descriptor is closed).
    static SealedImage Adopt(int descriptor, int64_t length, std::string *problem);

    bool Valid() const { return bytes_ != nullptr; }
    const uint8_t *Bytes() const { return bytes_; }
    int64_t Size() const { return size_; }
    int Descriptor() const { return fd_; }

private:
    void Reset();
    int fd_ = -1;
    const uint8_t *bytes_ = nullptr;
    int64_t size_ = 0;
};

// One end of a channel: a local stream socket, lines both ways.
class ChannelEnd {
public:
    enum class Received { Data, Nothing, Ended };

    ChannelEnd() = default;
    ChannelEnd(ChannelEnd &&other) noexcept;
    ChannelEnd &operator=(ChannelEnd &&other) noexcept;
    ChannelEnd(const ChannelEnd &) = delete;
    ChannelEnd &operator=(const ChannelEnd &) = delete;
    ~ChannelEnd();

    // A new channel's two ends, close-on-exec; false when the system has
    // none to give.
    static bool MakePair(ChannelEnd *ours, ChannelEnd *theirs);
    // A descriptor this process was handed.
    static ChannelEnd Adopt(int descriptor);

    bool Open() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    // Sends all of `bytes`; false once the other end has gone (never a
    // SIGPIPE). Waits only while the other end's buffer is full.
    bool Send(const std::string &bytes);
    // Sends all of `bytes` at once, never waiting: false when the other end
    // has gone or its buffer has no room for them (what was sent then is cut
    // off; the caller closes this end).
    bool SendWithoutWaiting(const std::string &bytes);
    // The process at the other end, as the system tells it (the one that
    // made it, for a socket pair); -1 when it cannot be told.
    int PeerProcess() const;
    // What has arrived, appended to `into`, without waiting: Data, Nothing
    // yet, or Ended (the other end closed, or the channel failed).
    Received Receive(std::string *into);
    // Waits up to `milliseconds` until something can be read, or the other
    // end has gone; false when the time ran out.
    bool WaitReadable(int milliseconds);
    // `onReadable` runs on the user-interface thread each time something can
    // be read or the other end has gone, until the hold is destroyed, which
    // must be before this end is closed.
    Hold Watch(std::function<void()> onReadable);
    // The same for any descriptor of the platform's.
    static Hold WatchDescriptor(int fd, std::function<void()> onReadable);
    void Close();

private:
    int fd_ = -1;
};

// A descriptor this process was handed and does not take, closed.
void CloseHandedDescriptor(int descriptor);

namespace qtlayer {

// The flash's process, quorvel-transfer, started in a session of its own
// with `channel` as its descriptor 3 and `image` as its descriptor 4, no
// standard input or output, and nothing else of this process's but its
// standard error; the signals blocked as the calling thread
// has them (SIGTERM, SIGINT and SIGHUP, in the front ends). The program is
// looked for beside the manager, where an install puts it, then beside this
// program (a build tree). nullptr when it cannot be started, `error` saying
// why. Behind Win32Layer::StartFlashProcess.
HANDLE SpawnFlashProcess(int channel, int image, std::string *error);
// Waits up to `milliseconds` for it to end. True once it has: `how` says
// how ("it ended with status 0", "it was killed by signal 9"), and the
// handle is let go. Behind Win32Layer::FlashProcessEnded.
bool WaitForFlashProcess(HANDLE process, DWORD milliseconds, std::string *how);

}  // namespace qtlayer
