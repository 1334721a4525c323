// The record of every flash; see FlashRecord.h.
#include "record/FlashRecord.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <mutex>

#include "platform/System.h"
#include "platform/TextFiles.h"
#include "platform/win32.h"

namespace {
constexpr char kProgramFolder[] = "quorvel";
constexpr char kRecordFile[] = "flashes.jsonl";
// Every line of the record carries this key and version: a line without it
// is not the record's.
constexpr char kFormatKey[] = "quorvel-record";
constexpr int kFormat = 1;
// The largest whole number a JSON number holds exactly (2^53).
constexpr double kLargestExactSize = 9007199254740992.0;

struct EventName {
    RecordEvent event;
    const char *name;
};
constexpr EventName kEvents[] = {
    {RecordEvent::Accepted, "accepted"},
    {RecordEvent::Refused, "refused"},
    {RecordEvent::Gone, "gone"},
    {RecordEvent::RestartRequested, "restart-requested"},
    {RecordEvent::RestartAccepted, "restart-accepted"},
    {RecordEvent::RestartRefused, "restart-refused"},
    {RecordEvent::RestartNotRequested, "restart-not-requested"},
    {RecordEvent::Confirmed, "confirmed"},
    {RecordEvent::NotTaken, "not-taken"},
    {RecordEvent::Superseded, "superseded"},
    {RecordEvent::Unattended, "unattended"},
    {RecordEvent::ProcessLost, "process-lost"},
    {RecordEvent::UnattendedTold, "unattended-told"},
    {RecordEvent::Started, "started"},
};

// Model, vendor and versions are the drive's and the image's bytes, one
// byte one character; names are the file system's (UTF-8).
QString Bytes(const std::string &text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }
std::string FromBytes(const QJsonValue &value) { return value.toString().toLatin1().toStdString(); }
QString Name(const std::string &text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

bool IsText(const QJsonObject &object, const char *key) { return object.value(QLatin1String(key)).isString(); }
bool IsNumber(const QJsonObject &object, const char *key) { return object.value(QLatin1String(key)).isDouble(); }
}  // namespace

const char *RecordEventName(RecordEvent event) {
    for (const EventName &e : kEvents)
        if (e.event == event) return e.name;
    return "?";
}

std::string EncodeRecord(const FlashRecord &record) {
    return QJsonDocument(RecordObject(record)).toJson(QJsonDocument::Compact).toStdString();
}

QJsonObject RecordObject(const FlashRecord &record) {
    QJsonObject object;
    object.insert(QLatin1String(kFormatKey), kFormat);
    object.insert(QStringLiteral("time"), Bytes(record.time));
    object.insert(QStringLiteral("boot"), Bytes(record.boot));
    object.insert(QStringLiteral("flash"), Bytes(record.flash));
    object.insert(QStringLiteral("program"), Bytes(record.program));
    object.insert(QStringLiteral("event"), QLatin1String(RecordEventName(record.event)));
    object.insert(QStringLiteral("vendor"), Bytes(record.vendor));
    object.insert(QStringLiteral("model"), Bytes(record.model));
    object.insert(QStringLiteral("revision"), Bytes(record.revision));
    object.insert(QStringLiteral("adapter"), record.adapter);
    object.insert(QStringLiteral("target"), record.target);
    object.insert(QStringLiteral("file"), Name(record.file));
    object.insert(QStringLiteral("size"), static_cast<qint64>(record.size));
    object.insert(QStringLiteral("sha256"), Bytes(record.sha256));
    object.insert(QStringLiteral("version"), Bytes(record.version));
    object.insert(QStringLiteral("block"), record.block);
    object.insert(QStringLiteral("blocks"), record.blocks);
    object.insert(QStringLiteral("detail"), Name(record.detail));
    if (!record.cause.empty()) object.insert(QStringLiteral("cause"), Bytes(record.cause));
    if (!record.sense.empty()) object.insert(QStringLiteral("sense"), Bytes(record.sense));
    if (record.pid > 0) object.insert(QStringLiteral("pid"), record.pid);
    return object;
}

bool DecodeRecord(const std::string &line, FlashRecord *record) {
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
    const QJsonObject object = document.object();
    if (object.value(QLatin1String(kFormatKey)).toInt(-1) != kFormat) return false;
    for (const char *key : {"time", "boot", "flash", "program", "event", "vendor", "model", "revision", "file",
                            "sha256", "version", "detail"})
        if (!IsText(object, key)) return false;
    for (const char *key : {"adapter", "target", "size", "block", "blocks"})
        if (!IsNumber(object, key)) return false;
    const QString event = object.value(QStringLiteral("event")).toString();
    bool known = false;
    for (const EventName &e : kEvents) {
        if (event == QLatin1String(e.name)) {
            record->event = e.event;
            known = true;
        }
    }
    if (!known) return false;
    record->time = FromBytes(object.value(QStringLiteral("time")));
    record->boot = FromBytes(object.value(QStringLiteral("boot")));
    record->flash = FromBytes(object.value(QStringLiteral("flash")));
    record->program = FromBytes(object.value(QStringLiteral("program")));
    record->vendor = FromBytes(object.value(QStringLiteral("vendor")));
    record->model = FromBytes(object.value(QStringLiteral("model")));
    record->revision = FromBytes(object.value(QStringLiteral("revision")));
    record->adapter = object.value(QStringLiteral("adapter")).toInt();
    record->target = object.value(QStringLiteral("target")).toInt();
    record->file = object.value(QStringLiteral("file")).toString().toStdString();
    // A size no file has (the record is anyone's to write) is a damaged line,
    // never a number cast out of its range.
    const double size = object.value(QStringLiteral("size")).toDouble();
    if (!(size >= 0 && size <= kLargestExactSize)) return false;
    record->size = static_cast<int64_t>(size);
    record->sha256 = FromBytes(object.value(QStringLiteral("sha256")));
    record->version = FromBytes(object.value(QStringLiteral("version")));
    record->block = object.value(QStringLiteral("block")).toInt();
    record->blocks = object.value(QStringLiteral("blocks")).toInt();
    record->detail = object.value(QStringLiteral("detail")).toString().toStdString();
    // Written only for a failed command, by this version on.
    for (const char *key : {"cause", "sense"})
        if (object.contains(QLatin1String(key)) && !IsText(object, key)) return false;
    record->cause = FromBytes(object.value(QStringLiteral("cause")));
    record->sense = FromBytes(object.value(QStringLiteral("sense")));
    if (object.contains(QLatin1String("pid")) && !IsNumber(object, "pid")) return false;
    const double pid = object.value(QStringLiteral("pid")).toDouble();
    if (!(pid >= 0 && pid <= 4194304)) return false;  // the kernel's largest process id
    record->pid = static_cast<int>(pid);
    return !record->flash.empty();
}

std::string FlashRecordPath() {
    const std::string folder = UserStateFolder(kProgramFolder);
    return folder.empty() ? std::string() : folder + "/" + kRecordFile;
}

void AppendFlashRecord(const FlashRecord &record, const std::function<void(const std::string &)> &say) {
    // Said once a run: every later line would fail the same way.
    static std::atomic<bool> told{false};
    const std::string path = FlashRecordPath();
    std::string error;
    bool written = false;
    if (path.empty()) {
        error = "there is no home folder to keep it in";
    } else {
        const std::string folder = path.substr(0, path.rfind('/'));
        written = MakeUserFolder(folder, &error) && AppendLineToFile(path, EncodeRecord(record), &error);
    }
    if (!written && !told.exchange(true)) say("the record of this flash cannot be written (" + error + ").");
}

void RecordFlashEvent(const FlashRecord &flash, RecordEvent event, int block, const std::string &detail,
                      const std::function<void(const std::string &)> &say) {
    FlashRecord entry = flash;
    entry.event = event;
    entry.time = UtcTimestamp();
    entry.boot = BootId();
    entry.block = block;
    entry.detail = detail;
    AppendFlashRecord(entry, say);
}

void RecordDriveAnswer(const FlashRecord &flash, const FlashOutcome &outcome, const std::string &detail,
                       const std::string &sense, const std::function<void(const std::string &)> &say) {
    FlashRecord line = flash;
    if (outcome.ending == FlashEnding::Accepted) return RecordFlashEvent(line, RecordEvent::Accepted, outcome.block, {}, say);
    line.cause = outcome.cause == FailureKind::None ? "" : FailureKindWord(outcome.cause);
    line.sense = sense;
    RecordFlashEvent(line, outcome.ending == FlashEnding::Gone ? RecordEvent::Gone : RecordEvent::Refused, outcome.block,
                     detail, say);
}

std::vector<FlashRecord> ReadFlashRecords(const std::function<void(const std::string &)> &say) {
    std::vector<FlashRecord> records;
    const std::string path = FlashRecordPath();
    if (path.empty()) return records;
    std::vector<std::string> lines;
    std::string error;
    if (!ReadLinesOfFile(path, &lines, &error)) {
        say("the record of earlier flashes cannot be read (" + error + ").");
        return records;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        FlashRecord record;
        if (DecodeRecord(lines[i], &record)) {
            records.push_back(std::move(record));
        } else if (!lines[i].empty()) {
            char where[32];
            wsprintfA(where, "%d", static_cast<int>(i + 1));
            say(path + ":" + where + ": not a line of the record; skipped.");
        }
    }
    return records;
}

std::string NewFlashId() {
    static std::mutex mutex;
    static int count = 0;
    std::lock_guard lock(mutex);
    char id[96];
    wsprintfA(id, "%s-%u-%d", UtcTimestamp().c_str(), static_cast<unsigned>(QCoreApplication::applicationPid()), ++count);
    return id;
}
