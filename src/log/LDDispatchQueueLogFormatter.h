#pragma once
// A formatter that prefixes each line with its time stamp and the queue or thread that logged it:
// "2024-03-05 09:15:02:123 [main] text". Queue labels and thread names can be given short names.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "log/LDLogger.h"
#include "platform/DateFormatter.h"

namespace quarra {

class LDDispatchQueueLogFormatter : public LDLogFormatter {
  public:
    enum Mode : std::uint64_t {
        // The formatter may serve several loggers at once.
        ShareableMode = 0,
        // The formatter serves one logger only (one queue), so it keeps one date formatter.
        NonShareableMode = 1,
    };

    explicit LDDispatchQueueLogFormatter(std::uint64_t mode = ShareableMode);

    // Labels shorter than the minimum are padded with spaces (0: no padding); longer than the
    // maximum are cut (0: no limit). Set them before the formatter is in use.
    std::size_t minQueueLength() const { return minQueueLength_; }
    void setMinQueueLength(std::size_t length) { minQueueLength_ = length; }
    std::size_t maxQueueLength() const { return maxQueueLength_; }
    void setMaxQueueLength(std::size_t length) { maxQueueLength_ = length; }

    // The short name for a queue label or thread name; the main queue starts as "main".
    std::optional<std::string> replacementStringForQueueLabel(const std::string& label) const;
    // None removes the short name.
    void setReplacementString(const std::optional<std::string>& replacement,
                              const std::string& label);

    // A date formatter for the date text: "yyyy-MM-dd HH:mm:ss:SSS" in the local time zone. A
    // subclass overrides it to change the date text.
    virtual DateFormatterPtr createDateFormatter() const;
    std::string stringFromDate(LDLogTimestamp date);
    // The queue label, or the thread name on a shared global queue or outside a queue, or else
    // the thread id; shortened and padded or cut.
    std::string queueThreadLabelForLogMessage(const LDLogMessage& message) const;
    // Never drops a message.
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;

  private:
    const std::uint64_t mode_;
    std::size_t minQueueLength_ = 0;
    std::size_t maxQueueLength_ = 0;
    DateFormatterPtr ownDateFormatter_;  // NonShareableMode, made on first use
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::string> replacements_;
};

}  // namespace quarra
