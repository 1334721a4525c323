// The flash's own process: everything of a flash that must outlive the front
// end that started it (the window, quorvel-flash). It holds the drive and
// the shutdown inhibitors, sends every block from the image's sealed copy,
// writes the drive's answer into the record, and tells its front end each
// event over the channel (FlashChannel.h). Its front end gone (killed, its
// display or compositor gone, a crash), it finishes the flash all the same,
// records that no restart was requested, lets the drive go once the drive
// has answered, and ends; it never asks for a restart itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "image/BlockPlan.h"
#include "drive/Scsi.h"

class TransferSession;
struct TransferSessionEnd {
    void operator()(TransferSession *session) const;
};
// A session, destroyed only once it has called `ended` (or never started a
// worker): its worker and its loop's calls are over by then.
using TransferSessionHold = std::unique_ptr<TransferSession, TransferSessionEnd>;

// Starts the flash that the front end has described on `channel` (its first
// lines, written before the process was started) with the image's sealed
// copy `image`; both descriptors become the session's. The session runs on
// the calling thread's event loop, its blocks on a thread of their own.
// `ended` is called once, on that loop, when the session is over (the drive
// let go, the channel closed), with the process's exit status.
TransferSessionHold StartTransferSession(int channel, int image, std::function<void(int status)> ended);

// The front end's name, as its figures gave it: what the process's lines on
// standard error begin with. Empty when the figures could not be read.
std::string TransferSessionProgram(const TransferSession *session);

// A request to end the process (SIGTERM, SIGINT, SIGHUP): held while the
// drive is written; afterwards the drive is let go and the session ends.
void TransferSessionEndRequested(TransferSession *session);

// One block as the flash's worker sends it: its bytes from the image's copy
// into the start of TransferBuffer (the rest of the buffer as the blocks
// before left it), byte 5 of DownloadCommand, and the command moving 65536
// bytes to the drive. Returns the command's answer: its completion status
// and, after a failure, what the manager filled in (statuses, sense).
ScsiAnswer SendImageBlock(const uint8_t *image, const BlockStep &step, uint8_t adapter, uint8_t target);
