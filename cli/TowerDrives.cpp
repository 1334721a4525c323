#include "cli/TowerDrives.h"

#include "image/ImageRules.h"

namespace {
std::string ModelOf(const ProbedDrive &drive) {
    return Printable(drive.identification.substr(0, std::min<size_t>(kModelLength, drive.identification.size())));
}

bool OfTheModel(const ProbedDrive &drive, const char *imageModel) {
    return drive.identification.size() >= kModelLength && ModelMatches(drive.identification.data(), imageModel);
}

TowerDrive Found(const ProbedDrive &drive) {
    TowerDrive chosen;
    chosen.probed = drive;
    chosen.outcome.address = AddressText(drive.adapter, drive.target);
    chosen.outcome.model = ModelOf(drive);
    chosen.outcome.oldVersion = drive.identification.size() >= 28 ? Printable(drive.identification.substr(24, 4)) : "";
    return chosen;
}
}  // namespace

std::vector<TowerDrive> ChooseTowerDrives(const std::vector<ProbedDrive> &found,
                                          const std::vector<DriveAddress> &given, bool all,
                                          const char *imageModel, std::string *others) {
    std::vector<TowerDrive> chosen;
    others->clear();
    if (all) {
        for (const ProbedDrive &drive : found) {
            if (OfTheModel(drive, imageModel))
                chosen.push_back(Found(drive));
            else
                *others += (others->empty() ? "" : ", ") + AddressText(drive.adapter, drive.target) + " " + ModelOf(drive);
        }
        return chosen;
    }
    for (const DriveAddress &address : given) {
        TowerDrive drive;
        drive.probed.adapter = static_cast<uint8_t>(address.adapter);
        drive.probed.target = static_cast<uint8_t>(address.target);
        drive.outcome.address = AddressText(address.adapter, address.target);
        drive.outcome.result = DriveOutcome::Result::RefusedBefore;
        drive.outcome.why = "Drive Not Found!! There is no CD/DVD drive at " + drive.outcome.address + ".";
        for (const ProbedDrive &probed : found) {
            if (probed.adapter != address.adapter || probed.target != address.target) continue;
            drive = Found(probed);
            if (!OfTheModel(probed, imageModel)) {
                drive.outcome.result = DriveOutcome::Result::RefusedBefore;
                drive.outcome.why = "Different Model !! The image is for " +
                                    Printable(std::string(imageModel, kModelLength)) + ".";
            }
        }
        chosen.push_back(std::move(drive));
    }
    return chosen;
}

int TowerStatus(const std::vector<DriveOutcome> &outcomes) {
    bool sent = false, all = true;
    for (const DriveOutcome &outcome : outcomes) {
        const bool nothingSent = outcome.result == DriveOutcome::Result::RefusedBefore ||
                                 (outcome.result == DriveOutcome::Result::Refused && outcome.block == 0);
        if (!nothingSent) sent = true;
        if (outcome.result != DriveOutcome::Result::Accepted) all = false;
    }
    if (!sent) return kExitRefused;
    return all ? kExitDone : kExitDriveFailed;
}

std::string NoRestartCause(bool oneDrive, int status, bool restart) {
    if (oneDrive) return status == kExitDone ? "--restart was not given" : "the drive refused the final block";
    return !restart ? "--restart was not given" : "not every drive accepted its flash";
}
