#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>

#include "log/LDLog.h"
#include "log/LDTTYLogger.h"

using namespace quarra;

namespace {

// Puts standard error on a fresh terminal (a pseudo-terminal in raw mode) or a pipe and reads
// back what was written to it. Lasts for the test's process: the console logger examines
// standard error once.
class StandardErrorCapture {
  public:
    explicit StandardErrorCapture(bool terminal) {
        int writeEnd = -1;
        if (terminal) {
            readEnd_ = posix_openpt(O_RDWR | O_NOCTTY);
            EXPECT_GE(readEnd_, 0);
            EXPECT_EQ(grantpt(readEnd_), 0);
            EXPECT_EQ(unlockpt(readEnd_), 0);
            writeEnd = open(ptsname(readEnd_), O_RDWR | O_NOCTTY);
            termios mode{};
            tcgetattr(writeEnd, &mode);
            cfmakeraw(&mode);
            tcsetattr(writeEnd, TCSANOW, &mode);
        } else {
            int fds[2];
            EXPECT_EQ(pipe(fds), 0);
            readEnd_ = fds[0];
            writeEnd = fds[1];
        }
        dup2(writeEnd, 2);
        close(writeEnd);
    }

    // Everything written to standard error up to now.
    std::string drain() {
        static constexpr std::string_view kEnd = "\x01end\x01";
        EXPECT_EQ(write(2, kEnd.data(), kEnd.size()), static_cast<ssize_t>(kEnd.size()));
        std::string text;
        while (text.size() < kEnd.size() ||
               text.compare(text.size() - kEnd.size(), kEnd.size(), kEnd) != 0) {
            char buffer[8192];
            ssize_t n = read(readEnd_, buffer, sizeof buffer);
            if (n <= 0) {
                ADD_FAILURE() << "standard error closed";
                break;
            }
            text.append(buffer, n);
        }
        return text.substr(0, text.size() - std::min(text.size(), kEnd.size()));
    }

  private:
    int readEnd_ = -1;
};

void setEnvironment(const std::map<std::string, const char*>& values) {
    for (const char* name : {"TERM", "COLORTERM", "NO_COLOR", "XcodeColors"}) {
        unsetenv(name);
    }
    for (const auto& [name, value] : values) {
        setenv(name.c_str(), value, 1);
    }
}

void logSync(std::string text, std::uint64_t flag, std::int64_t context = 0, LDLogTag tag = {}) {
    LDLog::sharedInstance().log(false, std::move(text), LDLogLevelAll, flag, context, __FILE__,
                                __func__, __LINE__, std::move(tag));
}

const std::shared_ptr<LDTTYLogger>& consoleWithColors() {
    const auto& console = LDTTYLogger::sharedInstance();
    LDLog::sharedInstance().addLogger(console);
    console->setColorsEnabled(true);
    return console;
}

class ReturnsText : public LDLogFormatter {
  public:
    explicit ReturnsText(std::optional<std::string> text) : text_(std::move(text)) {}
    std::optional<std::string> formatLogMessage(const LDLogMessage&) override { return text_; }

  private:
    std::optional<std::string> text_;
};

}  // namespace

TEST(LDTTYLoggerTest, ColourModeFollowsTheTerminalAndItsEnvironment) {
    struct Case {
        std::map<std::string, const char*> environment;
        bool terminal;
        LDTTYColorMode mode;
    };
    const Case cases[] = {
        {{{"TERM", "xterm-256color"}}, true, LDTTYColorMode::Color256},
        {{{"TERM", "XTERM-256COLOR"}}, true, LDTTYColorMode::Color256},
        {{{"TERM", "xterm-color"}}, true, LDTTYColorMode::Color16},
        {{{"TERM", "xterm"}}, true, LDTTYColorMode::None},
        {{}, true, LDTTYColorMode::None},
        {{{"TERM", "xterm-256color"}}, false, LDTTYColorMode::None},
        {{{"TERM", "xterm-256color"}, {"NO_COLOR", "1"}}, true, LDTTYColorMode::None},
        {{{"TERM", "xterm-256color"}, {"NO_COLOR", ""}}, true, LDTTYColorMode::Color256},
        {{{"TERM", "xterm"}, {"COLORTERM", "truecolor"}}, true, LDTTYColorMode::Color256},
        {{{"TERM", "xterm"}, {"COLORTERM", "1"}}, true, LDTTYColorMode::Color16},
        {{{"TERM", "dumb"}, {"COLORTERM", "truecolor"}}, true, LDTTYColorMode::None},
        {{{"TERM", "xterm"}, {"XcodeColors", "YES"}}, true, LDTTYColorMode::XcodeColors},
        {{{"TERM", "xterm-256color"}, {"XcodeColors", "yes"}}, true, LDTTYColorMode::Color256},
        {{{"XcodeColors", "YES"}, {"NO_COLOR", "1"}}, true, LDTTYColorMode::None},
    };
    for (const Case& c : cases) {
        auto getenv = [&](const char* name) -> const char* {
            auto it = c.environment.find(name);
            return it == c.environment.end() ? nullptr : it->second;
        };
        std::string where;
        for (const auto& [name, value] : c.environment) {
            where += name + "=" + value + " ";
        }
        EXPECT_EQ(LDTTYLogger::colorModeForEnvironment(getenv, c.terminal), c.mode)
            << where << (c.terminal ? "terminal" : "pipe");
    }
}

