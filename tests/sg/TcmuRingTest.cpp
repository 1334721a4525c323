// The user backstore's command ring, laid out in memory as the kernel lays
// it out: what a handler reads from an entry (the CDB bytes the kernel
// copied, the data in its pieces), what it writes back (status, sense, data
// and its length), and how it walks the ring (padding, wrap-around, entries
// it must not answer).
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "tests/sg/guest/TcmuRing.h"

namespace {

constexpr uint32_t kRingOffset = sizeof(tcmu_mailbox);
constexpr uint32_t kRingSize = 4096;
constexpr uint64_t kDataOffset = 8192;
constexpr size_t kRegionSize = kDataOffset + 128 * 1024;

using Piece = std::pair<uint64_t, uint32_t>;  // offset in the region, length

class FakeRing {
public:
    explicit FakeRing(uint16_t flags = TCMU_MAILBOX_FLAG_CAP_READ_LEN) : words_(kRegionSize / 8) {
        tcmu_mailbox mailbox{};
        mailbox.version = TCMU_MAILBOX_VERSION;
        mailbox.flags = flags;
        mailbox.cmdr_off = kRingOffset;
        mailbox.cmdr_size = kRingSize;
        std::memcpy(Bytes(), &mailbox, sizeof mailbox);
    }

    uint8_t *Bytes() { return reinterpret_cast<uint8_t *>(words_.data()); }
    tcmu::Ring Ring() { return tcmu::Ring(Bytes(), kRegionSize); }

    uint32_t Head() { return Word(offsetof(tcmu_mailbox, cmd_head)); }
    uint32_t Tail() { return Word(offsetof(tcmu_mailbox, cmd_tail)); }
    // Both ends at `position`: an empty ring that has been used up to there.
    void Start(uint32_t position) {
        SetWord(offsetof(tcmu_mailbox, cmd_head), position);
        SetWord(offsetof(tcmu_mailbox, cmd_tail), position);
    }

    // A command entry at the head, as the kernel writes one: the iovecs
    // after the request fields, the CDB after the entry's base size.
    uint32_t Push(const std::vector<uint8_t> &cdb, const std::vector<Piece> &pieces, uint16_t id = 7,
                  uint32_t bidi = 0) {
        const size_t base = std::max(offsetof(tcmu_cmd_entry, req.iov) + pieces.size() * sizeof(iovec),
                                     sizeof(tcmu_cmd_entry));
        const uint32_t length = static_cast<uint32_t>(base + (cdb.size() + 7) / 8 * 8);
        const uint32_t at = Head();
        uint8_t *entry = Entry(at);
        std::memset(entry, 0, length);
        uint32_t lengthAndKind = length | TCMU_OP_CMD;
        std::memcpy(entry, &lengthAndKind, 4);
        std::memcpy(entry + offsetof(tcmu_cmd_entry, hdr.cmd_id), &id, 2);
        const uint32_t count = static_cast<uint32_t>(pieces.size());
        std::memcpy(entry + offsetof(tcmu_cmd_entry, req.iov_cnt), &count, 4);
        std::memcpy(entry + offsetof(tcmu_cmd_entry, req.iov_bidi_cnt), &bidi, 4);
        const uint64_t cdbOffset = kRingOffset + at + base;
        std::memcpy(entry + offsetof(tcmu_cmd_entry, req.cdb_off), &cdbOffset, 8);
        for (size_t i = 0; i < pieces.size(); ++i) {
            iovec piece{reinterpret_cast<void *>(pieces[i].first), pieces[i].second};
            std::memcpy(entry + offsetof(tcmu_cmd_entry, req.iov) + i * sizeof(iovec), &piece, sizeof piece);
        }
        std::memcpy(Bytes() + cdbOffset, cdb.data(), cdb.size());
        Advance(length);
        return at;
    }
    // An entry of another kind (padding, task management, unknown).
    uint32_t PushKind(uint32_t kind, uint32_t length) {
        const uint32_t at = Head();
        std::memset(Entry(at), 0, std::min<uint32_t>(length, 64));
        const uint32_t lengthAndKind = length | kind;
        std::memcpy(Entry(at), &lengthAndKind, 4);
        Advance(length);
        return at;
    }

