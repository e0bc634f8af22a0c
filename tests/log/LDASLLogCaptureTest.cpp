// The system-log capture against a real journald of the test's own: a private journal namespace,
// started with its socket handed over (so records sent before it reads are kept), removed after.
#include "log/LDASLLogCapture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <csignal>

#include "log/LDASLLogger.h"
#include "log/LDAbstractLogger.h"
#include "log/LDLog.h"
#include "log/LDOSLogger.h"
#include "platform/FileDescriptor.h"
#include "support/TestSupport.h"

extern char** environ;

namespace quarra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kWait = 20s;
const char* kJournald = "/lib/systemd/systemd-journald";

// What reaches the dispatcher.
class Recorder : public LDAbstractLogger {
  public:
    Recorder() : LDAbstractLogger("test.recorder") {}
    struct Entry {
        std::string text;
        std::uint64_t flag;
        std::string fileName;
        LDLogTimestamp timestamp;
    };
    void logMessage(const LDLogMessagePtr& message) override {
        std::lock_guard lock(mutex_);
        entries_.push_back({message->message(), message->flag(), std::string(message->fileName()),
                            message->timestamp()});
        changed_.notify_all();
    }
    // The captured entries once `count` of them have arrived.
    std::vector<Entry> captured(std::size_t count) {
        std::unique_lock lock(mutex_);
        std::vector<Entry> found;
        changed_.wait_for(lock, kWait, [&] {
            found.clear();
            for (const auto& entry : entries_)
                if (entry.fileName == "LDASLLogCapture")
                    found.push_back(entry);
            return found.size() >= count;
        });
        return found;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A journald serving the namespace "quarra-test-<pid>".
class PrivateJournal {
  public:
    static std::string unavailable() {
        if (geteuid() != 0)
            return "a journal namespace needs root";
        if (access(kJournald, X_OK) != 0)
            return "no systemd-journald on this machine";
        if (test::readFile("/etc/machine-id").size() < 32)
            return "no machine id";
        return "";
    }

    PrivateJournal() {
        fs::create_directories(socketDir());
        // The native socket and the syslog one, handed over as the service manager would.
        FileDescriptor native = bound(socketPath());
        FileDescriptor syslog = bound(syslogSocketPath());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, native.get(), 3);
        posix_spawn_file_actions_adddup2(&actions, syslog.get(), 4);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        // The shell's pid is the daemon's after exec: it takes the sockets as its own.
        char script[256];
        std::snprintf(script, sizeof script, "LISTEN_PID=$$ LISTEN_FDS=2 exec %s \"$0\"",
                      kJournald);
        const char* argv[] = {"/bin/sh", "-c", script, name_.c_str(), nullptr};
        int failed =
            posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed)
            throw std::runtime_error("cannot start journald");
    }
    ~PrivateJournal() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        std::error_code ignored;
        fs::remove_all(socketDir(), ignored);
        std::string id = test::readFile("/etc/machine-id").substr(0, 32);
        for (const char* root : {"/run/log/journal/", "/var/log/journal/"})
            fs::remove_all(root + id + "." + name_, ignored);
    }

    const std::string& name() const { return name_; }
    std::string socketDir() const { return "/run/systemd/journal." + name_; }
    std::string socketPath() const { return socketDir() + "/socket"; }
    std::string syslogSocketPath() const { return socketDir() + "/dev-log"; }

    // Sends one native record from this process.
    void send(const std::string& record) const {
        FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address = addressOf(socketPath());
        ASSERT_EQ(sendto(socket.get(), record.data(), record.size(), 0,
                         reinterpret_cast<sockaddr*>(&address), sizeof address),
                  static_cast<ssize_t>(record.size()));
    }

    // Waits until the journal holds a record of this process with MESSAGE=`message`; returns its
    // `field` ("" when it has none), or none when no such record came.
    std::optional<std::string> waitForRecord(const std::string& message,
                                             const std::string& field = "LDLOG") const {
        using Journal = std::unique_ptr<sd_journal, decltype(&sd_journal_close)>;
        auto open = [this]() -> Journal {
            sd_journal* journal = nullptr;
            if (sd_journal_open_namespace(&journal, name_.c_str(), SD_JOURNAL_LOCAL_ONLY) < 0)
                return Journal(nullptr, sd_journal_close);
            return Journal(journal, sd_journal_close);
        };
        // One handle tells of changes; each change is read afresh, as files may appear meanwhile.
        Journal watcher = open();
        if (!watcher)
            return std::nullopt;
        std::string match = "MESSAGE=" + message;
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline) {
            Journal reader = open();
            if (reader && sd_journal_add_match(reader.get(), match.data(), match.size()) >= 0 &&
                sd_journal_next(reader.get()) > 0) {
                const void* data = nullptr;
                size_t length = 0;
                if (sd_journal_get_data(reader.get(), field.c_str(), &data, &length) < 0)
                    return std::string();
                return std::string(static_cast<const char*>(data) + field.size() + 1,
                                   length - field.size() - 1);
            }
            sd_journal_wait(watcher.get(), 1000000);
        }
        return std::nullopt;
    }

  private:
    static FileDescriptor bound(const std::string& path) {
        FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address = addressOf(path);
        fs::remove(path);
        if (bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path);
        chmod(path.c_str(), 0666);
        return socket;
    }

    std::string name_ = "quarra-test-" + std::to_string(getpid());
    pid_t pid_ = 0;
};

