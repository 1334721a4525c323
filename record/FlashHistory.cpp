// The record walked once; see FlashHistory.h.
#include "record/FlashHistory.h"

#include <map>
#include <tuple>
#include <utility>

namespace {
bool Settles(RecordEvent event) {
    return event == RecordEvent::Confirmed || event == RecordEvent::NotTaken || event == RecordEvent::Superseded;
}

// The drive's answer a line tells, when it tells one.
bool AnswerOf(const FlashRecord &line, FlashOutcome *outcome) {
    FlashEnding ending = FlashEnding::Pending;
    switch (line.event) {
    case RecordEvent::Accepted: ending = FlashEnding::Accepted; break;
    case RecordEvent::Refused: ending = FlashEnding::Refused; break;
    case RecordEvent::Gone: ending = FlashEnding::Gone; break;
    case RecordEvent::ProcessLost: ending = FlashEnding::CutOff; break;
    default: return false;
    }
    outcome->ending = ending;
    outcome->block = line.block;
    outcome->blocks = line.blocks;
    outcome->cause = FailureKindOfWord(line.cause).value_or(FailureKind::None);
    if (ending == FlashEnding::CutOff) outcome->why = line.detail;
    return true;
}
}  // namespace

const FlashRecord *RecordedFlash::Line(RecordEvent event) const {
    for (const FlashRecord *line : lines)
        if (line->event == event) return line;
    return nullptr;
}

FlashHistory::FlashHistory(std::vector<FlashRecord> records) : lines_(std::move(records)) {
    std::map<std::string, size_t> index;
    for (const FlashRecord &line : lines_) {
        const auto [at, added] = index.emplace(line.flash, flashes_.size());
        if (added) flashes_.push_back({line.flash, {}, {}, false, false});
        RecordedFlash &flash = flashes_[at->second];
        flash.lines.push_back(&line);
        // The first answer counts: the drive answers once.
        if (!flash.outcome.Answered()) AnswerOf(line, &flash.outcome);
        if (Settles(line.event)) flash.settled = true;
        if (line.event == RecordEvent::UnattendedTold) flash.unattendedTold = true;
    }
}

void FlashHistory::Resolve(const std::string &bootNow, const std::function<bool(int pid)> &running) {
    for (RecordedFlash &flash : flashes_) {
        const FlashRecord *started = flash.Line(RecordEvent::Started);
        if (started == nullptr || flash.outcome.Answered()) continue;
        const bool sameBoot = !bootNow.empty() && started->boot == bootNow;
        if (sameBoot && started->pid > 0 && running(started->pid)) {
            flash.underWay = true;
            continue;
        }
        flash.outcome.ending = FlashEnding::CutOff;
        flash.outcome.block = 0;
        flash.outcome.blocks = started->blocks;
        flash.outcome.why = sameBoot ? "its process was killed" : "the computer restarted, or the power was lost";
    }
}

std::vector<const FlashRecord *> FlashHistory::ToCheck(std::vector<const FlashRecord *> *superseded) const {
    // Per model, the accepted lines of the open flashes in the record's order.
    std::vector<std::pair<std::string, std::string>> models;  // (vendor, model), first seen first
    std::map<std::pair<std::string, std::string>, std::vector<const FlashRecord *>> open;
    std::map<std::string, const RecordedFlash *> byId;
    for (const RecordedFlash &flash : flashes_) byId[flash.id] = &flash;
    for (const FlashRecord &line : lines_) {
        if (line.event != RecordEvent::Accepted || byId[line.flash]->settled) continue;
        const auto key = std::make_pair(line.vendor, line.model);
        if (open.count(key) == 0) models.push_back(key);
        open[key].push_back(&line);
    }
    std::vector<const FlashRecord *> toCheck;
    for (const auto &key : models) {
        const std::vector<const FlashRecord *> &accepted = open[key];
        superseded->insert(superseded->end(), accepted.begin(), accepted.end() - 1);
        toCheck.push_back(accepted.back());
    }
    return toCheck;
}

std::vector<const RecordedFlash *> FlashHistory::UnattendedToTell() const {
    std::vector<const RecordedFlash *> toTell;
    // In the order of their unattended lines, each flash once, whatever the
    // record repeats.
    std::map<std::string, bool> seen;
    std::map<std::string, const RecordedFlash *> byId;
    for (const RecordedFlash &flash : flashes_) byId[flash.id] = &flash;
    for (const FlashRecord &line : lines_) {
        const RecordedFlash *flash = byId[line.flash];
        // Unattended, or cut off with no front end to say so (no
        // process-lost line of one).
        const bool alone = line.event == RecordEvent::Unattended ||
                           (line.event == RecordEvent::Started && flash->outcome.ending == FlashEnding::CutOff &&
                            flash->Line(RecordEvent::ProcessLost) == nullptr);
        if (!alone || flash->unattendedTold || seen[line.flash]) continue;
        seen[line.flash] = true;
        toTell.push_back(flash);
    }
    return toTell;
}

std::vector<const RecordedFlash *> FlashHistory::WaitingForRestart(const std::string &boot) const {
    // The newest flash of each drive, the drive as its first line names it.
    using Key = std::tuple<int, int, std::string, std::string>;
    std::vector<Key> drives;
    std::map<Key, const RecordedFlash *> newest;
    for (const RecordedFlash &flash : flashes_) {
        const FlashRecord &first = flash.First();
        const Key key{first.adapter, first.target, first.vendor, first.model};
        if (newest.count(key) == 0) drives.push_back(key);
        newest[key] = &flash;
    }
    std::vector<const RecordedFlash *> waiting;
    for (const Key &key : drives) {
        const RecordedFlash *flash = newest[key];
        const FlashRecord *accepted = flash->Line(RecordEvent::Accepted);
        if (accepted != nullptr && !boot.empty() && accepted->boot == boot && !flash->settled) waiting.push_back(flash);
    }
    return waiting;
}

FlashJudgment JudgeFlash(const FlashRecord &accepted, const std::vector<Drive> &drives, const std::string &bootNow) {
    int first = -1;
    for (size_t i = 0; i < drives.size(); ++i) {
        const DriveIdentity &identity = drives[i].identity;
        if (FieldText(identity.vendor) != accepted.vendor || FieldText(identity.product) != accepted.model) continue;
        if (FieldText(identity.revision) == accepted.version) return {FlashVerdict::Confirmed, static_cast<int>(i)};
        if (first < 0) first = static_cast<int>(i);
    }
    const bool restartedSince = !bootNow.empty() && !accepted.boot.empty() && bootNow != accepted.boot;
    if (first >= 0 && restartedSince) return {FlashVerdict::NotTaken, first};
    return {FlashVerdict::Pending, -1};
}

std::string ModelText(const std::string &vendor, const std::string &model) {
    std::string text = vendor;
    if (text.size() < DriveIdentity::kVendorLength) text.resize(DriveIdentity::kVendorLength, ' ');
    text += model;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}
