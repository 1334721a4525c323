#include "cli/Commands.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "cli/Console.h"
#include "cli/TowerDrives.h"
#include "cli/UnderWay.h"
#include "cli/Words.h"
#include "platform/System.h"
#include "record/FlashHistory.h"
#include "record/FlashRecord.h"
#include "flash/CheckedImage.h"
#include "drive/Probe.h"
#include "drive/Selection.h"
#include "image/ImageLoad.h"
#include "state/SharedState.h"

namespace {
constexpr char kNoManager[] = "ASPI Not Found!! No ASPI manager with a host adapter answered: no drive can be reached.";

// What the trailer's reader found wrong with a file, said of `path`.
std::string WhyUnreadable(const std::string &path, TrailerFailure why) {
    switch (why) {
    case TrailerFailure::NotOpened: return path + " cannot be opened for reading (no such file, no access, or no regular file).";
    case TrailerFailure::TooShort: return path + " is too short to hold a trailer where its size puts it.";
    case TrailerFailure::TooLarge: return path + " is 2 GiB or more.";
    case TrailerFailure::ReadFailed: return path + " could not be read to its end.";
    case TrailerFailure::None: break;
    }
    return path;
}

std::string Model(const char *bytes) { return Printable(std::string_view(bytes, 24)); }
std::string Version(const char *bytes) { return Printable(std::string_view(bytes, 4)); }

// "key:" and its value, the values in one column.
std::string Row(const std::string &key, const std::string &value) {
    std::string row = key + ":";
    row.resize(std::max<size_t>(row.size() + 1, 14), ' ');
    return row + value + "\n";
}
}  // namespace

namespace {
// The flashes of this user under way, and their drives as their records name
// them: discovery asks those drives nothing while they are written.
std::vector<FlashUnderWay> UnderWay(std::vector<Drive> *known) {
    std::string unused;
    std::vector<FlashUnderWay> flashes = FlashesUnderWay(&unused);
    for (const FlashUnderWay &flash : flashes) known->push_back(DriveOfFlash(flash));
    return flashes;
}

const FlashUnderWay *UnderWayAt(const std::vector<FlashUnderWay> &flashes, DriveAddress address) {
    for (const FlashUnderWay &flash : flashes)
        if (flash.drive == address) return &flash;
    return nullptr;
}

// Each drive chosen that is being flashed: not written, its flash said.
void LeaveAloneUnderWay(const std::vector<FlashUnderWay> &flashes, std::vector<DriveOutcome> *drives) {
    for (DriveOutcome &drive : *drives) {
        const FlashUnderWay *flash = UnderWayAt(flashes, drive.drive.address);
        if (flash == nullptr || drive.outcome.ending != FlashEnding::Pending) continue;
        drive.outcome.ending = FlashEnding::NotWritten;
        drive.outcome.why = UnderWayRefusal(*flash);
    }
}
}  // namespace

bool FindTheDrives(std::vector<Drive> *drives, std::vector<FlashUnderWay> *underWay) {
    std::vector<Drive> known;
    std::vector<FlashUnderWay> flashes = UnderWay(&known);
    if (underWay != nullptr) *underWay = flashes;
    if (FindDrives(TransferBuffer, drives, known)) return true;
    Tell(kNoManager);
    return false;
}

bool SelectDriveAt(const DriveAddress &address, Drive *chosen) {
    std::vector<Drive> drives;
    std::vector<FlashUnderWay> underWay;
    if (!FindTheDrives(&drives, &underWay)) return false;
    // A drive being flashed is its flash's until the flash is over.
    if (const FlashUnderWay *flash = UnderWayAt(underWay, address)) {
        Tell(UnderWayRefusal(*flash));
        return false;
    }
    for (const Drive &drive : drives) {
        if (drive.address == address) {
            UseDrive(drive);
            if (chosen != nullptr) *chosen = drive;
            return true;
        }
    }
    Tell("Drive Not Found!! There is no CD/DVD drive at " + AddressText(address) +
         " (quorvel-flash list shows the drives).");
    return false;
}

namespace {
// Why Open's checks refused `path`, in one line.
std::string ImageRefusal(const std::string &path, ImageLoad load, TrailerFailure why) {
    switch (load) {
    case ImageLoad::PathTooLong:
        return OneLine(ImageRefusalText(load, why)) + " Give a shorter path, relative to the working directory, say.";
    case ImageLoad::Unreadable: return OneLine(ImageRefusalText(load, why)) + " " + WhyUnreadable(path, why);
    case ImageLoad::DifferentModel:
        return OneLine(ImageRefusalText(load, why)) + " The image is for " + Model(ImageModel) + "; the drive at " +
               AddressText({SelectedAdapter, SelectedTarget}) + " is " + Model(DriveModel) + ".";
    case ImageLoad::Loaded: break;
    }
    return {};
}
}  // namespace

