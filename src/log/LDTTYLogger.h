#pragma once
// The console logger: writes each message as one line to standard error, optionally coloured with
// terminal escape codes chosen per flag, per flag and context, or per message tag. Colours are
// shown only when standard error is a terminal that supports them; the terminal is examined once,
// when the first console logger is made.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "log/CLIColor.h"
#include "log/LDAbstractLogger.h"

namespace quarra {

// What the terminal on standard error can show.
enum class LDTTYColorMode {
    None,         // no colours: every profile gets empty codes
    XcodeColors,  // the "ESC[fgR,G,B;" codes of consoles that asked for them with XcodeColors=YES
    Color16,      // the 16 ANSI colours
    Color256,     // the 256-colour palette (numbers 16 to 255)
};

// One colour choice, built once for the process's colour mode and then only read.
struct LDTTYLoggerColorProfile {
    // The escape codes are those of LDTTYLogger::colorMode().
    LDTTYLoggerColorProfile(const std::optional<CLIColor>& foreground,
                            const std::optional<CLIColor>& background, std::uint64_t mask,
                            std::int64_t context);
    std::string description() const;

    std::uint64_t mask = 0;    // the flag bits served (0 for a tag profile)
    std::int64_t context = 0;  // LDTTYLogger::kAllContexts serves every context
    std::uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
    std::uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
    std::size_t fgCodeIndex = 0;  // the entry of the colour set (16 and 256 colours)
    std::string fgCodeRaw;
    std::size_t bgCodeIndex = 0;
    std::string bgCodeRaw;
    std::string fgCode;  // the whole escape sequences
    std::string bgCode;
    std::string resetCode;
};

using LDTTYLoggerColorProfilePtr = std::shared_ptr<const LDTTYLoggerColorProfile>;

class LDTTYLogger : public LDAbstractLogger {
  public:
    // The context value of a profile that serves every context.
    static constexpr std::int64_t kAllContexts = 2147483647;

    // The process's console logger, made on first call.
    static const std::shared_ptr<LDTTYLogger>& sharedInstance();
    // A console logger of its own, or null once the shared one exists.
    static std::shared_ptr<LDTTYLogger> make();

    // The colour mode for an environment (`getenv` answers null for an unset variable) and
    // whether standard error is a terminal. NO_COLOR (set and not empty) and a standard error
    // that is no terminal turn colours off; XcodeColors=YES then asks for its codes; otherwise
    // TERM containing "color" (any case) or a non-empty COLORTERM gives colours, the 256 set when
    // TERM contains "256" or COLORTERM is "truecolor" or "24bit". TERM "dumb" shows none.
    static LDTTYColorMode colorModeForEnvironment(
        const std::function<const char*(const char*)>& getenv, bool standardErrorIsTerminal);
    // The process's colour mode, fixed when the first console logger is made.
    static LDTTYColorMode colorMode();
    // The colour set of the process's mode: empty unless it shows 16 or 256 colours.
    struct ColorSetEntry {
        std::string foreground;  // the code after the escape prefix, e.g. "31m"
        std::string background;
        CLIColor color;
    };
    static const std::vector<ColorSetEntry>& colorSet();
    // The index of the entry of colorSet() nearest to `color` (the lower index on a tie; 0 for an
    // empty set).
    static std::size_t codeIndexForColor(const CLIColor& color);

    void logMessage(const LDLogMessagePtr& message) override;

    // REQUIRES: not on the logging queue or this logger's queue.
    bool colorsEnabled();
    // Returns at once; loads the default profiles when no flag profile exists yet.
    void setColorsEnabled(bool enabled);

    // Every change below is made in step with the message stream: messages queued before the call
    // are written without it, later ones with it.
    // Sets the profile for exactly this mask and context, replacing one that has both.
    void setForegroundColor(const std::optional<CLIColor>& foreground,
                            const std::optional<CLIColor>& background, std::uint64_t flagMask,
                            std::int64_t context = kAllContexts);
    // REQUIRES: `tag` is not null.
    void setForegroundColorForTag(const std::optional<CLIColor>& foreground,
                                  const std::optional<CLIColor>& background, LDLogTag tag);
    // Removes the first profile with exactly this mask and context. The default context is 0, not
    // kAllContexts, so it leaves a profile set without a context in place.
    void clearColorsForFlag(std::uint64_t flagMask, std::int64_t context = 0);
    void clearColorsForTag(const LDLogTag& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();
    // Error lines in red, warnings in orange.
    void loadDefaultColorProfiles();

    bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { appendNewline_ = value; }

  private:
    LDTTYLogger();
    // REQUIRES: on the logger's queue.
    const LDTTYLoggerColorProfile* profileForMessage(const LDLogMessage& message) const;

    const std::string appName_;
    const std::string processID_;
    std::atomic<bool> appendNewline_{true};
    // Only touched on the logger's queue.
    bool colorsEnabled_ = false;
    std::vector<LDTTYLoggerColorProfilePtr> colorProfilesArray_;
    std::map<const void*, std::pair<LDLogTag, LDTTYLoggerColorProfilePtr>> colorProfilesDict_;
};

}  // namespace quarra
