#include "tests/sg/guest/ServedDrive.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "aspi/sim/DataHash.h"

namespace served {
namespace {

using namespace quorvel_sim;

template <size_t N>
std::array<uint8_t, N> Padded(const std::string &text) {
    std::array<uint8_t, N> field;
    field.fill(' ');
    std::memcpy(field.data(), text.data(), std::min(text.size(), N));
    return field;
}

bool Number(const std::string &text, uint32_t &value) {
    char *end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number == 0 || number > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

std::string Quoted(std::span<const uint8_t> bytes) { return "\"" + std::string(bytes.begin(), bytes.end()) + "\""; }

DriveIdentity Identity(const Options &options) {
    DriveIdentity identity;
    identity.peripheral = 0x05;
    identity.vendor = Padded<8>(options.vendor);
    identity.product = Padded<16>(options.product);
    identity.revision = Padded<4>(options.revision);
    return identity;
}

}  // namespace

bool TakeOption(const std::string &key, const std::string &value, Options &options) {
    uint32_t number = 0;
    if (key == "--record") options.record = value;
    else if (key == "--ready") options.ready = value;
    else if (key == "--vendor" && value.size() <= 8) options.vendor = value;
    else if (key == "--product" && value.size() <= 16) options.product = value;
    else if (key == "--revision" && value.size() <= 4) options.revision = value;
    else if (key == "--die-at" && Number(value, number)) options.dieAt = number;
    else if (key == "--slow" && Number(value, number)) options.slowMs = number;
    else if (key == "--refuse") {
        size_t start = 0;
        while (start <= value.size()) {
            const size_t comma = std::min(value.find(',', start), value.size());
            const std::string item = value.substr(start, comma - start);
            if (item == "final") options.refusals.final = true;
            else if (Number(item, number)) options.refusals.commands.insert(number);
            else return false;
            start = comma + 1;
        }
    } else return false;
    return true;
}

bool Complete(const Options &options) {
    return !options.record.empty() && !options.vendor.empty() && !options.product.empty() &&
           !options.revision.empty();
}

void Fail(const std::string &program, const std::string &what) {
    std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), what.c_str(), std::strerror(errno));
    std::exit(1);
}

Record::Record(const std::string &path) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail("served drive", "cannot open the record " + path);
}

void Record::Line(std::string line) {
    line += '\n';
    if (write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        Fail("served drive", "cannot write the record");
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string text;
    char part[3];
    for (uint8_t byte : bytes) {
        std::snprintf(part, sizeof part, "%02x", byte);
        text += part;
    }
    return text;
}

std::string Fnv(std::span<const uint8_t> data) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(Fnv1a64(data)));
    return text;
}

Drive::Drive(const Options &options, Record &record)
    : options_(options), record_(record), drive_(Identity(options), options.refusals, DriveOptions{true}) {
    Started();
}

void Drive::PowerCycle() {
    drive_.PowerCycle();
    Started();
}

void Drive::Started() {
    const DriveIdentity &identity = drive_.Identity();
    record_.Line("start vendor=" + Quoted(identity.vendor) + " product=" + Quoted(identity.product) +
                 " revision=" + Quoted(identity.revision));
}

void Drive::Note(const std::string &what) { record_.Line("seq=" + std::to_string(++sequence_) + " " + what); }

Reply Drive::Answer(std::span<const uint8_t> cdb, std::span<const uint8_t> data, const std::string &extra) {
    std::string line = "seq=" + std::to_string(++sequence_) + " cdb=" + Hex(cdb) +
                       " data=" + std::to_string(data.size()) + extra;
    DriveResponse response;
    if (quorvel_sim::Drive::IsDownload(cdb)) {
        // The carrier holds the command meanwhile: the kernel, and so the
        // sender, waits for this answer as for a drive's.
        if (slowed_) std::this_thread::sleep_for(std::chrono::milliseconds(options_.slowMs));
        line += " fnv1a64=" + Fnv(data);
        if (options_.dieAt != 0 && drive_.DownloadCount() + 1 == options_.dieAt) {
            record_.Line(line + " download=" + std::to_string(options_.dieAt) + " dies");
            raise(SIGKILL);
        }
        const DownloadDecision decision = drive_.DecideDownload(cdb);
        response = drive_.FinishDownload(decision, data);
        line += " download=" + std::to_string(decision.number) + " phase=" + PhaseName(decision.phase);
        if (response.flashed)
            line += " new-revision=" + (response.newRevision ? Quoted(*response.newRevision) : std::string("none"));
    } else {
        response = drive_.Answer(cdb);
        const size_t sent = std::min(response.dataIn.size(), data.size());
        if (sent > 0) {
            line += " fnv1a64=" + Fnv(std::span<const uint8_t>(response.dataIn).first(sent)) +
                    " in=" + std::to_string(sent);
            if (cdb[0] == 0x12 && sent >= 36)
                line += " revision=" + Quoted(std::span<const uint8_t>(response.dataIn).subspan(32, 4));
        } else {
            line += " fnv1a64=" + Fnv(data);
        }
    }

    Reply reply;
    reply.status = static_cast<uint8_t>(response.status);
    char status[32];
    std::snprintf(status, sizeof status, " status=%02x", reply.status);
    line += status;
    if (response.status == ScsiStatus::CheckCondition) {
        const auto sense = FixedSense(response.sense);
        reply.sense.assign(sense.begin(), sense.end());
        std::snprintf(status, sizeof status, " sense=%02x/%02x/%02x", response.sense.key, response.sense.asc,
                      response.sense.ascq);
        line += status;
    } else {
        reply.dataIn = std::move(response.dataIn);
        if (reply.dataIn.size() > data.size()) reply.dataIn.resize(data.size());
    }
    record_.Line(line);
    return reply;
}

}  // namespace served