bool LoadImageAt(const std::string &path, bool againstDrive) {
    TrailerFailure why = TrailerFailure::None;
    const ImageLoad load = LoadImageFile(path, againstDrive ? DriveModel : nullptr, &why);
    if (load == ImageLoad::Loaded) return true;
    Tell(ImageRefusal(path, load, why));
    return false;
}

namespace {
// Download's verdict on the plan: "Flash File Not Valid!!" and why.
std::string NotValidText(const BlockPlan &plan) {
    return OneLine(FlashRefusalText(FlashCheck::NotValid, plan.verdict, ImageSize));
}
bool ValidOrTold(const BlockPlan &plan) {
    if (plan.verdict == PlanVerdict::Ok) return true;
    Tell(NotValidText(plan));
    return false;
}
}  // namespace

bool PlanTheLoadedImage(BlockPlan *plan) {
    *plan = PlanOfTheLoadedImage();
    return ValidOrTold(*plan);
}

bool ChooseDrivesToWrite(const CliArguments &arguments, bool oneDrive, std::vector<DriveOutcome> *drives,
                         BlockPlan *plan) {
    if (oneDrive) {
        DriveOutcome drive;
        if (!SelectDriveAt(arguments.drives.front(), &drive.drive) || !LoadImageAt(arguments.image, true)) return false;
        drives->push_back(std::move(drive));
        return PlanTheLoadedImage(plan);
    }
    std::vector<Drive> found;
    std::vector<FlashUnderWay> underWay;
    if (!FindTheDrives(&found, &underWay) || !LoadImageAt(arguments.image, false) || !PlanTheLoadedImage(plan))
        return false;
    std::string others;
    std::vector<DriveOutcome> tower = ChooseTowerDrives(found, arguments.drives, arguments.all, ImageModel, &others);
    LeaveAloneUnderWay(underWay, &tower);
    for (DriveOutcome &chosen : tower) {
        // A flash under way says itself that nothing was sent.
        if (chosen.outcome.ending == FlashEnding::NotWritten)
            Tell(AddressText(chosen.drive.address) + ": " + chosen.outcome.why +
                 (UnderWayAt(underWay, chosen.drive.address) != nullptr ? "" : " Nothing was sent to it."));
        drives->push_back(std::move(chosen));
    }
    if (!others.empty()) Tell("left alone, another model: " + others + ".");
    if (arguments.all && drives->empty()) {
        Tell("Drive Not Found!! No listed drive is a " + Model(ImageModel) +
             ", the image's model. Nothing was sent to any drive.");
        return false;
    }
    return true;
}

int RunList(bool json) {
    std::vector<Drive> drives, known;
    const std::vector<FlashUnderWay> underWay = UnderWay(&known);
    const bool manager = FindDrives(TransferBuffer, &drives, known);
    if (json) {
        Print(DrivesJson(drives, underWay));
    } else {
        for (const Drive &drive : drives) {
            const FlashUnderWay *flash = UnderWayAt(underWay, drive.address);
            Print(DriveLine(drive) + (flash != nullptr ? "  " + ListMark(*flash) : std::string()) + "\n");
        }
    }
    if (!manager) {
        Tell(kNoManager);
        return kExitRefused;
    }
    if (drives.empty()) {
        Tell("Drive Not Found!! No CD/DVD drive answered.");
        return kExitRefused;
    }
    return kExitDone;
}

