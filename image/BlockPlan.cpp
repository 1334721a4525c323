#include "image/BlockPlan.h"

#include "image/ImageRules.h"

BlockPlan MakeBlockPlan(int32_t imageSize, int32_t blockSizeKb, int32_t blockCount, int32_t bufferSize) {
    BlockPlan plan;
    if (blockCount < 1) {
        plan.verdict = PlanVerdict::NoBlocks;
        return plan;
    }
    if (blockCount > 1 && blockSizeKb < 1) {
        plan.verdict = PlanVerdict::EmptyBlocks;
        return plan;
    }
    // Trailer bytes keep these far inside 32 bits (254 * 255 KiB), but the
    // figures are taken as given: work in 64 bits and judge the result.
    const int64_t blockBytes = int64_t{blockSizeKb} * 1024;
    const int64_t finalOffset = int64_t{blockCount - 1} * blockBytes;
    const int64_t finalLength = int64_t{imageSize} - finalOffset;
    if (blockBytes > bufferSize) {
        plan.verdict = PlanVerdict::BlockTooLong;
        return plan;
    }
    // An empty final block is a well-formed image: the non-final blocks take
    // the whole file (64 KiB blocks, say) and the final command, with byte 5
    // at 0, closes the download.
    if (finalLength < 0) {
        plan.verdict = PlanVerdict::FileTooShort;
        return plan;
    }
    if (finalLength > bufferSize) {
        plan.verdict = PlanVerdict::BlockTooLong;
        return plan;
    }
    plan.verdict = PlanVerdict::Ok;
    plan.steps.reserve(static_cast<size_t>(blockCount));
    for (int32_t i = 0; i < blockCount - 1; ++i) {
        plan.steps.push_back({static_cast<int32_t>(i * blockBytes), static_cast<int32_t>(blockBytes),
                              i == 0 ? kFirstBlockMark : kFurtherBlockMark});
    }
    plan.steps.push_back({static_cast<int32_t>(finalOffset), static_cast<int32_t>(finalLength),
                          LastBlockKbFromSize(imageSize, blockSizeKb, blockCount)});
    return plan;
}
