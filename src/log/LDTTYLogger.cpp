#include "log/LDTTYLogger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>

#include "log/LDLog.h"
#include "log/LDSystemLogger.h"

namespace quarra {
namespace {

constexpr const char* kEscape = "\x1b[";

std::atomic<bool> ttySharedMade{false};

bool containsNoCase(const char* text, const char* part) {
    return text && strcasestr(text, part) != nullptr;
}

std::vector<LDTTYLogger::ColorSetEntry> colors16() {
    static constexpr int rgb[16][3] = {
        {0, 0, 0},       {194, 54, 33},   {37, 188, 36},   {173, 173, 39},
        {73, 46, 225},   {211, 56, 211},  {51, 187, 200},  {203, 204, 205},
        {129, 131, 131}, {252, 57, 31},   {49, 231, 34},   {234, 236, 35},
        {88, 51, 255},   {249, 53, 248},  {20, 240, 240},  {233, 235, 235}};
    std::vector<LDTTYLogger::ColorSetEntry> set;
    for (int i = 0; i < 16; ++i) {
        std::string bold = i < 8 ? "" : "1;";
        set.push_back({bold + std::to_string(30 + i % 8) + "m",
                       bold + std::to_string(40 + i % 8) + "m",
                       CLIColor::colorWithRGB255(rgb[i][0], rgb[i][1], rgb[i][2])});
    }
    return set;
}

// The xterm layout, with the colours that terminals were seen to show at a few numbers.
std::vector<LDTTYLogger::ColorSetEntry> colors256() {
    static constexpr int cubeLevel[6] = {0, 95, 135, 175, 215, 255};
    static const std::map<int, std::array<int, 3>> observed = {
        {16, {47, 49, 49}},     {21, {88, 51, 255}},    {46, {27, 254, 30}},
        {51, {42, 253, 252}},   {124, {214, 57, 30}},   {130, {204, 121, 32}},
        {196, {255, 61, 30}},   {201, {255, 59, 255}},  {226, {251, 252, 15}},
        {231, {254, 255, 255}}, {232, {52, 53, 53}},    {243, {143, 144, 145}},
        {255, {240, 242, 242}}};
    std::vector<LDTTYLogger::ColorSetEntry> set;
    for (int number = 16; number < 256; ++number) {
        std::array<int, 3> rgb;
        if (auto it = observed.find(number); it != observed.end()) {
            rgb = it->second;
        } else if (number < 232) {
            int k = number - 16;
            rgb = {cubeLevel[k / 36], cubeLevel[k / 6 % 6], cubeLevel[k % 6]};
        } else {
            int grey = 8 + 10 * (number - 232);
            rgb = {grey, grey, grey};
        }
        set.push_back({"38;5;" + std::to_string(number) + "m",
                       "48;5;" + std::to_string(number) + "m",
                       CLIColor::colorWithRGB255(rgb[0], rgb[1], rgb[2])});
    }
    return set;
}

std::uint8_t component255(double fraction) {
    // A tiny allowance keeps 214/255 * 255 at 214 rather than 213.99999...
    return static_cast<std::uint8_t>(std::clamp(fraction * 255.0 + 1e-9, 0.0, 255.0));
}

struct Codes {
    std::size_t index = 0;
    std::string raw;
    std::string code;
};

Codes codesFor(const std::optional<CLIColor>& color, bool foreground, std::uint8_t r,
               std::uint8_t g, std::uint8_t b) {
    Codes codes;
    if (!color) {
        return codes;
    }
    switch (LDTTYLogger::colorMode()) {
        case LDTTYColorMode::Color16:
        case LDTTYColorMode::Color256: {
            codes.index = LDTTYLogger::codeIndexForColor(*color);
            const auto& entry = LDTTYLogger::colorSet()[codes.index];
            codes.raw = foreground ? entry.foreground : entry.background;
            codes.code = kEscape + codes.raw;
            break;
        }
        case LDTTYColorMode::XcodeColors: {
            char buffer[24];
            int n = std::snprintf(buffer, sizeof buffer, "%s%s%u,%u,%u;", kEscape,
                                  foreground ? "fg" : "bg", r, g, b);
            codes.code.assign(buffer, std::clamp(n, 0, 23));
            break;
        }
        case LDTTYColorMode::None:
            break;
    }
    return codes;
}

// Writes every piece, going on after a partial write or an interruption; other failures drop the
// rest of the line, as a console that cannot be written to has no one to tell.
void writePieces(int fd, iovec* pieces, int count) {
    while (count > 0) {
        ssize_t written = ::writev(fd, pieces, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
}

iovec piece(std::string_view text) {
    return {const_cast<char*>(text.data()), text.size()};
}

}  // namespace

LDTTYLoggerColorProfile::LDTTYLoggerColorProfile(const std::optional<CLIColor>& foreground,
                                                 const std::optional<CLIColor>& background,
                                                 std::uint64_t mask_, std::int64_t context_)
    : mask(mask_), context(context_) {
    auto split = [](const std::optional<CLIColor>& color, std::uint8_t& r, std::uint8_t& g,
                    std::uint8_t& b) {
        if (color) {
            double red, green, blue;
            color->getRed(&red, &green, &blue, nullptr);
            r = component255(red);
            g = component255(green);
            b = component255(blue);
        }
    };
    split(foreground, fg_r, fg_g, fg_b);
    split(background, bg_r, bg_g, bg_b);
    Codes fg = codesFor(foreground, true, fg_r, fg_g, fg_b);
    fgCodeIndex = fg.index;
    fgCodeRaw = std::move(fg.raw);
    fgCode = std::move(fg.code);
    Codes bg = codesFor(background, false, bg_r, bg_g, bg_b);
    bgCodeIndex = bg.index;
    bgCodeRaw = std::move(bg.raw);
    bgCode = std::move(bg.code);
    switch (LDTTYLogger::colorMode()) {
        case LDTTYColorMode::Color16:
        case LDTTYColorMode::Color256:
            resetCode = std::string(kEscape) + "0m";
            break;
        case LDTTYColorMode::XcodeColors:
            resetCode = std::string(kEscape) + ";";
            break;
        case LDTTYColorMode::None:
            break;
    }
}

std::string LDTTYLoggerColorProfile::description() const {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer,
                  "<LDTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u "
                  "fgCode:%s bgCode:%s>",
                  static_cast<const void*>(this), static_cast<int>(mask),
                  static_cast<long>(context), fg_r, fg_g, fg_b, bg_r, bg_g, bg_b,
                  fgCodeRaw.c_str(), bgCodeRaw.c_str());
    return buffer;
}

LDTTYColorMode LDTTYLogger::colorModeForEnvironment(
    const std::function<const char*(const char*)>& getenv, bool standardErrorIsTerminal) {
    const char* noColor = getenv("NO_COLOR");
    if (noColor && *noColor) {
        return LDTTYColorMode::None;
    }
    const char* xcode = getenv("XcodeColors");
    if (xcode && std::string_view(xcode) == "YES") {
        return LDTTYColorMode::XcodeColors;
    }
    if (!standardErrorIsTerminal) {
        return LDTTYColorMode::None;
    }
    const char* term = getenv("TERM");
    const char* colorTerm = getenv("COLORTERM");
    if (term && std::string_view(term) == "dumb") {
        return LDTTYColorMode::None;
    }
    bool hasColorTerm = colorTerm && *colorTerm;
    if (!containsNoCase(term, "color") && !hasColorTerm) {
        return LDTTYColorMode::None;
    }
    bool trueColor = hasColorTerm && (std::string_view(colorTerm) == "truecolor" ||
                                      std::string_view(colorTerm) == "24bit");
    return containsNoCase(term, "256") || trueColor ? LDTTYColorMode::Color256
                                                    : LDTTYColorMode::Color16;
}

LDTTYColorMode LDTTYLogger::colorMode() {
    static const LDTTYColorMode mode =
        colorModeForEnvironment([](const char* name) { return std::getenv(name); }, isatty(2));
    return mode;
}

const std::vector<LDTTYLogger::ColorSetEntry>& LDTTYLogger::colorSet() {
    // Never destroyed: the logger may still colour lines while the process exits.
    static const auto& set = *new std::vector<ColorSetEntry>([] {
        switch (colorMode()) {
            case LDTTYColorMode::Color16:
                return colors16();
            case LDTTYColorMode::Color256:
                return colors256();
            default:
                return std::vector<ColorSetEntry>{};
        }
    }());
    return set;
}

std::size_t LDTTYLogger::codeIndexForColor(const CLIColor& color) {
    double r, g, b;
    color.getRed(&r, &g, &b, nullptr);
    double best = 100;
    std::size_t bestIndex = 0;
    const auto& set = colorSet();
    for (std::size_t i = 0; i < set.size(); ++i) {
        double er, eg, eb;
        set[i].color.getRed(&er, &eg, &eb, nullptr);
        double distance = std::sqrt((r - er) * (r - er) + (g - eg) * (g - eg) + (b - eb) * (b - eb));
        if (distance < best) {
            best = distance;
            bestIndex = i;
        }
    }
    return bestIndex;
}

const std::shared_ptr<LDTTYLogger>& LDTTYLogger::sharedInstance() {
    // Never destroyed: it may still be writing while the process exits.
    static const auto& shared = *new std::shared_ptr<LDTTYLogger>([] {
        colorSet();
        std::shared_ptr<LDTTYLogger> logger(new LDTTYLogger());
        ttySharedMade = true;
        return logger;
    }());
    return shared;
}

std::shared_ptr<LDTTYLogger> LDTTYLogger::make() {
    if (ttySharedMade) {
        return nullptr;
    }
    colorSet();
    return std::shared_ptr<LDTTYLogger>(new LDTTYLogger());
}

LDTTYLogger::LDTTYLogger()
    : LDAbstractLogger("log.dispatch.ttyLogger"),
      appName_(LDProcessName()),
      processID_(std::to_string(getpid())) {}

const LDTTYLoggerColorProfile* LDTTYLogger::profileForMessage(const LDLogMessage& message) const {
    if (message.tag()) {
        if (auto it = colorProfilesDict_.find(message.tag().get());
            it != colorProfilesDict_.end()) {
            return it->second.second.get();
        }
    }
    const LDTTYLoggerColorProfile* chosen = nullptr;
    for (const auto& profile : colorProfilesArray_) {
        if ((profile->mask & message.flag()) == 0) {
            continue;
        }
        if (profile->context == message.context()) {
            return profile.get();
        }
        if (profile->context == kAllContexts) {
            chosen = profile.get();
        }
    }
    return chosen;
}

void LDTTYLogger::logMessage(const LDLogMessagePtr& message) {
    std::optional<std::string> formatted;
    if (logFormatter_) {
        formatted = logFormatter_->formatLogMessage(*message);
        if (!formatted) {
            return;
        }
    }
    const std::string& text = formatted ? *formatted : message->message();
    const LDTTYLoggerColorProfile* profile = colorsEnabled_ ? profileForMessage(*message) : nullptr;
    std::string_view fg = profile ? std::string_view(profile->fgCode) : std::string_view();
    std::string_view bg = profile ? std::string_view(profile->bgCode) : std::string_view();
    std::string_view reset = profile ? std::string_view(profile->resetCode) : std::string_view();
    bool endsInNewline = !text.empty() && text.back() == '\n';

    iovec pieces[13];
    int count = 0;
    pieces[count++] = piece(fg);
    pieces[count++] = piece(bg);
    if (formatted) {
        pieces[count++] = piece(text);
        if (appendNewline_ && !endsInNewline) {
            pieces[count++] = piece("\n");
        }
        pieces[count++] = piece(reset);
        writePieces(2, pieces, count);
        return;
    }

    char timestamp[64];
    auto since = message->timestamp().time_since_epoch();
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    auto seconds = static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(since).count());
    std::tm local{};
    localtime_r(&seconds, &local);
    int length = std::snprintf(timestamp, sizeof timestamp, "%04d-%02d-%02d %02d:%02d:%02d:%03d",
                               local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                               local.tm_hour, local.tm_min, local.tm_sec,
                               static_cast<int>(((millis % 1000) + 1000) % 1000));
    std::string_view threadID = message->threadID();
    pieces[count++] = piece(std::string_view(timestamp, std::clamp(length, 0, 23)));
    pieces[count++] = piece(" ");
    pieces[count++] = piece(appName_);
    pieces[count++] = piece("[");
    pieces[count++] = piece(processID_);
    pieces[count++] = piece(":");
    pieces[count++] = piece(threadID.substr(0, 8));
    pieces[count++] = piece("] ");
    pieces[count++] = piece(text);
    pieces[count++] = piece(endsInNewline ? "" : "\n");
    pieces[count++] = piece(reset);
    writePieces(2, pieces, count);
}

bool LDTTYLogger::colorsEnabled() {
    bool enabled = false;
    readInMessageOrder([&] { enabled = colorsEnabled_; });
    return enabled;
}

void LDTTYLogger::setColorsEnabled(bool enabled) {
    changeInMessageOrder([this, enabled] {
        colorsEnabled_ = enabled;
        if (colorProfilesArray_.empty()) {
            loadDefaultColorProfiles();
        }
    });
}

void LDTTYLogger::setForegroundColor(const std::optional<CLIColor>& foreground,
                                     const std::optional<CLIColor>& background,
                                     std::uint64_t flagMask, std::int64_t context) {
    auto profile =
        std::make_shared<const LDTTYLoggerColorProfile>(foreground, background, flagMask, context);
    changeInMessageOrder([this, profile] {
        auto same = std::find_if(colorProfilesArray_.begin(), colorProfilesArray_.end(),
                                 [&](const auto& p) {
                                     return p->mask == profile->mask &&
                                            p->context == profile->context;
                                 });
        if (same != colorProfilesArray_.end()) {
            *same = profile;
        } else {
            colorProfilesArray_.push_back(profile);
        }
    });
}

void LDTTYLogger::setForegroundColorForTag(const std::optional<CLIColor>& foreground,
                                           const std::optional<CLIColor>& background,
                                           LDLogTag tag) {
    auto profile = std::make_shared<const LDTTYLoggerColorProfile>(foreground, background, 0, 0);
    changeInMessageOrder([this, profile, tag = std::move(tag)] {
        colorProfilesDict_[tag.get()] = {tag, profile};
    });
}

void LDTTYLogger::clearColorsForFlag(std::uint64_t flagMask, std::int64_t context) {
    changeInMessageOrder([this, flagMask, context] {
        auto same = std::find_if(
            colorProfilesArray_.begin(), colorProfilesArray_.end(),
            [&](const auto& p) { return p->mask == flagMask && p->context == context; });
        if (same != colorProfilesArray_.end()) {
            colorProfilesArray_.erase(same);
        }
    });
}

void LDTTYLogger::clearColorsForTag(const LDLogTag& tag) {
    changeInMessageOrder([this, key = tag.get()] { colorProfilesDict_.erase(key); });
}

void LDTTYLogger::clearColorsForAllFlags() {
    changeInMessageOrder([this] { colorProfilesArray_.clear(); });
}

void LDTTYLogger::clearColorsForAllTags() {
    changeInMessageOrder([this] { colorProfilesDict_.clear(); });
}

void LDTTYLogger::clearAllColors() {
    changeInMessageOrder([this] {
        colorProfilesArray_.clear();
        colorProfilesDict_.clear();
    });
}

void LDTTYLogger::loadDefaultColorProfiles() {
    setForegroundColor(CLIColor::colorWithRGB255(214, 57, 30), std::nullopt, LDLogFlagError);
    setForegroundColor(CLIColor::colorWithRGB255(204, 121, 32), std::nullopt, LDLogFlagWarning);
}

}  // namespace quarra
