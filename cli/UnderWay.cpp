// The words of flashes under way; see UnderWay.h.
#include "cli/UnderWay.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <algorithm>
#include <array>
#include <cstdio>

#include "channel/FlashTexts.h"
#include "record/FlashHistory.h"

namespace {
QString Text(const std::string &bytes) { return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())); }

std::string Padded(std::string field, size_t width) {
    field.resize(width, ' ');
    return field;
}

// The record is anyone's to write: what it names is shown as printable text.
std::string Model(const FlashRecord &record) { return Printable(ModelText(record.vendor, record.model)); }
}  // namespace

std::string UtcTimeText(int64_t milliseconds) {
    // Days since 1970 to the civil date (the proleptic Gregorian calendar).
    int64_t seconds = milliseconds / 1000;
    int64_t days = seconds / 86400;
    seconds %= 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

std::string StarterText(const FlashUnderWay &flash) {
    return Printable(flash.record.program) + " (pid " + std::to_string(flash.snapshot.starterPid) +
           (flash.snapshot.starterPresent ? ", running)" : ", gone)");
}

std::string StandingText(const FlashUnderWay &flash) {
    const FlashOutcome &answer = flash.answer;
    if (answer.ending == FlashEnding::Accepted) return "accepted all " + std::to_string(answer.blocks) + " blocks";
    if (answer.Answered()) return OutcomeWords(answer);
    if (flash.snapshot.finalOut) return "the final block in the drive";
    return "block " + std::to_string(flash.snapshot.accepted) + " of " + std::to_string(flash.snapshot.count);
}

std::string WatchCommandText(DriveAddress drive) { return "quorvel-flash watch --drive " + AddressText(drive); }

std::vector<std::string> StatusLines(const std::vector<FlashUnderWay> &flashes,
                                     const std::vector<OtherUsersFlash> &others) {
    std::vector<std::array<std::string, 7>> rows;
    std::array<size_t, 7> widths{};
    for (const FlashUnderWay &flash : flashes) {
        const FlashRecord &r = flash.record;
        rows.push_back({AddressText(flash.drive), Model(r), Printable(r.revision) + " -> " + Printable(r.version),
                        Printable(r.file), StandingText(flash), "since " + UtcTimeText(flash.snapshot.since),
                        "started by " + StarterText(flash)});
        for (size_t k = 0; k < widths.size(); ++k) widths[k] = std::max(widths[k], rows.back()[k].size());
    }
    std::vector<std::string> lines;
    for (std::array<std::string, 7> &row : rows) {
        std::string line;
        for (size_t k = 0; k + 1 < row.size(); ++k) line += Padded(row[k], widths[k]) + "  ";
        lines.push_back(line + row.back());
    }
    for (const OtherUsersFlash &other : others) {
        std::string holds;
        for (const std::string &path : other.holds) holds += (holds.empty() ? "" : ", ") + Printable(path);
        lines.push_back("another user's flash: " + Printable(other.user) + " (uid " + std::to_string(other.uid) +
                        "), its process " + std::to_string(other.pid) +
                        (other.since > 0 ? " since " + UtcTimeText(other.since) : std::string()) + ", " +
                        (holds.empty() ? "on a drive this user cannot name" : "holding " + holds));
    }
    if (lines.empty()) lines.push_back("nothing under way.");
    return lines;
}

QJsonObject UnderWayObject(const FlashUnderWay &flash) {
    QJsonObject object;
    object.insert(QStringLiteral("block"), flash.snapshot.accepted);
    object.insert(QStringLiteral("blocks"), flash.snapshot.count);
    object.insert(QStringLiteral("final"), flash.snapshot.finalOut);
    object.insert(QStringLiteral("version"), Text(flash.record.version));
    object.insert(QStringLiteral("file"), Text(flash.record.file));
    object.insert(QStringLiteral("since"), QString::fromLatin1(UtcTimeText(flash.snapshot.since)));
    object.insert(QStringLiteral("starter"), Text(flash.record.program));
    object.insert(QStringLiteral("pid"), flash.snapshot.starterPid);
    object.insert(QStringLiteral("present"), flash.snapshot.starterPresent);
    return object;
}

std::string StatusJson(const std::vector<FlashUnderWay> &flashes, const std::vector<OtherUsersFlash> &others) {
    QJsonArray ours;
    for (const FlashUnderWay &flash : flashes) {
        const FlashRecord &r = flash.record;
        QJsonObject object;
        object.insert(QStringLiteral("drive"), QString::fromLatin1(AddressText(flash.drive)));
        object.insert(QStringLiteral("vendor"), Text(r.vendor));
        object.insert(QStringLiteral("model"), Text(r.model));
        object.insert(QStringLiteral("old"), Text(r.revision));
        object.insert(QStringLiteral("new"), Text(r.version));
        object.insert(QStringLiteral("file"), Text(r.file));
        object.insert(QStringLiteral("size"), static_cast<qint64>(r.size));
        object.insert(QStringLiteral("sha256"), Text(r.sha256));
        object.insert(QStringLiteral("flash"), Text(r.flash));
        object.insert(QStringLiteral("block"), flash.snapshot.accepted);
        object.insert(QStringLiteral("blocks"), flash.snapshot.count);
        object.insert(QStringLiteral("final"), flash.snapshot.finalOut);
        object.insert(QStringLiteral("result"),
                      QString::fromLatin1(flash.answer.Answered() ? OutcomeWords(flash.answer).c_str() : "under-way"));
        object.insert(QStringLiteral("since"), QString::fromLatin1(UtcTimeText(flash.snapshot.since)));
        QJsonObject starter;
        starter.insert(QStringLiteral("program"), Text(r.program));
        starter.insert(QStringLiteral("pid"), flash.snapshot.starterPid);
        starter.insert(QStringLiteral("present"), flash.snapshot.starterPresent);
        object.insert(QStringLiteral("starter"), starter);
        object.insert(QStringLiteral("restart"), flash.snapshot.restartWanted);
        ours.append(object);
    }
    QJsonArray theirs;
    for (const OtherUsersFlash &other : others) {
        QJsonObject object;
        object.insert(QStringLiteral("user"), Text(other.user));
        object.insert(QStringLiteral("uid"), other.uid);
        object.insert(QStringLiteral("pid"), other.pid);
        object.insert(QStringLiteral("since"),
                      other.since > 0 ? QJsonValue(QString::fromLatin1(UtcTimeText(other.since))) : QJsonValue());
        QJsonArray holds;
        for (const std::string &path : other.holds) holds.append(Text(path));
        object.insert(QStringLiteral("holds"), holds);
        theirs.append(object);
    }
    QJsonObject status;
    status.insert(QStringLiteral("flashes"), ours);
    status.insert(QStringLiteral("other-users"), theirs);
    return QJsonDocument(status).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

std::string ListMark(const FlashUnderWay &flash) { return "being flashed: " + StandingText(flash); }

std::string UnderWayRefusal(const FlashUnderWay &flash) {
    return "DOWNLOAD BUSY!! A flash of this drive is under way: firmware " + Printable(flash.record.version) +
           " from " + Printable(flash.record.file) + ", " + StandingText(flash) + ", started by " +
           StarterText(flash) + " at " + UtcTimeText(flash.snapshot.since) + ". Nothing was sent to it; " +
           WatchCommandText(flash.drive) + " follows it.";
}

std::string FollowingLine(const FlashUnderWay &flash, bool oneDrive) {
    const FlashRecord &r = flash.record;
    return "following the flash of firmware " + Printable(r.version) + " into " + Model(r) +
           (oneDrive ? " at " + AddressText(flash.drive) : std::string()) + " (now " + Printable(r.revision) +
           "): " + std::to_string(flash.snapshot.count) + " blocks, " + std::to_string(r.size) + " bytes of " +
           Printable(r.file) + ", started by " + StarterText(flash) + " at " + UtcTimeText(flash.snapshot.since) +
           "; " + StandingText(flash) + ".";
}