TEST(LDTTYLoggerTest, DefaultLineOn256ColourTerminalIsColouredByFlag) {
    setEnvironment({{"TERM", "xterm-256color"}});
    StandardErrorCapture capture(true);
    consoleWithColors();
    logSync("disk on fire", LDLogFlagError);
    logSync("disk warm", LDLogFlagWarning);
    logSync("ünïcode ✓", LDLogFlagInfo);
    std::string out = capture.drain();

    std::string line = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} )" +
                       std::string(program_invocation_short_name) + R"(\[)" +
                       std::to_string(getpid()) + R"(:\d{1,8}\] )";
    std::regex expected("\x1b\\[38;5;124m" + line + "disk on fire\n\x1b\\[0m" +
                        "\x1b\\[38;5;130m" + line + "disk warm\n\x1b\\[0m" + line +
                        "ünïcode ✓\n");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;
}

TEST(LDTTYLoggerTest, SixteenColourTerminalUsesItsNearestCodes) {
    setEnvironment({{"TERM", "xterm-color"}});
    StandardErrorCapture capture(true);
    const auto& console = consoleWithColors();
    console->setLogFormatter(std::make_shared<ReturnsText>("x"));
    logSync("", LDLogFlagError);
    logSync("", LDLogFlagWarning);
    EXPECT_EQ(capture.drain(), "\x1b[31mx\n\x1b[0m\x1b[33mx\n\x1b[0m");
}

TEST(LDTTYLoggerTest, XcodeColoursWriteTheComponents) {
    setEnvironment({{"TERM", "xterm"}, {"XcodeColors", "YES"}});
    StandardErrorCapture capture(false);  // that console is no terminal
    const auto& console = consoleWithColors();
    console->setLogFormatter(std::make_shared<ReturnsText>("x"));
    console->setForegroundColor(CLIColor::colorWithRGB255(1, 2, 3),
                                CLIColor::colorWithRGB255(250, 251, 252), LDLogFlagInfo);
    logSync("", LDLogFlagError);
    logSync("", LDLogFlagInfo);
    EXPECT_EQ(capture.drain(),
              "\x1b[fg214,57,30;x\n\x1b[;\x1b[fg1,2,3;\x1b[bg250,251,252;x\n\x1b[;");
}

TEST(LDTTYLoggerTest, NoCodesWhenStandardErrorIsNoTerminal) {
    setEnvironment({{"TERM", "xterm-256color"}});
    StandardErrorCapture capture(false);
    const auto& console = consoleWithColors();
    console->setLogFormatter(std::make_shared<ReturnsText>("plain"));
    logSync("", LDLogFlagError);
    EXPECT_EQ(capture.drain(), "plain\n");
}

