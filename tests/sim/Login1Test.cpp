// The login1 service on a private bus started by scripts/sim-bus.sh, with a
// child process as the caller.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/sim/SimTestSupport.h"

using namespace simtest;

namespace {

// Runs a shell command and returns what it printed; status in *status.
std::string Shell(const std::string &command, int *status) {
    std::string output;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    *status = ::pclose(pipe);
    return output;
}

// A running caller with its stdin and stdout connected to us.
struct Caller {
    pid_t pid = -1;
    int in = -1;   // write end of its stdin
    FILE *out = nullptr;

    std::string ReadLine() {
        char line[256] = {};
        if (!std::fgets(line, sizeof line, out)) return "";
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    ~Caller() {
        if (in >= 0) ::close(in);
        if (out) std::fclose(out);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

class Login1Test : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir();
        busDir_ = dir_ + "/bus";
        int status = 0;
        std::string output = Shell(std::string("'") + QUORVEL_SOURCE_DIR + "/scripts/sim-bus.sh' start '" +
                                       busDir_ + "' '" + QUORVEL_SIM_LOGIN1 + "'",
                                   &status);
        ASSERT_EQ(status, 0) << output;
        std::string prefix = "DBUS_SYSTEM_BUS_ADDRESS='";
        size_t start = output.find(prefix);
        ASSERT_NE(start, std::string::npos) << output;
        start += prefix.size();
        address_ = output.substr(start, output.find('\'', start) - start);
        EXPECT_EQ(address_, "unix:path=" + busDir_ + "/system_bus_socket");
        EXPECT_NE(output.find("QUORVEL_SIM_LOGIN1_RECORD='" + busDir_ + "/login1.record'"),
                  std::string::npos);
        record_ = busDir_ + "/login1.record";
    }
    void TearDown() override {
        int status = 0;
        Shell(std::string("'") + QUORVEL_SOURCE_DIR + "/scripts/sim-bus.sh' stop '" + busDir_ + "'", &status);
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(std::filesystem::exists(busDir_ + "/sim-bus.pid"));
        std::filesystem::remove_all(dir_);
    }

    // machine: the caller's QUORVEL_SIM_MACHINE, as it names it from its
    // working folder dir_; none when empty.
    void Start(Caller &caller, const char *what, const std::string &machine = "") {
        int toChild[2], fromChild[2];
        ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
            if (machine.empty()) ::unsetenv("QUORVEL_SIM_MACHINE");
            else ::setenv("QUORVEL_SIM_MACHINE", machine.c_str(), 1);
            ::unsetenv("QUORVEL_SIM_STATE");
            if (::chdir(dir_.c_str()) != 0) ::_exit(126);
            ::execl(QUORVEL_SIM_LOGIN1_CLIENT, QUORVEL_SIM_LOGIN1_CLIENT, what, static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        caller.pid = pid;
        caller.in = toChild[1];
        caller.out = ::fdopen(fromChild[0], "r");
    }

    std::vector<std::string> Record() { return Lines(ReadText(record_)); }

    std::string dir_, busDir_, address_, record_;
};

// The machine the caller runs on restarts: what its drives accepted, they run.
TEST_F(Login1Test, RebootIsRecordedRestartsTheCallersMachineAndEndsTheCaller) {
    std::filesystem::create_directory(dir_ + "/host");
    WriteText(dir_ + "/host/x.machine", "state x.state\nadapters 1\n"
                                        "device 0 1 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\"\n"
                                        "device 0 2 vendor=\"QUORVEL \" product=\"CDRW-4824A\" revision=\"1.10\"\n");
    WriteText(dir_ + "/host/x.state", "revision 0 2 \"1.15\"\npending 0 1 \"1.20\" boot=\"b\"\n");
    Caller caller;
    Start(caller, "reboot", "host/x.machine");
    pid_t pid = caller.pid;
    int status = caller.Wait();  // it waits on stdin for ever unless ended
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    auto lines = Record();
    ASSERT_EQ(lines.size(), 1u);
    const std::string &line = lines[0];
    ASSERT_GT(line.size(), 25u);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[23], 'Z') << line;
    auto f = Fields(line.substr(line.find(' ') + 1));
    EXPECT_EQ(f[""], "reboot");
    EXPECT_EQ(f["interactive"], "true");
    EXPECT_EQ(f["pid"], std::to_string(pid));
    EXPECT_EQ(f["signal"], "SIGTERM");
    EXPECT_EQ(f["caller"].substr(0, 1), ":");
    EXPECT_EQ(f["machine"], "\"" + dir_ + "/host/x.machine\"");
    EXPECT_EQ(f["taken"], "0:1");
    EXPECT_EQ(ReadText(dir_ + "/host/x.state"),
              "# quorvel simulated machine: firmware revisions taken by downloads\n"
              "revision 0 1 \"1.20\"\n"
              "revision 0 2 \"1.15\"\n");
}

TEST_F(Login1Test, RebootOfAProgramOnNoSimulatedMachineRestartsNone) {
    Caller caller;
    Start(caller, "reboot");
    ASSERT_TRUE(WIFSIGNALED(caller.Wait()));
    auto lines = Record();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Fields(lines[0].substr(lines[0].find(' ') + 1))["machine"], "none");
}

TEST_F(Login1Test, InhibitIsHeldUntilTheCallerClosesIt) {
    Caller caller;
    Start(caller, "inhibit");
    ASSERT_EQ(caller.ReadLine(), "taken");
    auto lines = Record();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" inhibit taken id=1 what=\"shutdown:sleep\" who=\"QUORVEL\" "
                            "why=\"Firmware download in progress\" mode=\"block\" caller=:"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find(" pid=" + std::to_string(caller.pid)), std::string::npos);

    ::close(caller.in);  // the caller closes its lock and ends
    caller.in = -1;
    EXPECT_EQ(caller.ReadLine(), "closed");
    EXPECT_EQ(caller.Wait(), 0);
    ASSERT_TRUE(WaitFor([&] { return Record().size() == 2; }));
    EXPECT_NE(Record()[1].find(" inhibit released id=1 what=\"shutdown:sleep\" who=\"QUORVEL\""),
              std::string::npos)
        << Record()[1];
}

TEST_F(Login1Test, InhibitIsReleasedWhenTheCallerDies) {
    Caller caller;
    Start(caller, "inhibit");
    ASSERT_EQ(caller.ReadLine(), "taken");
    ::kill(caller.pid, SIGKILL);
    caller.Wait();
    ASSERT_TRUE(WaitFor([&] { return Record().size() == 2; }));
    EXPECT_NE(Record()[1].find(" inhibit released id=1 "), std::string::npos);
}

TEST(SimBusScript, RefusesWithoutALogin1Binary) {
    std::string dir = MakeTempDir();
    int status = 0;
    std::string output = Shell(std::string("'") + QUORVEL_SOURCE_DIR + "/scripts/sim-bus.sh' start '" +
                                   dir + "/bus' /nonexistent/login1 2>&1",
                               &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("quorvel-sim-login1 not found"), std::string::npos) << output;
    std::filesystem::remove_all(dir);
}

}  // namespace