    uint8_t Status(uint32_t at) { return Entry(at)[offsetof(tcmu_cmd_entry, rsp.scsi_status)]; }
    uint8_t Flags(uint32_t at) { return Entry(at)[offsetof(tcmu_cmd_entry, hdr.uflags)]; }
    uint32_t ReadLength(uint32_t at) {
        uint32_t value;
        std::memcpy(&value, Entry(at) + offsetof(tcmu_cmd_entry, rsp.read_len), 4);
        return value;
    }
    std::vector<uint8_t> Sense(uint32_t at) {
        const uint8_t *sense = Entry(at) + offsetof(tcmu_cmd_entry, rsp.sense_buffer);
        return {sense, sense + TCMU_SENSE_BUFFERSIZE};
    }

private:
    uint8_t *Entry(uint32_t at) { return Bytes() + kRingOffset + at; }
    uint32_t Word(size_t offset) {
        uint32_t value;
        std::memcpy(&value, Bytes() + offset, 4);
        return value;
    }
    void SetWord(size_t offset, uint32_t value) { std::memcpy(Bytes() + offset, &value, 4); }
    void Advance(uint32_t length) { SetWord(offsetof(tcmu_mailbox, cmd_head), (Head() + length) % kRingSize); }

    std::vector<uint64_t> words_;  // 8-byte aligned, as a mapping is
};

// The download command's first block as the kernel copies it: 10 of 12 bytes.
const std::vector<uint8_t> kDownloadInRing = {0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kInquiry = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};

TEST(TcmuRing, CdbLengthFollowsTheOperationCodesGroupAsTheKernelCopiesIt) {
    struct Case {
        uint8_t opcode;
        size_t length;
    } cases[] = {{0x00, 6},  {0x12, 6},  {0x1F, 6},  {0x25, 10}, {0x28, 10}, {0x5A, 10},
                 {0x88, 16}, {0x9F, 16}, {0xA0, 12}, {0xA8, 12}, {0xBF, 12}, {0xC0, 10},
                 {0xE0, 10}, {0xFF, 10}};
    for (const Case &c : cases) {
        uint8_t cdb[16] = {c.opcode};
        EXPECT_EQ(tcmu::RingCdbLength(cdb), c.length) << std::hex << int(c.opcode);
    }
    uint8_t variable[16] = {0x7F, 0, 0, 0, 0, 0, 0, 0x18};
    EXPECT_EQ(tcmu::RingCdbLength(variable), 32u);
}

TEST(TcmuRing, DataOutArrivesWholeFromItsPiecesAndTheAnswerGoesIntoTheEntry) {
    FakeRing fake;
    // 64 KiB in two pieces that do not touch, as data blocks may lie.
    for (uint32_t i = 0; i < 65536; ++i)
        fake.Bytes()[kDataOffset + (i < 4096 ? i : i + 4096)] = static_cast<uint8_t>(i * 7 + 1);
    const uint32_t at = fake.Push(kDownloadInRing, {{kDataOffset, 4096}, {kDataOffset + 8192, 61440}}, 0x1234);

    std::vector<tcmu::Command> seen;
    tcmu::Ring ring = fake.Ring();
    ASSERT_TRUE(ring.Valid());
    EXPECT_EQ(ring.Serve([&](const tcmu::Command &command) {
        seen.push_back(command);
        return tcmu::Reply{};
    }), 1u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].id, 0x1234);
    EXPECT_EQ(seen[0].cdb, kDownloadInRing);
    EXPECT_EQ(seen[0].DataLength(), 65536u);
    const std::vector<uint8_t> data = seen[0].Data();
    ASSERT_EQ(data.size(), 65536u);
    for (uint32_t i = 0; i < 65536; ++i) ASSERT_EQ(data[i], static_cast<uint8_t>(i * 7 + 1)) << i;

    EXPECT_EQ(fake.Status(at), 0x00);
    EXPECT_EQ(fake.Flags(at) & TCMU_UFLAG_READ_LEN, 0);  // nothing was sent back
    EXPECT_EQ(fake.Tail(), fake.Head());
    // Nothing new: nothing to retire, nothing to tell the kernel.
    EXPECT_EQ(ring.Serve([](const tcmu::Command &) -> tcmu::Reply { ADD_FAILURE(); return {}; }), 0u);
}

TEST(TcmuRing, DataInGoesToTheBufferAndItsLengthIsReported) {
    struct Case {
        uint16_t flags;
        size_t answer;
        uint32_t reported;
    } cases[] = {{TCMU_MAILBOX_FLAG_CAP_READ_LEN, 36, 36},
                 {TCMU_MAILBOX_FLAG_CAP_READ_LEN, 200, 96},  // cut to the buffer
                 {0, 36, 0}};                                // a kernel that does not read it
    for (const Case &c : cases) {
        FakeRing fake(c.flags);
        std::memset(fake.Bytes() + kDataOffset, 0xEE, 200);
        const uint32_t at = fake.Push(kInquiry, {{kDataOffset, 64}, {kDataOffset + 128, 32}});
        tcmu::Reply reply;
        for (size_t i = 0; i < c.answer; ++i) reply.dataIn.push_back(static_cast<uint8_t>(i + 1));
        fake.Ring().Serve([&](const tcmu::Command &) { return reply; });

        const uint8_t *data = fake.Bytes() + kDataOffset;
        for (size_t i = 0; i < 200; ++i) {
            const size_t logical = i < 64 ? i : (i >= 128 && i < 160 ? i - 64 : SIZE_MAX);
            const uint8_t expected = logical < c.answer ? static_cast<uint8_t>(logical + 1) : 0xEE;
            ASSERT_EQ(data[i], expected) << "answer " << c.answer << " byte " << i;
        }
        EXPECT_EQ(fake.Status(at), 0x00);
        EXPECT_EQ(fake.ReadLength(at), c.reported);
        EXPECT_EQ((fake.Flags(at) & TCMU_UFLAG_READ_LEN) != 0, c.reported != 0);
    }
}