// A recorder of what the capture feeds in, `logger` writing to the journal through `socket`, and
// the capture running; null when the journal did not come up.
std::shared_ptr<Recorder> startCapture(PrivateJournal& journal,
                                       const std::shared_ptr<LDSystemLogger>& logger,
                                       const std::string& socket) {
    // Written and readable before the capture starts, so the journal's files exist when it opens
    // them; its LDLOG keeps it out of the capture.
    journal.send("MESSAGE=ready\nLDLOG=1\n");
    if (journal.waitForRecord("ready") != "1")
        return nullptr;
    auto recorder = std::make_shared<Recorder>();
    LDLog::sharedInstance().addLogger(recorder);
    logger->setSocketPath(socket);
    LDLog::sharedInstance().addLogger(logger);
    LDASLLogCapture::setJournalNamespace(journal.name());
    LDASLLogCapture::start();
    return recorder;
}

TEST(LDASLLogCaptureTest, RecordsMapToFlagsAsTheirPrioritySays) {
    auto recorder = std::make_shared<Recorder>();
    LDLog::sharedInstance().addLogger(recorder);
    struct Case {
        std::map<std::string, std::string> record;
        std::uint64_t level;
        std::optional<std::uint64_t> flag;  // none: not logged
    } cases[] = {
        {{{"MESSAGE", "p0"}, {"PRIORITY", "0"}}, 31, LDLogFlagError},
        {{{"MESSAGE", "p2"}, {"PRIORITY", "2"}}, 31, LDLogFlagError},
        {{{"MESSAGE", "p2 not captured"}, {"PRIORITY", "2"}}, 30, std::nullopt},
        {{{"MESSAGE", "no priority"}}, 31, LDLogFlagError},
        {{{"MESSAGE", "p3"}, {"PRIORITY", "3"}}, 31, LDLogFlagWarning},
        {{{"MESSAGE", "p4"}, {"PRIORITY", "4"}}, 31, LDLogFlagInfo},
        {{{"MESSAGE", "p5"}, {"PRIORITY", "5"}}, 31, LDLogFlagDebug},
        {{{"MESSAGE", "p6"}, {"PRIORITY", "6"}}, 31, LDLogFlagVerbose},
        {{{"MESSAGE", "p7"}, {"PRIORITY", "7"}}, 31, LDLogFlagVerbose},
        {{{"MESSAGE", "p12"}, {"PRIORITY", "12"}}, 31, LDLogFlagVerbose},
        {{{"MESSAGE", "p5 not captured"}, {"PRIORITY", "5"}}, 23, std::nullopt},
        {{{"PRIORITY", "3"}}, 31, std::nullopt},
    };
    std::vector<std::pair<std::string, std::uint64_t>> expected;
    for (const auto& c : cases) {
        LDASLLogCapture::setCaptureLevel(c.level);
        LDASLLogCapture::aslMessageReceived(c.record);
        if (c.flag)
            expected.emplace_back(c.record.at("MESSAGE"), *c.flag);
    }
    LDLog::sharedInstance().flushLog();
    std::vector<std::pair<std::string, std::uint64_t>> seen;
    for (const auto& entry : recorder->captured(expected.size()))
        seen.emplace_back(entry.text, entry.flag);
    EXPECT_EQ(seen, expected);

    // The sender's own time wins over the journal's.
    LDASLLogCapture::setCaptureLevel(31);
    LDASLLogCapture::aslMessageReceived({{"MESSAGE", "timed"},
                                         {"PRIORITY", "2"},
                                         {"_SOURCE_REALTIME_TIMESTAMP", "1700000000250000"},
                                         {"__REALTIME_TIMESTAMP", "1700000009000000"}});
    auto entries = recorder->captured(expected.size() + 1);
    ASSERT_EQ(entries.size(), expected.size() + 1);
    EXPECT_EQ(entries.back().timestamp.time_since_epoch(),
              std::chrono::microseconds(1700000000250000));
}

