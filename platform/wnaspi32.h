// The ASPI for Win32 interface as this program and every manager library
// (libwnaspi32.so.1) agree on it: the SRB_ExecSCSICmd record, packed to one
// byte with this platform's 8-byte pointers, and the published constants.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
    uint8_t SRB_Cmd;          //  0
    uint8_t SRB_Status;       //  1  written last by the manager
    uint8_t SRB_HaId;         //  2
    uint8_t SRB_Flags;        //  3
    uint32_t SRB_Hdr_Rsvd;    //  4
    uint8_t SRB_Target;       //  8
    uint8_t SRB_Lun;          //  9
    uint16_t SRB_Rsvd1;       // 10
    uint32_t SRB_BufLen;      // 12
    uint8_t *SRB_BufPointer;  // 16
    uint8_t SRB_SenseLen;     // 24
    uint8_t SRB_CDBLen;       // 25
    uint8_t SRB_HaStat;       // 26
    uint8_t SRB_TargStat;     // 27
    void *SRB_PostProc;       // 28
    uint8_t SRB_Rsvd2[20];    // 36
    uint8_t CDBByte[16];      // 56
    uint8_t SenseArea[16];    // 72
};
#pragma pack(pop)

static_assert(sizeof(SRB_ExecSCSICmd) == 88, "SRB_ExecSCSICmd must be 88 bytes");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 28);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 56);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 72);

// Commands
constexpr uint8_t SC_HA_INQUIRY = 0x00;
constexpr uint8_t SC_GET_DEV_TYPE = 0x01;
constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;

// Status values
constexpr uint8_t SS_PENDING = 0x00;
constexpr uint8_t SS_COMP = 0x01;
constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_INVALID_HA = 0x81;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_NO_ADAPTERS = 0xE8;

// Request flags
constexpr uint8_t SRB_POSTING = 0x01;
constexpr uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;

constexpr int SENSE_LEN = 14;

// SRB_Status is shared between the caller and the manager, which may write it
// from another thread: it is only ever read and written through these two.
inline uint8_t SrbStatusLoad(const SRB_ExecSCSICmd *srb) {
    return std::atomic_ref<uint8_t>(const_cast<SRB_ExecSCSICmd *>(srb)->SRB_Status)
        .load(std::memory_order_acquire);
}
inline void SrbStatusStore(SRB_ExecSCSICmd *srb, uint8_t status) {
    std::atomic_ref<uint8_t>(srb->SRB_Status).store(status, std::memory_order_release);
}

// The two entry points every manager library exports, looked up by name.
extern "C" {
using GetASPI32SupportInfoFn = uint32_t (*)(void);
using SendASPI32CommandFn = uint32_t (*)(void *);
}

// A third entry point, of this system's own and optional: a manager that
// exports it keeps every other process off a device for as long as the
// caller holds it, in the way devices are owned where the manager runs (the
// SG_IO manager: a BSD lock on the drive's block and sg nodes), so that the
// device is the same for every caller whatever the adapter numbers. Looked
// up by name like the two above; a manager without it leaves the guard to
// the program. It never waits for another holder.
//
//   uint32_t HoldASPI32Device(uint8_t adapter, uint8_t target, uint32_t request);
extern "C" {
using HoldASPI32DeviceFn = uint32_t (*)(uint8_t, uint8_t, uint32_t);
}
// Requests
constexpr uint32_t HOLD_TAKE = 0x01;     // hold the device for the caller
constexpr uint32_t HOLD_RELEASE = 0x02;  // let it go
// Answers
constexpr uint32_t HOLD_HELD = 0x01;      // taken: the caller's until released, or until the process ends
constexpr uint32_t HOLD_RELEASED = 0x02;  // let go (also when it was not held)
constexpr uint32_t HOLD_BUSY = 0x03;      // someone else holds it, another process or another hold of
                                          // this one: nothing taken
constexpr uint32_t HOLD_CANNOT = 0x04;    // no hold can be had (no device there, an unknown request, the
                                          // system refused the lock): nothing taken
// Where the manager knows more of the device than whether another holder has it (the SG_IO manager,
// which also opens the drive's block node for writing with O_EXCL, as disc writers do, so that the
// kernel stops polling the drive for media meanwhile):
constexpr uint32_t HOLD_MOUNTED = 0x05;      // a disc in the drive is mounted: nothing taken;
                                             // HoldASPI32DeviceDetail gives the mount point
constexpr uint32_t HOLD_IN_USE = 0x06;       // another program has the drive open exclusively (a disc
                                             // writer at work): nothing taken
constexpr uint32_t HOLD_HELD_SHARED = 0x07;  // taken, as HOLD_HELD, but not from the kernel: the drive
                                             // cannot be opened for writing alone by this user, and
                                             // the system goes on polling it for a disc
// A program that knows none of the three takes them as unknown answers, and so refuses the flash.

// Optional too, looked up by name: the text that goes with the last answer to
// HOLD_TAKE for that device, where one has a text (HOLD_MOUNTED: the mount
// point, as the system's mount table names it, its escapes undone; any
// bytes, a zero among them, so the caller goes by the length and treats the
// text as untrusted). Copies at most size - 1 bytes and a zero into `text`
// (nothing when size is 0) and returns the whole text's length: as snprintf,
// a result of size or more means it was cut. 0: no text.
//
//   uint32_t HoldASPI32DeviceDetail(uint8_t adapter, uint8_t target, char *text, uint32_t size);
extern "C" {
using HoldASPI32DeviceDetailFn = uint32_t (*)(uint8_t, uint8_t, char *, uint32_t);
}

// Optional as well: how the device is attached to the machine, as far as the
// manager can tell, so that the program can say so and give advice that
// depends on it (many USB adapters do not pass vendor commands). Without the
// entry point, every device's transport is unknown.
//
//   uint32_t GetASPI32DeviceTransport(uint8_t adapter, uint8_t target);
extern "C" {
using GetASPI32DeviceTransportFn = uint32_t (*)(uint8_t, uint8_t);
}
constexpr uint32_t TRANSPORT_UNKNOWN = 0x00;  // no device there, or nothing tells
constexpr uint32_t TRANSPORT_USB = 0x01;      // behind a USB bridge (usb-storage, uas)
constexpr uint32_t TRANSPORT_ATA = 0x02;      // on an ATA port, parallel or serial (libata)
constexpr uint32_t TRANSPORT_SCSI = 0x03;     // on another SCSI host adapter of the machine's
constexpr uint32_t TRANSPORT_VIRTUAL = 0x04;  // on an adapter made by software, with no hardware bus