TEST(TcmuRing, CheckConditionCarriesItsSenseAndNothingElse) {
    FakeRing fake;
    const uint32_t at = fake.Push(kDownloadInRing, {{kDataOffset, 65536}});
    tcmu::Reply reply;
    reply.status = 0x02;
    reply.sense = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00, 0, 0, 0, 0};
    fake.Ring().Serve([&](const tcmu::Command &) { return reply; });
    EXPECT_EQ(fake.Status(at), 0x02);
    std::vector<uint8_t> expected = reply.sense;
    expected.resize(TCMU_SENSE_BUFFERSIZE, 0);  // the request's iovec no longer shows through
    EXPECT_EQ(fake.Sense(at), expected);
    EXPECT_EQ(fake.Flags(at), 0);
}

TEST(TcmuRing, PaddingAtTheRingsEndIsSteppedOverAndTheTailWraps) {
    FakeRing fake;
    fake.Start(kRingSize - 64);
    fake.PushKind(TCMU_OP_PAD, 64);  // the kernel's filler: the next entry starts at 0
    ASSERT_EQ(fake.Head(), 0u);
    const uint32_t first = fake.Push(kInquiry, {{kDataOffset, 96}}, 1);
    const uint32_t second = fake.Push(kDownloadInRing, {{kDataOffset + 4096, 65536}}, 2);
    std::vector<uint16_t> ids;
    EXPECT_EQ(fake.Ring().Serve([&](const tcmu::Command &command) {
        ids.push_back(command.id);
        tcmu::Reply reply;
        reply.status = command.id == 1 ? 0x00 : 0x02;
        return reply;
    }), 3u);
    EXPECT_EQ(ids, (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(fake.Status(first), 0x00);
    EXPECT_EQ(fake.Status(second), 0x02);
    EXPECT_EQ(fake.Tail(), fake.Head());
    EXPECT_GT(fake.Tail(), 0u);
}

TEST(TcmuRing, EntriesItCannotReadAreMarkedUnknownAndNeverAnswered) {
    FakeRing fake;
    const uint32_t outside = fake.Push(kDownloadInRing, {{kRegionSize - 100, 4096}});
    const uint32_t bidi = fake.Push(kDownloadInRing, {{kDataOffset, 512}, {kDataOffset + 512, 512}}, 7, 1);
    const uint32_t management = fake.PushKind(TCMU_OP_TMR, 64);
    const uint32_t unknown = fake.PushKind(5, 64);
    const uint32_t good = fake.Push(kInquiry, {{kDataOffset, 96}}, 9);
    std::vector<uint16_t> ids;
    EXPECT_EQ(fake.Ring().Serve([&](const tcmu::Command &command) {
        ids.push_back(command.id);
        return tcmu::Reply{};
    }), 5u);
    EXPECT_EQ(ids, std::vector<uint16_t>{9});
    EXPECT_NE(fake.Flags(outside) & TCMU_UFLAG_UNKNOWN_OP, 0);
    EXPECT_NE(fake.Flags(bidi) & TCMU_UFLAG_UNKNOWN_OP, 0);
    EXPECT_EQ(fake.Flags(management), 0);  // aborts need no answer
    EXPECT_NE(fake.Flags(unknown) & TCMU_UFLAG_UNKNOWN_OP, 0);
    EXPECT_EQ(fake.Flags(good), 0);
    EXPECT_EQ(fake.Tail(), fake.Head());
}

TEST(TcmuRing, AMailboxOfAnotherVersionIsNotServed) {
    FakeRing fake;
    fake.Push(kInquiry, {{kDataOffset, 96}});
    fake.Bytes()[0] = TCMU_MAILBOX_VERSION + 1;
    tcmu::Ring ring = fake.Ring();
    EXPECT_FALSE(ring.Valid());
    EXPECT_EQ(ring.Serve([](const tcmu::Command &) -> tcmu::Reply { ADD_FAILURE(); return {}; }), 0u);
    EXPECT_EQ(fake.Tail(), 0u);
}

}  // namespace
