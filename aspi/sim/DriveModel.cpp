#include "aspi/sim/DriveModel.h"

#include <algorithm>
#include <cstring>

namespace quorvel_sim {
namespace {

constexpr uint8_t OP_TEST_UNIT_READY = 0x00;
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_START_STOP_UNIT = 0x1B;
constexpr uint8_t OP_PREVENT_ALLOW_MEDIUM_REMOVAL = 0x1E;
constexpr uint8_t OP_READ_CAPACITY = 0x25;
constexpr uint8_t OP_READ_TOC = 0x43;
constexpr uint8_t OP_DOWNLOAD = 0xFF;
constexpr uint8_t DOWNLOAD_SUBCOMMAND = 0x01;
constexpr size_t kInquiryLength = 36;

DriveResponse Refused(Sense sense, DownloadPhase phase = DownloadPhase::None) {
    DriveResponse response;
    response.status = ScsiStatus::CheckCondition;
    response.sense = sense;
    response.phase = phase;
    return response;
}

}  // namespace

std::array<uint8_t, 18> FixedSense(Sense sense) {
    std::array<uint8_t, 18> fixed{};
    fixed[0] = 0x70;
    fixed[2] = sense.key;
    fixed[7] = 10;
    fixed[12] = sense.asc;
    fixed[13] = sense.ascq;
    return fixed;
}

const char *PhaseName(DownloadPhase phase) {
    switch (phase) {
        case DownloadPhase::First: return "first";
        case DownloadPhase::Next: return "next";
        case DownloadPhase::Final: return "final";
        case DownloadPhase::Only: return "only";
        case DownloadPhase::Stray: return "stray";
        case DownloadPhase::None: break;
    }
    return "none";
}

std::array<uint8_t, 24> DriveIdentity::Model() const {
    std::array<uint8_t, 24> model{};
    std::memcpy(model.data(), vendor.data(), vendor.size());
    std::memcpy(model.data() + vendor.size(), product.data(), product.size());
    return model;
}

Drive::Drive(const DriveIdentity &identity, const DriveRefusals &refusals, const DriveOptions &options)
    : identity_(identity), refusals_(refusals), options_(options) {}

bool Drive::IsDownload(std::span<const uint8_t> cdb) {
    return cdb.size() >= 6 && cdb[0] == OP_DOWNLOAD && cdb[2] == DOWNLOAD_SUBCOMMAND;
}

DriveResponse Drive::Answer(std::span<const uint8_t> cdb) const {
    if (cdb.size() >= 6 && cdb[0] == OP_INQUIRY) return Inquiry(cdb);
    if (options_.answersHostScan) {
        if (auto answer = ScanAnswer(cdb)) return *answer;
    }
    return Refused(kIllegalOpcode);
}

// The drive's tray is empty: what needs a disc is not ready, what asks for
// the drive's state gets it.
std::optional<DriveResponse> Drive::ScanAnswer(std::span<const uint8_t> cdb) const {
    if (cdb.size() < 6) return std::nullopt;
    switch (cdb[0]) {
        case OP_TEST_UNIT_READY:
        case OP_READ_CAPACITY:
        case OP_READ_TOC:
            return Refused(kMediumNotPresent);
        case OP_REQUEST_SENSE: {
            auto sense = FixedSense(kMediumNotPresent);
            DriveResponse response;
            response.dataIn.assign(sense.begin(), sense.begin() + std::min<size_t>(sense.size(), cdb[4]));
            return response;
        }
        case OP_PREVENT_ALLOW_MEDIUM_REMOVAL:
        case OP_START_STOP_UNIT:
            return DriveResponse{};
        default:
            return std::nullopt;
    }
}

DriveResponse Drive::Inquiry(std::span<const uint8_t> cdb) const {
    if ((cdb[1] & 0x01) || cdb[2] != 0) return Refused(kInvalidField);  // EVPD, or a page
    std::array<uint8_t, kInquiryLength> answer{};
    answer[0] = identity_.peripheral;
    uint8_t deviceType = identity_.peripheral & 0x1F;
    answer[1] = (deviceType == 0x05 || deviceType == 0x01) ? 0x80 : 0x00;  // removable
    answer[2] = 0x05;
    answer[3] = 0x02;
    answer[4] = kInquiryLength - 5;
    std::memcpy(answer.data() + 8, identity_.vendor.data(), 8);
    std::memcpy(answer.data() + 16, identity_.product.data(), 16);
    std::memcpy(answer.data() + 32, identity_.revision.data(), 4);
    size_t allocation = (static_cast<size_t>(cdb[3]) << 8) | cdb[4];
    DriveResponse response;
    response.dataIn.assign(answer.begin(), answer.begin() + std::min(answer.size(), allocation));
    return response;
}

DownloadDecision Drive::DecideDownload(std::span<const uint8_t> cdb) {
    DownloadDecision decision;
    decision.number = ++downloads_;
    if (gone_ || (refusals_.goneAt != 0 && decision.number >= refusals_.goneAt)) {
        gone_ = true;
        inSession_ = false;
        decision.gone = true;
        return decision;
    }
    uint8_t marker = cdb[5];
    if (!inSession_) {
        decision.phase = marker == 0x00   ? DownloadPhase::First
                         : marker == 0xFF ? DownloadPhase::Stray
                                          : DownloadPhase::Only;
    } else {
        decision.phase = marker == 0xFF ? DownloadPhase::Next : DownloadPhase::Final;
    }
    if (decision.phase == DownloadPhase::Stray) {
        decision.refused = true;
        decision.sense = kSequenceError;
    } else if (refusals_.timeouts.count(decision.number) || (decision.Final() && refusals_.timeoutFinal)) {
        decision.timedOut = true;
    } else if (refusals_.commands.count(decision.number) || (decision.Final() && refusals_.final)) {
        decision.refused = true;
        decision.sense = refusals_.sense;
    }
    inSession_ = !decision.refused && !decision.timedOut &&
                 (decision.phase == DownloadPhase::First || decision.phase == DownloadPhase::Next);
    return decision;
}

DownloadDecision Drive::HoldDownload() {
    DownloadDecision decision;
    decision.number = ++downloads_;
    return decision;
}

DriveResponse Drive::FinishDownload(const DownloadDecision &decision,
                                    std::span<const uint8_t> dataOut) {
    if (decision.refused) return Refused(decision.sense, decision.phase);
    DriveResponse response;
    response.phase = decision.phase;
    if (!decision.Final()) return response;
    response.flashed = true;
    auto model = identity_.Model();
    // The model with its 4 revision bytes must lie wholly inside the data.
    if (dataOut.size() >= model.size() + 4) {
        auto end = dataOut.end() - 4;
        auto found = std::search(dataOut.begin(), end, model.begin(), model.end());
        if (found != end) {
            std::array<uint8_t, 4> revision{};
            std::copy_n(found + model.size(), 4, revision.begin());
            response.newRevision = revision;
            flashed_ = revision;
        }
    }
    return response;
}

void Drive::PowerCycle() {
    if (flashed_) identity_.revision = *flashed_;
    flashed_.reset();
    downloads_ = 0;
    inSession_ = false;
    gone_ = false;
}

}  // namespace quorvel_sim
