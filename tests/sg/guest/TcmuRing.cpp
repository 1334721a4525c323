#include "tests/sg/guest/TcmuRing.h"

#include <algorithm>
#include <cstring>

namespace tcmu {
namespace {

// The mailbox's two moving fields, as 32-bit words the kernel and the
// handler hand over to each other: head written by the kernel, tail by us.
uint32_t *Word(uint8_t *region, size_t offset) { return reinterpret_cast<uint32_t *>(region + offset); }
constexpr size_t kHeadOffset = offsetof(tcmu_mailbox, cmd_head);
constexpr size_t kTailOffset = offsetof(tcmu_mailbox, cmd_tail);

// Fields of a packed entry, read and written by offset.
template <typename T>
T Get(const uint8_t *at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
template <typename T>
void Put(uint8_t *at, T value) {
    std::memcpy(at, &value, sizeof value);
}

constexpr size_t kStatusOffset = offsetof(tcmu_cmd_entry, rsp.scsi_status);
constexpr size_t kReadLenOffset = offsetof(tcmu_cmd_entry, rsp.read_len);
constexpr size_t kSenseOffset = offsetof(tcmu_cmd_entry, rsp.sense_buffer);
constexpr size_t kIovOffset = offsetof(tcmu_cmd_entry, req.iov);
constexpr size_t kUflagsOffset = offsetof(tcmu_cmd_entry, hdr.uflags);

}  // namespace

size_t RingCdbLength(const uint8_t *cdb) {
    static constexpr uint8_t kByGroup[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    if (cdb[0] == 0x7F) return 8u + cdb[7];  // variable length
    return kByGroup[(cdb[0] >> 5) & 7];
}

size_t Command::DataLength() const {
    size_t length = 0;
    for (const auto &piece : pieces) length += piece.size();
    return length;
}

std::vector<uint8_t> Command::Data() const {
    std::vector<uint8_t> bytes;
    bytes.reserve(DataLength());
    for (const auto &piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return bytes;
}

Ring::Ring(uint8_t *region, size_t size) : region_(region), size_(size) {}

tcmu_mailbox *Ring::Mailbox() const { return reinterpret_cast<tcmu_mailbox *>(region_); }

bool Ring::Inside(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
}

bool Ring::Valid() const {
    if (size_ < sizeof(tcmu_mailbox)) return false;
    const tcmu_mailbox mailbox = Get<tcmu_mailbox>(region_);
    return mailbox.version == TCMU_MAILBOX_VERSION && mailbox.cmdr_size > 0 &&
           mailbox.cmdr_off >= sizeof(tcmu_mailbox) && Inside(mailbox.cmdr_off, mailbox.cmdr_size);
}

bool Ring::Read(const tcmu_cmd_entry &entry, size_t entryLength, Command &command) const {
    const auto *at = reinterpret_cast<const uint8_t *>(&entry);
    const uint32_t pieces = Get<uint32_t>(at + offsetof(tcmu_cmd_entry, req.iov_cnt));
    // Data in both directions, or protection data: never sent to a CD/DVD drive.
    if (Get<uint32_t>(at + offsetof(tcmu_cmd_entry, req.iov_bidi_cnt)) != 0 ||
        Get<uint32_t>(at + offsetof(tcmu_cmd_entry, req.iov_dif_cnt)) != 0)
        return false;
    if (pieces > (entryLength - std::min(entryLength, kIovOffset)) / sizeof(iovec)) return false;
    command.id = Get<uint16_t>(at + offsetof(tcmu_cmd_entry, hdr.cmd_id));

    const uint64_t cdbOffset = Get<uint64_t>(at + offsetof(tcmu_cmd_entry, req.cdb_off));
    if (!Inside(cdbOffset, 1)) return false;
    const size_t cdbLength = RingCdbLength(region_ + cdbOffset);
    if (!Inside(cdbOffset, cdbLength)) return false;
    command.cdb.assign(region_ + cdbOffset, region_ + cdbOffset + cdbLength);

    command.pieces.clear();
    for (uint32_t i = 0; i < pieces; ++i) {
        const iovec piece = Get<iovec>(at + kIovOffset + i * sizeof(iovec));
        const auto offset = reinterpret_cast<uint64_t>(piece.iov_base);  // an offset into the region
        if (!Inside(offset, piece.iov_len)) return false;
        command.pieces.emplace_back(region_ + offset, piece.iov_len);
    }
    return true;
}

void Ring::Write(tcmu_cmd_entry &entry, const Command &command, const Reply &reply) const {
    auto *at = reinterpret_cast<uint8_t *>(&entry);
    // The answer's fields lie over the request's: everything needed from the
    // request has been read by now.
    size_t copied = 0;
    for (const auto &piece : command.pieces) {
        if (copied == reply.dataIn.size()) break;
        const size_t n = std::min(piece.size(), reply.dataIn.size() - copied);
        std::memcpy(piece.data(), reply.dataIn.data() + copied, n);
        copied += n;
    }
    Put<uint8_t>(at + kStatusOffset, reply.status);
    std::memset(at + kSenseOffset, 0, TCMU_SENSE_BUFFERSIZE);
    if (!reply.sense.empty())
        std::memcpy(at + kSenseOffset, reply.sense.data(), std::min<size_t>(reply.sense.size(), TCMU_SENSE_BUFFERSIZE));
    // The bytes sent, so a short answer is not taken for a whole buffer.
    // Only a kernel that offers it reads it, and only for data-in commands.
    if (copied > 0 && (Mailbox()->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN)) {
        Put<uint32_t>(at + kReadLenOffset, static_cast<uint32_t>(copied));
        at[kUflagsOffset] |= TCMU_UFLAG_READ_LEN;
    }
}

size_t Ring::Serve(const std::function<Reply(const Command &)> &answer) {
    if (!Valid()) return 0;
    const tcmu_mailbox mailbox = Get<tcmu_mailbox>(region_);
    uint8_t *ring = region_ + mailbox.cmdr_off;
    const uint32_t size = mailbox.cmdr_size;
    const uint32_t head = __atomic_load_n(Word(region_, kHeadOffset), __ATOMIC_ACQUIRE) % size;
    uint32_t tail = __atomic_load_n(Word(region_, kTailOffset), __ATOMIC_RELAXED) % size;

    size_t retired = 0;
    Command command;
    while (tail != head) {
        // Entries never wrap: the kernel pads the end of the ring instead.
        if (size - tail < sizeof(tcmu_cmd_entry_hdr)) break;
        auto &entry = *reinterpret_cast<tcmu_cmd_entry *>(ring + tail);
        const uint32_t lengthAndKind = Get<uint32_t>(ring + tail);
        const uint32_t length = tcmu_hdr_get_len(lengthAndKind);
        if (length == 0 || length > size - tail) break;  // not an entry of the kernel's
        switch (tcmu_hdr_get_op(lengthAndKind)) {
        case TCMU_OP_PAD:
        case TCMU_OP_TMR:  // aborts and resets: every command here is answered at once
            break;
        case TCMU_OP_CMD:
            if (length >= sizeof(tcmu_cmd_entry) && Read(entry, length, command))
                Write(entry, command, answer(command));
            else
                ring[tail + kUflagsOffset] |= TCMU_UFLAG_UNKNOWN_OP;
            break;
        default:
            ring[tail + kUflagsOffset] |= TCMU_UFLAG_UNKNOWN_OP;
            break;
        }
        tail = (tail + length) % size;
        ++retired;
    }
    __atomic_store_n(Word(region_, kTailOffset), tail, __ATOMIC_RELEASE);
    return retired;
}

}  // namespace tcmu