namespace {
// check --json: one object on standard output whatever the answer, so that a
// script reads why from it rather than from the lines meant for people,
// which standard error still says. The drives are chosen as write chooses
// them; nothing but discovery's INQUIRY reaches them.
int CheckAsJson(const CliArguments &arguments) {
    ImageFigures figures;
    figures.image = arguments.image;
    std::vector<DriveOutcome> drives;
    const auto answer = [&](int status) {
        Print(CheckJson(figures, drives, status));
        return status;
    };
    TrailerFailure unreadable = TrailerFailure::None;
    const ImageLoad load = LoadImageFile(arguments.image, nullptr, &unreadable);
    if (load != ImageLoad::Loaded) {
        figures.why = ImageRefusal(arguments.image, load, unreadable);
        Tell(figures.why);
        return answer(kExitRefused);
    }
    const BlockPlan plan = PlanOfTheLoadedImage();
    figures.model = Model(ImageModel);
    figures.version = Version(ImageVersion);
    figures.blockSize = BlockSizeKb * 1024;
    figures.blocks = BlockCount;
    figures.size = ImageSize;
    Tell(OneLine(ImageFiguresText()));
    if (plan.verdict != PlanVerdict::Ok) {
        figures.why = NotValidText(plan);
        Tell(figures.why);
    }
    if (!arguments.all && arguments.drives.empty()) return answer(figures.why.empty() ? kExitDone : kExitRefused);

    std::vector<Drive> found;
    std::vector<FlashUnderWay> underWay;
    if (!FindTheDrives(&found, &underWay)) {
        for (const DriveAddress &address : arguments.drives) {
            DriveOutcome drive;
            drive.drive.address = address;
            drive.outcome.ending = FlashEnding::NotWritten;
            drive.outcome.why = kNoManager;
            drives.push_back(drive);
        }
        return answer(kExitRefused);
    }
    std::string others;
    bool refused = !figures.why.empty();
    std::vector<DriveOutcome> chosen = ChooseTowerDrives(found, arguments.drives, arguments.all, ImageModel, &others);
    LeaveAloneUnderWay(underWay, &chosen);
    for (DriveOutcome &drive : chosen) {
        FlashOutcome &outcome = drive.outcome;
        if (outcome.ending == FlashEnding::Pending && !figures.why.empty()) {
            outcome.ending = FlashEnding::NotWritten;
            outcome.why = figures.why;
        } else if (outcome.ending == FlashEnding::NotWritten) {
            Tell(AddressText(drive.drive.address) + ": " + outcome.why);
            refused = true;
        }
        drives.push_back(drive);
    }
    if (!others.empty()) Tell("left alone, another model: " + others + ".");
    if (arguments.all && drives.empty()) {
        Tell("Drive Not Found!! No listed drive is a " + figures.model + ", the image's model.");
        refused = true;
    }
    return answer(refused ? kExitRefused : kExitDone);
}
}  // namespace

int RunCheck(const CliArguments &arguments) {
    if (arguments.json) return CheckAsJson(arguments);
    const bool againstDrive = !arguments.drives.empty();
    if (againstDrive && !SelectDriveAt(arguments.drives.front())) return kExitRefused;
    if (!LoadImageAt(arguments.image, againstDrive)) return kExitRefused;
    const BlockPlan plan = PlanOfTheLoadedImage();
    std::string text = Row("image", arguments.image) + Row("model", Model(ImageModel)) +
                       Row("version", Version(ImageVersion)) +
                       Row("block size", std::to_string(BlockSizeKb * 1024) + " bytes (" +
                                             std::to_string(BlockSizeKb) + " KiB)") +
                       Row("blocks", std::to_string(BlockCount));
    if (plan.verdict == PlanVerdict::Ok) text += Row("final block", std::to_string(plan.steps.back().length) + " bytes");
    text += Row("size", std::to_string(ImageSize) + " bytes");
    if (againstDrive)
        text += Row("drive", AddressText({SelectedAdapter, SelectedTarget}) + " " + Model(DriveModel) + " " +
                                 Version(DriveVersion) + ", the image's model");
    Print(text);
    // What Open's box says, then what Download would refuse.
    Tell(OneLine(ImageFiguresText()));
    return ValidOrTold(plan) ? kExitDone : kExitRefused;
}

int RunHistory(const CliArguments &arguments) {
    FlashHistory history(ReadFlashRecords([](const std::string &line) { Tell(line); }));
    history.Resolve(BootId(), FlashProcessRunning);
    if (arguments.json) {
        Print(RecordsJson(history, BootId()));
    } else if (arguments.raw) {
        for (const FlashRecord &record : history.Lines()) Print(RecordLine(record) + "\n");
    } else {
        for (const std::string &line : HistoryLines(history)) Print(line + "\n");
    }
    return kExitDone;
}

int RunStatus(bool json) {
    std::string problem;
    std::vector<FlashUnderWay> flashes = FlashesUnderWay(&problem);
    // In the drive list's order, whatever the folder's.
    std::sort(flashes.begin(), flashes.end(), [](const FlashUnderWay &a, const FlashUnderWay &b) {
        return std::pair(a.drive.adapter, a.drive.target) < std::pair(b.drive.adapter, b.drive.target);
    });
    const std::vector<OtherUsersFlash> others = OtherUsersFlashes();
    // A runtime folder that cannot be used: this user's flashes cannot be
    // looked for, and "nothing under way" would not be known.
    if (!problem.empty()) Tell(problem + ": this user's flashes under way cannot be looked for.");
    if (json)
        Print(StatusJson(flashes, others));
    else if (problem.empty() || !flashes.empty() || !others.empty())
        for (const std::string &line : StatusLines(flashes, others)) Print(line + "\n");
    return problem.empty() ? kExitDone : kExitRefused;
}
