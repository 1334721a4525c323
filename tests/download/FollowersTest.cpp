// The flash's followers served at a real place (a local socket in the test's
// runtime folder), on this test's loop: a follower that never reads is let
// go without the flash ever waiting for it, one that says garbage, floods or
// comes beyond the limit is let go or turned away with a line, and a
// follower that reads is served every event all the while.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/FlashPlace.h"
#include "transfer/Followers.h"

namespace {
constexpr uint8_t kAdapter = 7;
constexpr uint8_t kTarget = 3;

// Runs the loop until `done`, for 10 s at most.
bool Until(const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct Served {
    std::vector<std::string> said;  // the lines the flash's process was given to say
    Followers followers{[](FrontEndWord) {}, [] {}, [this](const std::string &line) { said.push_back(line); }};
    Served() {
        FlashSnapshot now;
        now.count = 7;
        now.blockKb = 60;
        followers.Serve(kAdapter, kTarget, R"({"quorvel-record":1})", now);
    }
};

// A follower of the place, its hello said.
ChannelEnd Follower() {
    std::string problem;
    ChannelEnd end = ConnectToFlashPlace(FlashPlacePath(kAdapter, kTarget, false, &problem), &problem);
    EXPECT_TRUE(end.Open()) << problem;
    EXPECT_TRUE(end.Send("quorvel-transfer 3\n"));
    return end;
}

// What `end` has been sent so far, read without waiting; false once it ended.
bool Read(ChannelEnd &end, std::string *into) {
    for (;;) {
        const ChannelEnd::Received received = end.Receive(into);
        if (received == ChannelEnd::Received::Ended) return false;
        if (received == ChannelEnd::Received::Nothing) return true;
    }
}

size_t Lines(const std::string &bytes) { return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')); }
}  // namespace

TEST(Followers, AFollowerThatNeverReadsIsLetGoAndTheFlashNeverWaitsForIt) {
    Served served;
    ChannelEnd stalled = Follower();
    ChannelEnd reading = Follower();
    std::string got;
    // Each is greeted with the hello, the record's line and the snapshot.
    ASSERT_TRUE(Until([&] { return Read(reading, &got) && Lines(got) >= 3; }));
    ASSERT_EQ(got.substr(0, got.find('\n')), "quorvel-transfer 3");
    // Events told as the worker tells them: every one returns at once (one
    // that waited would hold this test for ever), until the stalled
    // follower's buffer is full and it is let go.
    const TransferEvent event = EventOf(TransferWord::Say, 0, 0, std::string(200, 'x'));
    size_t told = 0;
    while (served.said.empty() && told < 100000) {
        served.followers.Tell(event);
        ++told;
        ASSERT_TRUE(Read(reading, &got));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 0);
    }
    EXPECT_EQ(served.said, std::vector<std::string>{"a follower of this flash was let go: it did not keep up with the "
                                                    "flash; the flash goes on."});
    // The reading follower had every event all the while.
    ASSERT_TRUE(Until([&] { return Read(reading, &got) && Lines(got) == 3 + told; }));
    // The stalled one finds its end once it reads what it was sent.
    std::string stalledGot;
    EXPECT_TRUE(Until([&] { return !Read(stalled, &stalledGot); }));
    EXPECT_LT(Lines(stalledGot), 3 + told);
}

TEST(Followers, GarbageAFloodOrOneFollowerTooManyIsEachSaidAndTheOthersAreServed) {
    Served served;
    ChannelEnd garbled = Follower();
    ASSERT_TRUE(garbled.Send("frob\n"));
    ChannelEnd flooding = Follower();
    ASSERT_TRUE(flooding.Send(std::string(20000, 'w')));
    std::string ignored;
    ASSERT_TRUE(Until([&] { return !Read(garbled, &ignored) && !Read(flooding, &ignored); }));
    // Thirty-two are served; the thirty-third is turned away.
    std::vector<ChannelEnd> more;
    for (int i = 0; i < 33; ++i) {
        more.push_back(Follower());
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);  // accepted as they come
    }
    ASSERT_TRUE(Until([&] { return !Read(more.back(), &ignored); }));
    EXPECT_EQ(served.said,
              (std::vector<std::string>{
                  "a follower of this flash was let go: it said what this channel does not carry (\"frob\"); the "
                  "flash goes on.",
                  "a follower of this flash was let go: its lines were damaged (a line over 16 KiB, or a zero byte); "
                  "the flash goes on.",
                  "a front end was turned away: at most 32 follow a flash at once."}));
    served.followers.Tell(EventOf(TransferWord::Block, 1, 7));
    std::string got;
    ASSERT_TRUE(Until([&] { return Read(more.front(), &got) && Lines(got) == 4; }));
    EXPECT_EQ(got.substr(got.rfind('\n', got.size() - 2) + 1), "block 1 7\n") << "the others are served";
}
