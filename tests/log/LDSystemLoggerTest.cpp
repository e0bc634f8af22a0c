#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>

#include "log/LDASLLogger.h"
#include "log/LDLog.h"
#include "log/LDOSLogger.h"

using namespace quarra;

namespace {

// A datagram socket of the test's own, standing in for the journal or syslog.
class Listener {
  public:
    Listener() {
        path_ = (std::filesystem::temp_directory_path() /
                 ("quarra-log-" + std::to_string(getpid()) + "-" + std::to_string(next_++)))
                    .string();
        std::filesystem::remove(path_);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~Listener() {
        close(fd_);
        std::filesystem::remove(path_);
    }
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }

    // The next datagram; a datagram that carries a file gives the file's contents. The time
    // limit only keeps a broken logger from hanging the test.
    std::string receive() {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 30000) != 1) {
            ADD_FAILURE() << "no datagram";
            return {};
        }
        std::string buffer(1 << 20, '\0');
        char control[CMSG_SPACE(sizeof(int))] = {};
        iovec data{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &message, 0);
        EXPECT_GE(n, 0);
        buffer.resize(std::max<ssize_t>(n, 0));
        if (cmsghdr* header = CMSG_FIRSTHDR(&message); header && header->cmsg_type == SCM_RIGHTS) {
            int file;
            std::memcpy(&file, CMSG_DATA(header), sizeof file);
            buffer.clear();
            char chunk[65536];
            ssize_t got;
            while ((got = pread(file, chunk, sizeof chunk, buffer.size())) > 0) {
                buffer.append(chunk, got);
            }
            close(file);
        }
        return buffer;
    }

    bool hasPending() const {
        pollfd ready{fd_, POLLIN, 0};
        return poll(&ready, 1, 0) == 1;
    }

  private:
    static inline int next_ = 0;
    std::string path_;
    int fd_ = -1;
};

// The fields of one native journal record.
std::multimap<std::string, std::string> journalFields(const std::string& record) {
    std::multimap<std::string, std::string> fields;
    std::size_t at = 0;
    while (at < record.size()) {
        std::size_t end = record.find('\n', at);
        std::string line = record.substr(at, end - at);
        if (auto equals = line.find('='); equals != std::string::npos) {
            fields.emplace(line.substr(0, equals), line.substr(equals + 1));
            at = end + 1;
        } else {
            std::uint64_t size = 0;
            for (int i = 0; i < 8; ++i) {
                size |= std::uint64_t(static_cast<unsigned char>(record[end + 1 + i])) << (8 * i);
            }
            fields.emplace(line, record.substr(end + 9, size));
            at = end + 9 + size + 1;
        }
    }
    return fields;
}

void logSystemSync(std::string text, std::uint64_t flag, const char* file = "/src/Upload.cpp") {
    LDLog::sharedInstance().log(false, std::move(text), LDLogLevelAll, flag, 0, file, "upload()",
                                42, nullptr);
}

class DropAll : public LDLogFormatter {
  public:
    std::optional<std::string> formatLogMessage(const LDLogMessage&) override {
        return std::nullopt;
    }
};

const std::uint64_t kFlags[] = {LDLogFlagError, LDLogFlagWarning, LDLogFlagInfo, LDLogFlagDebug,
                                LDLogFlagVerbose};

}  // namespace

TEST(LDOSLoggerTest, JournalRecordsCarryFieldsPrioritiesAndUTF8) {
    Listener journal;
    const auto& logger = LDOSLogger::sharedInstance();
    logger->setSocketPath(journal.path());
    LDLog::sharedInstance().addLogger(logger);

    const char* priorities[] = {"3", "6", "6", "7", "7"};
    for (int i = 0; i < 5; ++i) {
        logSystemSync("straße ✓ " + std::to_string(i), kFlags[i]);
        auto fields = journalFields(journal.receive());
        EXPECT_EQ(fields.find("PRIORITY")->second, priorities[i]) << i;
        EXPECT_EQ(fields.find("MESSAGE")->second, "straße ✓ " + std::to_string(i));
    }
    logSystemSync("two\nlines", LDLogFlagInfo);
    auto fields = journalFields(journal.receive());
    std::multimap<std::string, std::string> expected = {
        {"MESSAGE", "two\nlines"},        {"PRIORITY", "6"},
        {"SYSLOG_IDENTIFIER", program_invocation_short_name},
        {"CODE_FILE", "/src/Upload.cpp"}, {"CODE_LINE", "42"},
        {"CODE_FUNC", "upload()"},        {"LDLOG", "1"}};
    EXPECT_EQ(fields, expected);

    // More than a datagram holds goes as a sealed file, as the journal accepts it.
    std::string large(2 << 20, 'y');
    logSystemSync(large, LDLogFlagInfo);
    EXPECT_EQ(journalFields(journal.receive()).find("MESSAGE")->second, large);
    EXPECT_EQ(LDOSLogger::make(), nullptr);
}