TEST(LDASLLogCaptureTest, FeedsBackThisProcesssJournalRecordsButNotTheSDKsOwn) {
    if (auto reason = PrivateJournal::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    PrivateJournal journal;
    auto recorder = startCapture(journal, LDOSLogger::sharedInstance(), journal.socketPath());
    ASSERT_TRUE(recorder);
    ASSERT_TRUE(LDASLLogCapture::isRunning());

    LDLog::sharedInstance().log(false, "from the SDK", LDLogLevelAll, LDLogFlagInfo, 0,
                                "/src/Upload.cpp", "upload()", 1, nullptr);
    LDLog::sharedInstance().flushLog();
    ASSERT_EQ(journal.waitForRecord("from the SDK"), "1");
    journal.send("MESSAGE=straße ✓ from elsewhere in the process\nPRIORITY=3\n");
    journal.send("MESSAGE=a second one\nPRIORITY=2\n");

    auto entries = recorder->captured(2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "straße ✓ from elsewhere in the process");
    EXPECT_EQ(entries[0].flag, LDLogFlagWarning);
    EXPECT_EQ(entries[1].text, "a second one");
    EXPECT_EQ(entries[1].flag, LDLogFlagError);

    LDASLLogCapture::stop();
    EXPECT_FALSE(LDASLLogCapture::isRunning());
}

// The syslog logger speaks what journald reads on its syslog socket: the record arrives whole,
// with the identifier and priority it was sent with, and the capture knows it for the SDK's own.
TEST(LDASLLogCaptureTest, SyslogRecordsReachJournaldWholeAndAreNotFedBack) {
    if (auto reason = PrivateJournal::unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    PrivateJournal journal;
    auto recorder =
        startCapture(journal, LDASLLogger::sharedInstance(), journal.syslogSocketPath());
    ASSERT_TRUE(recorder);

    LDLog::sharedInstance().log(false, "over syslog: ✓", LDLogLevelAll, LDLogFlagWarning, 0,
                                "/src/Upload.cpp", "upload()", 1, nullptr);
    ASSERT_EQ(journal.waitForRecord("over syslog: ✓", "SYSLOG_IDENTIFIER"),
              LDASLLogger::identifier());
    EXPECT_EQ(journal.waitForRecord("over syslog: ✓", "SYSLOG_PID"), std::to_string(getpid()));
    EXPECT_EQ(journal.waitForRecord("over syslog: ✓", "PRIORITY"), "3");
    EXPECT_EQ(journal.waitForRecord("over syslog: ✓", "SYSLOG_FACILITY"), "1");

    // Read in order: had the syslog record been fed back, it would come before this one.
    journal.send("MESSAGE=after it\nPRIORITY=3\n");
    auto entries = recorder->captured(1);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].text, "after it");
    LDASLLogCapture::stop();
}

}  // namespace
}  // namespace quarra
