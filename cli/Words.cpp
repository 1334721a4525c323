#include "cli/Words.h"

#include <algorithm>
#include <array>
#include <set>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "channel/FlashTexts.h"
#include "cli/UnderWay.h"
#include "drive/Probe.h"
#include "record/FlashHistory.h"

namespace {
constexpr int kBarWidth = 24;

std::string Trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string CutTrailingBlanks(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

QString Latin1(const std::string &bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string Hex(unsigned char byte) {
    constexpr char kDigits[] = "0123456789abcdef";
    return std::string("\\x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

// `utf8`: a name of the file system or a sentence, kept as its bytes; else
// the drive's or the image's bytes, where anything beyond ASCII is shown
// by its value.
std::string Quoted(const std::string &text, bool utf8) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
            out += Hex(byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}
}  // namespace

std::string OneLine(const std::string &boxText) {
    std::string line;
    size_t start = 0;
    while (start <= boxText.size()) {
        size_t end = boxText.find('\n', start);
        if (end == std::string::npos) end = boxText.size();
        const std::string part = Trimmed(boxText.substr(start, end - start));
        if (!part.empty()) line += (line.empty() ? "" : " ") + part;
        start = end + 1;
    }
    return line;
}

std::string DriveLine(const Drive &drive) {
    std::string address = AddressText(drive.address);
    address.resize(std::max<size_t>(address.size(), 7), ' ');
    std::string vendor = drive.identity.vendor, product = drive.identity.product, revision = drive.identity.revision;
    for (std::string *field : {&vendor, &product, &revision})
        for (char &c : *field)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    return address + " " + vendor + " " + product + " " + revision + " " + TransportWord(drive.transport);
}

std::string DrivesJson(const std::vector<Drive> &drives, const std::vector<FlashUnderWay> &underWay) {
    QJsonArray array;
    for (const Drive &drive : drives) {
        QJsonValue flash;  // null: not being flashed
        for (const FlashUnderWay &each : underWay)
            if (each.drive == drive.address) flash = UnderWayObject(each);
        QJsonObject object;
        object.insert(QStringLiteral("adapter"), drive.address.adapter);
        object.insert(QStringLiteral("target"), drive.address.target);
        object.insert(QStringLiteral("vendor"), Latin1(CutTrailingBlanks(drive.identity.vendor)));
        object.insert(QStringLiteral("model"), Latin1(CutTrailingBlanks(drive.identity.product)));
        object.insert(QStringLiteral("revision"), Latin1(CutTrailingBlanks(drive.identity.revision)));
        object.insert(QStringLiteral("transport"), QString::fromLatin1(TransportWord(drive.transport)));
        object.insert(QStringLiteral("under-way"), flash);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
}

std::string RecordLine(const FlashRecord &r) {
    const auto text = [](const char *key, const std::string &value, bool utf8 = false) {
        return std::string(key) + "=" + Quoted(value, utf8);
    };
    const auto number = [](const char *key, int64_t value) { return std::string(key) + "=" + std::to_string(value); };
    return text("time", r.time) + " " + text("boot", r.boot) + " " + text("flash", r.flash) + " " +
           text("program", r.program) + " " + text("event", RecordEventName(r.event)) + " " +
           text("vendor", r.vendor) + " " + text("model", r.model) + " " + text("revision", r.revision) + " " +
           number("adapter", r.adapter) + " " + number("target", r.target) + " " + text("file", r.file, true) +
           " " + number("size", r.size) + " " + text("sha256", r.sha256) + " " + text("version", r.version) +
           " " + number("block", r.block) + " " + number("blocks", r.blocks) + " " + text("detail", r.detail, true) +
           (r.cause.empty() ? "" : " " + text("cause", r.cause)) + (r.sense.empty() ? "" : " " + text("sense", r.sense)) +
           (r.pid > 0 ? " " + number("pid", r.pid) : "");
}

namespace {
// How one flash ended, from its record's lines in order.
std::string HowItEnded(const RecordedFlash &flash) {
    const std::vector<const FlashRecord *> &lines = flash.lines;
    std::vector<std::string> parts;
    for (size_t i = 0; i < lines.size(); ++i) {
        const FlashRecord &r = *lines[i];
        const std::string why = r.detail.empty() ? "" : " (" + r.detail + ")";
        FlashOutcome outcome;
        outcome.block = r.block;
        outcome.blocks = r.blocks;
        switch (r.event) {
        case RecordEvent::Accepted: outcome.ending = FlashEnding::Accepted; parts.push_back(OutcomeWords(outcome)); break;
        case RecordEvent::Refused: outcome.ending = FlashEnding::Refused; parts.push_back(OutcomeWords(outcome) + why); break;
        case RecordEvent::Gone: outcome.ending = FlashEnding::Gone; parts.push_back(OutcomeWords(outcome)); break;
        case RecordEvent::ProcessLost: outcome.ending = FlashEnding::CutOff; parts.push_back(OutcomeWords(outcome) + why); break;
        case RecordEvent::Unattended: parts.push_back(r.detail + ": no restart was requested"); break;
        case RecordEvent::RestartNotRequested: parts.push_back("no restart was requested" + why); break;
        case RecordEvent::RestartRequested: {
            const RecordEvent next = i + 1 < lines.size() ? lines[i + 1]->event : RecordEvent::RestartRequested;
            if (next == RecordEvent::RestartAccepted || next == RecordEvent::RestartRefused) continue;
            parts.push_back("the restart was asked");
            break;
        }
        case RecordEvent::RestartAccepted: parts.push_back("the restart was asked and accepted"); break;
        case RecordEvent::RestartRefused: parts.push_back("the restart was asked and refused" + why); break;
        case RecordEvent::Confirmed: parts.push_back("now runs " + r.version); break;
        case RecordEvent::NotTaken: parts.push_back("still runs " + r.revision + ", not " + r.version); break;
        case RecordEvent::Superseded: parts.push_back("a later flash of the drive was checked instead"); break;
        case RecordEvent::UnattendedTold: break;
        case RecordEvent::Started:
            // With no answer after it: under way, or cut off with nobody to
            // say how far it got.
            if (flash.underWay)
                parts.push_back("under way");
            else if (flash.outcome.ending == FlashEnding::CutOff && flash.Line(RecordEvent::ProcessLost) == nullptr)
                parts.push_back(OutcomeWords(flash.outcome) + " (" + flash.outcome.why + ")");
            break;
        }
    }
    std::string ending;
    for (const std::string &part : parts) ending += (ending.empty() ? "" : "; ") + part;
    return ending;
}
}  // namespace

std::vector<std::string> HistoryLines(const FlashHistory &history) {
    // The record is anyone's to write: every field shown as printable text.
    std::vector<std::array<std::string, 5>> rows;  // when, drive, model, versions, ending
    std::array<size_t, 5> widths{};
    // The flashes under way last.
    std::vector<const RecordedFlash *> flashes;
    for (const bool underWay : {false, true})
        for (const RecordedFlash &flash : history.Flashes())
            if (flash.underWay == underWay) flashes.push_back(&flash);
    for (const RecordedFlash *each : flashes) {
        const RecordedFlash &flash = *each;
        const FlashRecord &first = flash.First();
        rows.push_back({Printable(first.time), std::to_string(first.adapter) + ":" + std::to_string(first.target),
                        Printable(CutTrailingBlanks(first.vendor + " " + first.model)),
                        Printable(first.revision) + " -> " + Printable(first.version),
                        Printable(HowItEnded(flash))});
        for (size_t k = 0; k < widths.size(); ++k) widths[k] = std::max(widths[k], rows.back()[k].size());
    }
    std::vector<std::string> lines;
    for (std::array<std::string, 5> &row : rows) {
        std::string line;
        for (size_t k = 0; k + 1 < row.size(); ++k) {
            row[k].resize(widths[k], ' ');
            line += row[k] + "  ";
        }
        lines.push_back(line + row.back());
    }
    return lines;
}

std::string RecordsJson(const FlashHistory &history, const std::string &boot) {
    std::set<const FlashRecord *> waiting;
    for (const RecordedFlash *flash : history.WaitingForRestart(boot)) waiting.insert(flash->Line(RecordEvent::Accepted));
    QJsonArray array;
    for (const FlashRecord &record : history.Lines()) {
        QJsonObject object = RecordObject(record);
        if (waiting.count(&record) != 0) object.insert(QStringLiteral("awaits-restart"), true);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
}

std::string ConsentQuestion(const std::string &newVersion, const std::string &model, const std::string &address,
                            const std::string &oldVersion) {
    return "Write firmware " + newVersion + " into " + model + " at " + address + ", now " + oldVersion + "? [y/N] ";
}

bool IsYes(const std::string &answer) {
    std::string word = Trimmed(answer);
    while (!word.empty() && (word.back() == '\r' || word.back() == '\t')) word.pop_back();
    for (char &c : word)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return word == "y" || word == "yes";
}

std::string SecondsText(int64_t milliseconds) {
    const int64_t tenths = milliseconds / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

namespace {
// "block 3 of 7<what>, 184320 of 393216 bytes, 2.1 s".
std::string Figures(const Progress &p, const char *what) {
    return "block " + std::to_string(p.accepted) + " of " + std::to_string(p.count) + what + ", " +
           std::to_string(p.bytes) + " of " + std::to_string(p.total) + " bytes, " + SecondsText(p.milliseconds);
}
}  // namespace

std::string ProgressBar(const Progress &p) {
    const int filled = p.count > 0 ? std::clamp(p.accepted, 0, p.count) * kBarWidth / p.count : 0;
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBarWidth - filled), '-') +
           "] " + Figures(p, "");
}

std::string ProgressLine(const Progress &p) { return Figures(p, " accepted"); }

namespace {
std::string Address(const DriveOutcome &d) { return AddressText(d.drive.address); }
std::string Model(const DriveOutcome &d) { return Printable(d.drive.identity.Model()); }
std::string OldVersion(const DriveOutcome &d) { return Printable(d.drive.identity.revision); }
// What is known of why a drive refused, in one line (a drive gone says so itself).
std::string Cause(const DriveOutcome &d) {
    return d.outcome.ending == FlashEnding::Gone ? std::string() : OneLine(d.outcome.told);
}
}  // namespace

std::string WritingLine(const std::string &newVersion, const DriveOutcome &first, bool oneDrive, int drives,
                        int64_t bytes, const std::string &image) {
    const std::string figures =
        std::to_string(first.outcome.blocks) + " blocks, " + std::to_string(bytes) + " bytes of " + image;
    if (oneDrive)
        return "writing firmware " + newVersion + " into " + Model(first) + " at " + Address(first) + " (now " +
               OldVersion(first) + "): " + figures + ".";
    return "writing firmware " + newVersion + " into " + std::to_string(drives) + " drives at once: " + figures + " each.";
}

std::string ResultLine(const DriveOutcome &drive, bool accepted, bool oneDrive, bool restart) {
    const std::string count = std::to_string(drive.outcome.blocks);
    const std::string theDrive = oneDrive ? "The drive at " + Address(drive) : std::string("The drive");
    if (!accepted)
        return "DOWNLOAD FAIL!! " + theDrive + " refused the final block (" + count + " of " + count +
               "); it may need attention.";
    if (!oneDrive) return "DOWNLOAD OK!! The drive accepted all " + count + " blocks.";
    return "DOWNLOAD OK!! " + theDrive + " accepted all " + count + " blocks; " +
           (restart ? "the restart that finishes the update follows." : "a restart finishes the update.");
}

std::vector<std::string> TowerQuestion(const std::string &newVersion, const std::vector<DriveOutcome> &drives) {
    std::vector<std::string> lines;
    lines.push_back("Write firmware " + newVersion + " into these " + std::to_string(drives.size()) + " drives?");
    size_t width = 0;
    for (const DriveOutcome &d : drives) width = std::max(width, Model(d).size());
    for (const DriveOutcome &d : drives) {
        std::string model = Model(d);
        model.resize(width, ' ');
        std::string address = Address(d);
        address.resize(std::max<size_t>(address.size(), 7), ' ');
        lines.push_back("  " + address + " " + model + "  " + OldVersion(d) + " -> " + newVersion);
    }
    lines.push_back("Write all " + std::to_string(drives.size()) + "? [y/N] ");
    return lines;
}

std::string TowerResultText(const DriveOutcome &d) {
    const std::string cause = Cause(d);
    switch (d.outcome.ending) {
    case FlashEnding::Refused: return OutcomeWords(d.outcome) + (cause.empty() ? "" : ": " + cause);
    case FlashEnding::NotWritten: return "not written: " + d.outcome.why;
    default: return OutcomeWords(d.outcome);
    }
}

std::string TowerTable(const std::string &newVersion, const std::vector<DriveOutcome> &drives) {
    size_t addressWidth = 5, modelWidth = 5;
    for (const DriveOutcome &d : drives) {
        addressWidth = std::max(addressWidth, Address(d).size());
        modelWidth = std::max(modelWidth, Model(d).size());
    }
    const auto row = [&](std::string address, std::string model, std::string old, std::string now,
                         const std::string &result) {
        address.resize(addressWidth, ' ');
        model.resize(modelWidth, ' ');
        old.resize(std::max<size_t>(old.size(), 4), ' ');
        now.resize(std::max<size_t>(now.size(), 4), ' ');
        return CutTrailingBlanks(address + "  " + model + "  " + old + "  " + now + "  " + result) + "\n";
    };
    std::string table = row("DRIVE", "MODEL", "OLD", "NEW", "RESULT");
    for (const DriveOutcome &d : drives)
        table += row(Address(d), Model(d), OldVersion(d),
                     d.outcome.ending != FlashEnding::Accepted ? std::string("-")
                     : d.version.empty()                       ? newVersion
                                                               : d.version,
                     TowerResultText(d));
    return table;
}

namespace {
// The result's word in a write's JSON.
const char *ResultName(FlashEnding ending) {
    switch (ending) {
    case FlashEnding::Accepted: return "accepted";
    case FlashEnding::Refused: return "refused";
    case FlashEnding::Gone: return "gone";
    case FlashEnding::CutOff: return "cut-off";
    case FlashEnding::NotWritten: return "not-written";
    case FlashEnding::Pending: break;
    }
    return "not-answered";
}

QString Utf8(const std::string &text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A drive of a write's or a check's summary: where, what, and its result.
QJsonObject DriveJson(const DriveOutcome &d, const char *result) {
    QJsonObject drive;
    drive.insert(QStringLiteral("drive"), Latin1(Address(d)));
    drive.insert(QStringLiteral("model"), Latin1(Model(d)));
    drive.insert(QStringLiteral("old"), Latin1(OldVersion(d)));
    drive.insert(QStringLiteral("result"), QLatin1String(result));
    drive.insert(QStringLiteral("why"), Utf8(d.outcome.why));
    return drive;
}
}  // namespace

std::string TowerJson(const std::string &newVersion, const std::vector<DriveOutcome> &drives, int status) {
    QJsonArray array;
    for (const DriveOutcome &d : drives) {
        QJsonObject drive = DriveJson(d, ResultName(d.outcome.ending));
        drive.insert(QStringLiteral("block"), d.outcome.block);
        drive.insert(QStringLiteral("blocks"), d.outcome.blocks);
        drive.insert(QStringLiteral("cause"), Latin1(Cause(d)));
        if (!d.version.empty()) drive.insert(QStringLiteral("version"), Latin1(d.version));
        array.append(drive);
    }
    QJsonObject summary;
    summary.insert(QStringLiteral("version"), Latin1(newVersion));
    summary.insert(QStringLiteral("drives"), array);
    summary.insert(QStringLiteral("status"), status);
    return QJsonDocument(summary).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

std::string EventJson(const std::string &address, const std::string &event, int block, int blocks) {
    QJsonObject object;
    object.insert(QStringLiteral("drive"), Latin1(address));
    object.insert(QStringLiteral("event"), Latin1(event));
    if (block >= 0) object.insert(QStringLiteral("block"), block);
    if (blocks >= 0) object.insert(QStringLiteral("blocks"), blocks);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

std::string CheckJson(const ImageFigures &image, const std::vector<DriveOutcome> &drives, int status) {
    QJsonArray array;
    // Every drive that no check refused would be written.
    for (const DriveOutcome &d : drives)
        array.append(DriveJson(d, d.outcome.ending == FlashEnding::Pending ? "would-write" : "not-written"));
    QJsonObject object;
    object.insert(QStringLiteral("image"), Utf8(image.image));
    object.insert(QStringLiteral("model"), Latin1(image.model));
    object.insert(QStringLiteral("version"), Latin1(image.version));
    object.insert(QStringLiteral("block-size"), image.blockSize);
    object.insert(QStringLiteral("blocks"), image.blocks);
    object.insert(QStringLiteral("size"), static_cast<qint64>(image.size));
    object.insert(QStringLiteral("valid"), image.why.empty());
    object.insert(QStringLiteral("why"), Utf8(image.why));
    object.insert(QStringLiteral("drives"), array);
    object.insert(QStringLiteral("status"), status);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}
