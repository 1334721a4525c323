// The block plan of a download: which bytes of the image file go to the drive
// with which command, and which byte 5 marks each command. A plain function of
// the image's size and its trailer's block figures.
#pragma once

#include <cstdint>
#include <vector>

// Every download command moves this many bytes from the start of TransferBuffer.
constexpr uint32_t kDownloadTransferLength = 65536;
// Byte 5 of DownloadCommand for the first and for every further non-final block.
constexpr uint8_t kFirstBlockMark = 0x00;
constexpr uint8_t kFurtherBlockMark = 0xFF;

// Whether the trailer's figures fit the file. Anything but Ok is refused
// before a single byte goes to the drive.
enum class PlanVerdict {
    Ok,
    NoBlocks,      // BlockCount below 1: there is no final block to send
    EmptyBlocks,   // BlockSizeKb 0 with more than one block: commands would carry no file data
    FileTooShort,  // the non-final blocks reach or pass the end of the file: no bytes left for the final one
    BlockTooLong,  // a block (in practice the final one) does not fit the 512 KiB transfer buffer
};

struct BlockStep {
    int32_t offset = 0;  // where the block starts in the file
    int32_t length = 0;  // bytes read from the file into the start of TransferBuffer
    uint8_t byte5 = 0;   // DownloadCommand byte 5 for this command
};

struct BlockPlan {
    PlanVerdict verdict = PlanVerdict::NoBlocks;
    // One step per command, the final one last; empty unless verdict is Ok.
    std::vector<BlockStep> steps;
};

// blockSizeKb and blockCount are trailer bytes (0..255); imageSize is the
// file's length in bytes. Non-final blocks are blockSizeKb KiB each, byte 5
// 0x00 for the first and 0xFF for the rest; the final block is the rest of
// the file, its byte 5 the low 8 bits of imageSize / 1024 - (blockCount - 1)
// * blockSizeKb (LastBlockKb). `bufferSize` is the room of TransferBuffer.
BlockPlan MakeBlockPlan(int32_t imageSize, int32_t blockSizeKb, int32_t blockCount,
                        int32_t bufferSize = 524288);