TEST(LDASLLoggerTest, SyslogRecordsAreThoseOfTheLocalSocketWithSeverities) {
    Listener syslog;
    const auto& logger = LDASLLogger::sharedInstance();
    logger->setSocketPath(syslog.path());
    LDLog::sharedInstance().addLogger(logger);
    EXPECT_EQ(logger->socketPath(), syslog.path());

    // "<PRI>Mmm dd hh:mm:ss identifier[pid]: text", the identifier marking the SDK's records.
    EXPECT_EQ(LDASLLogger::identifier(),
              std::string(program_invocation_short_name).substr(0, 26) + "/LDLog");
    const char* priorities[] = {"10", "11", "12", "13", "13"};
    for (int i = 0; i < 5; ++i) {
        logSystemSync("grüße ✓", kFlags[i]);
        std::regex record(
            "<" + std::string(priorities[i]) +
            R"(>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d\d:\d\d:\d\d )" +
            LDASLLogger::identifier() + "\\[" + std::to_string(getpid()) + "\\]: grüße ✓");
        std::string received = syslog.receive();
        EXPECT_TRUE(std::regex_match(received, record)) << received;
    }
    EXPECT_EQ(LDASLLogger::make(), nullptr);
}

TEST(LDSystemLoggerTest, CapturedAndDroppedMessagesAreNotWritten) {
    Listener journal;
    Listener syslog;
    LDOSLogger::sharedInstance()->setSocketPath(journal.path());
    LDASLLogger::sharedInstance()->setSocketPath(syslog.path());
    LDLog::sharedInstance().addLogger(LDOSLogger::sharedInstance());
    LDLog::sharedInstance().addLogger(LDASLLogger::sharedInstance());

    for (std::uint64_t flag : kFlags) {
        logSystemSync("fed back", flag, "/any/where/LDASLLogCapture.cpp");
    }
    logSystemSync("first written", LDLogFlagInfo);
    EXPECT_EQ(journalFields(journal.receive()).find("MESSAGE")->second, "first written");
    EXPECT_NE(syslog.receive().find("first written"), std::string::npos);

    LDOSLogger::sharedInstance()->setLogFormatter(std::make_shared<DropAll>());
    LDASLLogger::sharedInstance()->setLogFormatter(std::make_shared<DropAll>());
    logSystemSync("dropped", LDLogFlagError);
    LDOSLogger::sharedInstance()->setLogFormatter(nullptr);
    LDASLLogger::sharedInstance()->setLogFormatter(nullptr);
    logSystemSync("next written", LDLogFlagInfo);
    EXPECT_EQ(journalFields(journal.receive()).find("MESSAGE")->second, "next written");
    EXPECT_NE(syslog.receive().find("next written"), std::string::npos);
}

TEST(LDSystemLoggerTest, UnreachableOrFullSocketDropsLinesWithoutWaiting) {
    const auto& logger = LDASLLogger::sharedInstance();
    logger->setSocketPath("/nonexistent/quarra/log.socket");
    LDLog::sharedInstance().addLogger(logger);
    logSystemSync("nobody listens", LDLogFlagError);

    // A listener that reads nothing: once its queue is full, lines are dropped, and each
    // synchronous log call still returns.
    Listener syslog;
    logger->setSocketPath(syslog.path());
    constexpr int kLines = 5000;
    for (int i = 0; i < kLines; ++i) {
        logSystemSync("line " + std::to_string(i), LDLogFlagInfo);
    }
    int received = 0;
    while (syslog.hasPending()) {
        EXPECT_EQ(syslog.receive().find("nobody listens"), std::string::npos);
        ++received;
    }
    EXPECT_GT(received, 0);
    EXPECT_LT(received, kLines);

    // With room again the logger carries on.
    logSystemSync("after the jam", LDLogFlagInfo);
    EXPECT_NE(syslog.receive().find("after the jam"), std::string::npos);
}

// A NUL would end the record for a reader, and a record larger than a datagram would not go at
// all: the one is escaped, the other cut to fit with a marker.
TEST(LDASLLoggerTest, ANulIsEscapedAndALargeRecordIsCutToFit) {
    Listener syslog;
    const auto& logger = LDASLLogger::sharedInstance();
    logger->setSocketPath(syslog.path());
    LDLog::sharedInstance().addLogger(logger);
    logSystemSync(std::string("before\0after", 12), LDLogFlagInfo);
    EXPECT_TRUE(syslog.receive().ends_with("before\\x00after"));

    std::string large;
    while (large.size() < (1 << 20))
        large += "grüße ✓ ";
    logSystemSync(large, LDLogFlagInfo);
    std::string received = syslog.receive();
    EXPECT_LT(received.size(), large.size());
    auto marker = received.rfind(" [cut: the record had ");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_TRUE(received.ends_with(" bytes]"));
    std::string kept = received.substr(0, marker);
    EXPECT_NE(kept.find("]: grüße ✓ grüße"), std::string::npos);
    // Cut between characters: what is kept is a whole beginning of the text.
    EXPECT_TRUE(large.starts_with(kept.substr(kept.find("]: ") + 3)));
}
