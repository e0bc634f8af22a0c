#pragma once
// One log event and the bits that select which loggers see it. A message is immutable once made and
// is shared between the loggers that handle it, so it is read from several queues without a lock.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quarra {

// A message carries one flag bit; a logger registered with a level mask receives it when
// (mask & flag) != 0. Callers may use any bit pattern: the dispatcher only ANDs them.
inline constexpr std::uint64_t LDLogFlagError = 1;
inline constexpr std::uint64_t LDLogFlagWarning = 2;
inline constexpr std::uint64_t LDLogFlagInfo = 4;
inline constexpr std::uint64_t LDLogFlagDebug = 8;
inline constexpr std::uint64_t LDLogFlagVerbose = 16;

inline constexpr std::uint64_t LDLogLevelOff = 0;
inline constexpr std::uint64_t LDLogLevelError = LDLogFlagError;
inline constexpr std::uint64_t LDLogLevelWarning = LDLogLevelError | LDLogFlagWarning;
inline constexpr std::uint64_t LDLogLevelInfo = LDLogLevelWarning | LDLogFlagInfo;
inline constexpr std::uint64_t LDLogLevelDebug = LDLogLevelInfo | LDLogFlagDebug;
inline constexpr std::uint64_t LDLogLevelVerbose = LDLogLevelDebug | LDLogFlagVerbose;
inline constexpr std::uint64_t LDLogLevelAll = ~std::uint64_t{0};

// Which caller strings a message copies. Without LDLogMessageCopyFile (or ...CopyFunction) the
// message only refers to the caller's file (or function) text, which must then outlive every
// logger's use of the message: __FILE__ and __PRETTY_FUNCTION__ do. The text is taken by value, so
// the third bit is only carried for loggers that look at it.
inline constexpr std::int64_t LDLogMessageCopyFile = 1;
inline constexpr std::int64_t LDLogMessageCopyFunction = 2;
inline constexpr std::int64_t LDLogMessageDontCopyMessage = 4;

// A caller-chosen key that loggers compare by identity (the console logger picks colours by it).
using LDLogTag = std::shared_ptr<const void>;
using LDLogTimestamp = std::chrono::system_clock::time_point;

class LDLogMessage {
  public:
    // A message with every field empty or 0.
    LDLogMessage() = default;
    // `timestamp` defaults to now. The thread id and name and the current queue's label are taken
    // from the calling thread.
    LDLogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                 std::string_view file, std::string_view function, std::uint64_t line, LDLogTag tag,
                 std::int64_t options, std::optional<LDLogTimestamp> timestamp = std::nullopt);

    // A copy of this message (every other field shared) carrying `message` as its text.
    LDLogMessage withMessage(std::string message) const {
        LDLogMessage copy(*this);
        copy.message_ = std::move(message);
        return copy;
    }

    const std::string& message() const { return message_; }
    std::uint64_t level() const { return level_; }
    std::uint64_t flag() const { return flag_; }
    std::int64_t context() const { return context_; }
    std::string_view file() const { return file_; }
    // The file's last path component without its extension ("/x/y/TVKFileLogger.cpp" gives
    // "TVKFileLogger").
    std::string_view fileName() const { return fileName_; }
    std::string_view function() const { return function_; }
    std::uint64_t line() const { return line_; }
    const LDLogTag& tag() const { return tag_; }
    std::int64_t options() const { return options_; }
    LDLogTimestamp timestamp() const { return timestamp_; }
    // The kernel's id of the creating thread, in decimal.
    const std::string& threadID() const { return threadID_; }
    // Empty when the thread has no name.
    const std::string& threadName() const { return threadName_; }
    // The label of the queue the message was made on ("" outside any queue).
    const std::string& queueLabel() const { return queueLabel_; }

  private:
    struct Copies {
        std::string file;
        std::string function;
    };

    std::string message_;
    std::uint64_t level_ = 0;
    std::uint64_t flag_ = 0;
    std::int64_t context_ = 0;
    // Copies of the caller's strings when the options ask for them; shared by copies of this
    // message so that the views below stay valid.
    std::shared_ptr<const Copies> copies_;
    std::string_view file_;
    std::string_view fileName_;
    std::string_view function_;
    std::uint64_t line_ = 0;
    LDLogTag tag_;
    std::int64_t options_ = 0;
    LDLogTimestamp timestamp_{};
    std::string threadID_;
    std::string threadName_;
    std::string queueLabel_;
};

using LDLogMessagePtr = std::shared_ptr<const LDLogMessage>;

// The file name of `path` without directory and extension, as a view into `path`; none for a null
// path. "/a/b/LDLog.cpp" gives "LDLog", "/a.d/file" gives "file", "dir/" gives "".
std::optional<std::string_view> LDExtractFileNameWithoutExtension(const char* path);
std::string_view LDExtractFileNameWithoutExtension(std::string_view path);

}  // namespace quarra
