// The command ring of the kernel's SCSI target user backstore
// (target_core_user): one region, mapped from the backstore's UIO device,
// that holds a mailbox, a ring of command entries and a data area. This file
// takes the commands out of the ring and writes their answers back into it;
// what a command means is the caller's business.
//
// The kernel writes an entry, then moves the mailbox's cmd_head; the handler
// answers the entries from cmd_tail up to cmd_head, in order, moves cmd_tail
// past them, and then tells the kernel with a write to the UIO device.
// Offsets in the ring are the kernel's and are checked against the region
// before anything is read or written through them.
#pragma once

// The kernel's interface. Its struct iovec is the C library's, which comes
// first; the kernel's own definition of it must then stay out. Its inline
// helpers are C: C++ takes one of them (an integer returned as an enum) only
// with -fpermissive, which the files including this one are built with.
#include <sys/uio.h>
#define __LINUX_UIO_H
#include <linux/target_core_user.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tcmu {

// How many CDB bytes the kernel copies into the ring. The ring keeps no CDB
// length: the kernel copies as many bytes as the operation code's group
// says (6, 10, 12 or 16; a variable-length 0x7F its own length), so a vendor
// command (group 6 or 7) of 12 bytes arrives with its first 10.
size_t RingCdbLength(const uint8_t *cdb);

// One SCSI command as the ring holds it.
struct Command {
    uint16_t id = 0;
    std::vector<uint8_t> cdb;                // RingCdbLength bytes
    std::vector<std::span<uint8_t>> pieces;  // the data buffer, in the region, in order

    size_t DataLength() const;
    // The buffer's bytes as they are now: a data-out command's data.
    std::vector<uint8_t> Data() const;
};

// The answer to one command.
struct Reply {
    uint8_t status = 0;           // SCSI status: 0x00 GOOD, 0x02 CHECK CONDITION
    std::vector<uint8_t> sense;   // with CHECK CONDITION; at most TCMU_SENSE_BUFFERSIZE bytes are sent
    std::vector<uint8_t> dataIn;  // copied to the start of the buffer, cut to its length; the
                                  // length sent is reported so the caller sees the residue
};

class Ring {
public:
    // `region` is the whole mapping, `size` its length.
    Ring(uint8_t *region, size_t size);

    // Whether the mailbox is one this file knows and its ring lies inside
    // the region.
    bool Valid() const;

    // Answers every command the kernel has put into the ring and not yet
    // seen answered, in order, with what `answer` replies; steps over
    // padding and task management entries, and marks an entry it cannot
    // read (an unknown kind, an offset outside the region) as unknown, which
    // the kernel fails. Returns how many entries it retired: when above 0,
    // the kernel must be told.
    size_t Serve(const std::function<Reply(const Command &)> &answer);

private:
    tcmu_mailbox *Mailbox() const;
    bool Inside(uint64_t offset, uint64_t length) const;
    bool Read(const tcmu_cmd_entry &entry, size_t entryLength, Command &command) const;
    void Write(tcmu_cmd_entry &entry, const Command &command, const Reply &reply) const;

    uint8_t *region_;
    size_t size_;
};

}  // namespace tcmu
