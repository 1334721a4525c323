// The flash's process's session, declared for the two files that hold it:
// Transfer.cpp, its stages on the loop, and TransferBlocks.cpp, the worker
// that sends the blocks. Private to quorvel_transfer.
#pragma once

#include <functional>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "image/BlockPlan.h"
#include "channel/FlashChannel.h"
#include "record/FlashRecord.h"
#include "channel/FlashTexts.h"
#include "drive/FailureCause.h"
#include "drive/Presence.h"
#include "drive/Probe.h"
#include "record/FlashHistory.h"
#include "record/FlashOutcome.h"
#include "drive/Scsi.h"
#include "platform/FlashProcess.h"
#include "platform/System.h"
#include "transfer/Followers.h"
#include "platform/aspi.h"
#include "platform/Pause.h"
#include "platform/wnaspi32.h"
#include "state/SharedState.h"

class TransferSession {
public:
    TransferSession(int channel, int image, std::function<void(int)> ended)
        : channel_(ChannelEnd::Adopt(channel)),
          imageFd_(image),
          ended_(std::move(ended)),
          followers_([this](FrontEndWord word) { TakeOwnerWord(word); }, [this] { AdopterGone(); },
                     [this](const std::string &line) { Say(line); }) {}

    void Prepare();
    void EndRequested();
    const std::string &Program() const { return program_; }

private:
    bool ReadFigures(std::string *problem);
    void Send(const TransferEvent &event);
    void Say(const std::string &line);
    void Record(RecordEvent event, int block, const std::string &detail = {});
    void Finish(int status);
    void OnReadable();
    void TakeOwnerWord(FrontEndWord word);
    void StarterGone();
    void AdopterGone();
    void Start();
    void Answered();
    void AfterTheAnswer();
    void FrontEndGone();
    static DWORD Worker(void *session);
    void SendBlocks();
    FlashOutcome Failed(int block, int count, const ScsiAnswer &answer);

    ChannelEnd channel_;
    int imageFd_;
    std::function<void(int)> ended_;
    ChannelLines lines_;
    Hold watch_;

    // The flash, fixed before the worker starts; the worker reads them.
    int64_t size_ = 0;
    int blockKb_ = 0;
    int blocks_ = 0;
    uint8_t adapter_ = 0;
    uint8_t target_ = 0;
    DriveTransport transport_ = DriveTransport::Unknown;
    SealedImage image_;
    BlockPlan plan_;
    FlashRecord record_;
    std::string program_ = "quorvel";
    bool restartWanted_ = false;  // the starter will ask for the restart once the drive accepted

    Hold drive_;      // keeps other processes off the drive, until the session ends
    Hold inhibitor_;  // no shutdown, sleep or logout while the drive is written
    HANDLE worker_ = nullptr;

    // Written by the worker before its hand-over, read on the loop after it.
    FlashOutcome outcome_;        // the drive's answer
    bool restartWasDue_ = false;  // the final block went out: a restart would finish the update

    enum class Stage { Preparing, Held, Writing, Answered, Finished };
    Stage stage_ = Stage::Preparing;  // on the loop
    bool letGoWhenAnswered_ = false;  // released by the front end, or an end requested, while written
    bool settled_ = false;            // the front end has said what became of the restart
    std::mutex sendMutex_;            // the worker and the loop both send
    bool frontEndGone_ = false;       // the starter; written on the loop under sendMutex_, read by the worker under it
    Followers followers_;             // the front ends that follow the flash; one adopts it when the starter is gone
};