TEST(LDTTYLoggerTest, ProfileChoiceByTagFlagAndContext) {
    setEnvironment({{"TERM", "xterm-color"}});
    StandardErrorCapture capture(true);
    const auto& console = LDTTYLogger::sharedInstance();
    LDLog::sharedInstance().addLogger(console);
    console->setLogFormatter(std::make_shared<ReturnsText>("x"));
    const auto red = CLIColor::colorWithRGB255(194, 54, 33);     // code 31m
    const auto green = CLIColor::colorWithRGB255(37, 188, 36);   // 32m
    const auto blue = CLIColor::colorWithRGB255(73, 46, 225);    // 34m
    const auto cyan = CLIColor::colorWithRGB255(51, 187, 200);   // 36m
    auto tag = std::make_shared<int>(1);
    auto tagWithout = std::make_shared<int>(2);

    // Profiles exist before colours are on: no defaults are loaded, and nothing is coloured yet.
    console->setForegroundColor(red, std::nullopt, LDLogFlagWarning);
    console->setForegroundColor(green, std::nullopt, LDLogFlagWarning, 7);
    console->setForegroundColor(blue, std::nullopt, LDLogFlagInfo, 7);
    console->setForegroundColor(red, std::nullopt, LDLogFlagInfo);
    console->setForegroundColorForTag(cyan, std::nullopt, tag);
    logSync("", LDLogFlagWarning, 7);
    console->setColorsEnabled(true);
    EXPECT_TRUE(console->colorsEnabled());
    struct Case {
        std::uint64_t flag;
        std::int64_t context;
        LDLogTag tag;
        const char* code;
    };
    const Case cases[] = {
        {LDLogFlagWarning, 7, {}, "32m"},         // exact context after all-contexts
        {LDLogFlagInfo, 7, {}, "34m"},            // exact context ends the scan first
        {LDLogFlagWarning, 3, {}, "31m"},         // all contexts
        {LDLogFlagError, 7, {}, nullptr},         // no profile for the flag
        {LDLogFlagError, 0, tag, "36m"},          // the tag wins over the flag
        {LDLogFlagWarning, 7, tagWithout, "32m"}, // a tag without profile falls back
    };
    std::string expected = "x\n";
    for (const Case& c : cases) {
        logSync("", c.flag, c.context, c.tag);
        expected += c.code ? "\x1b[" + std::string(c.code) + "x\n\x1b[0m" : "x\n";
    }
    EXPECT_EQ(capture.drain(), expected);

    // Clearing without a context leaves the all-contexts profile; with it, the profile goes.
    console->clearColorsForFlag(LDLogFlagWarning);
    logSync("", LDLogFlagWarning, 3);
    console->clearColorsForFlag(LDLogFlagWarning, LDTTYLogger::kAllContexts);
    logSync("", LDLogFlagWarning, 3);
    console->clearColorsForTag(tag);
    logSync("", LDLogFlagError, 0, tag);
    console->setColorsEnabled(false);
    logSync("", LDLogFlagInfo, 7);
    EXPECT_EQ(capture.drain(), "\x1b[31mx\n\x1b[0mx\nx\nx\n");

    // Clearing every flag profile and switching colours on again brings the defaults back.
    console->clearAllColors();
    console->setColorsEnabled(true);
    logSync("", LDLogFlagError);
    EXPECT_EQ(capture.drain(), "\x1b[31mx\n\x1b[0m");
}

TEST(LDTTYLoggerTest, NewlinesFormattersAndLongText) {
    setEnvironment({});
    StandardErrorCapture capture(false);
    const auto& console = LDTTYLogger::sharedInstance();
    LDLog::sharedInstance().addLogger(console);

    logSync("ends in newline\n", LDLogFlagInfo);
    std::string out = capture.drain();
    EXPECT_EQ(out.substr(out.find("] ")), "] ends in newline\n");

    std::string longText(4096, 'x');
    longText.replace(100, 3, "€");
    logSync(longText, LDLogFlagInfo);
    out = capture.drain();
    EXPECT_EQ(out.substr(out.find("] ") + 2), longText + "\n");

    console->setLogFormatter(std::make_shared<ReturnsText>("bare"));
    logSync("", LDLogFlagInfo);
    console->setAutomaticallyAppendNewlineForCustomFormatters(false);
    logSync("", LDLogFlagInfo);
    console->setLogFormatter(std::make_shared<ReturnsText>(std::nullopt));
    logSync("", LDLogFlagInfo);
    EXPECT_EQ(capture.drain(), "bare\nbare");
}

TEST(LDTTYLoggerTest, OnlyOneSharedConsoleLogger) {
    auto own = LDTTYLogger::make();
    EXPECT_NE(own, nullptr);
    EXPECT_NE(own, LDTTYLogger::sharedInstance());
    EXPECT_EQ(LDTTYLogger::make(), nullptr);
    EXPECT_EQ(LDTTYLogger::sharedInstance()->loggerName(), "log.dispatch.ttyLogger");
}
