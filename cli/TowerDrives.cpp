#include "cli/TowerDrives.h"

#include "cli/Arguments.h"
#include "image/ImageRules.h"

namespace {
bool OfTheModel(const Drive &drive, const char *imageModel) {
    return ModelMatches(drive.identity.Model().data(), imageModel);
}

DriveOutcome NotWritten(const Drive &drive, const std::string &why) {
    DriveOutcome outcome{drive, {}, {}};
    outcome.outcome.ending = FlashEnding::NotWritten;
    outcome.outcome.why = why;
    return outcome;
}
}  // namespace

std::vector<DriveOutcome> ChooseTowerDrives(const std::vector<Drive> &found, const std::vector<DriveAddress> &given,
                                            bool all, const char *imageModel, std::string *others) {
    std::vector<DriveOutcome> chosen;
    others->clear();
    if (all) {
        for (const Drive &drive : found) {
            if (OfTheModel(drive, imageModel))
                chosen.push_back({drive, {}, {}});
            else
                *others += (others->empty() ? "" : ", ") + AddressText(drive.address) + " " +
                           Printable(drive.identity.Model());
        }
        return chosen;
    }
    for (const DriveAddress &address : given) {
        Drive notFound;
        notFound.address = address;
        DriveOutcome drive = NotWritten(notFound, "Drive Not Found!! There is no CD/DVD drive at " + AddressText(address) + ".");
        for (const Drive &probed : found) {
            if (probed.address != address) continue;
            drive = OfTheModel(probed, imageModel)
                        ? DriveOutcome{probed, {}, {}}
                        : NotWritten(probed, "Different Model !! The image is for " +
                                                 Printable(std::string(imageModel, kModelLength)) + ".");
        }
        chosen.push_back(std::move(drive));
    }
    return chosen;
}

int TowerStatus(const std::vector<DriveOutcome> &outcomes) {
    bool sent = false, all = true;
    for (const DriveOutcome &drive : outcomes) {
        if (drive.outcome.SentSomething()) sent = true;
        if (drive.outcome.ending != FlashEnding::Accepted) all = false;
    }
    if (!sent) return kExitRefused;
    return all ? kExitDone : kExitDriveFailed;
}

std::string NoRestartCause(bool oneDrive, int status, bool restart) {
    if (oneDrive) return status == kExitDone ? "--restart was not given" : "the drive refused the final block";
    return !restart ? "--restart was not given" : "not every drive accepted its flash";
}
