#pragma once
// A formatter that runs a chain of formatters: each one formats the previous one's text, and the
// first that drops the message drops it for the whole chain. The chain does not pass the
// added/removed notifications on to its members. Safe to use and change from any thread; a member
// must not call back into its own chain.
#include <memory>
#include <mutex>
#include <vector>

#include "log/LDLogger.h"

namespace quarra {

class LDMultiFormatter : public LDLogFormatter {
  public:
    LDMultiFormatter() = default;
    LDMultiFormatter(const LDMultiFormatter&) = delete;
    LDMultiFormatter& operator=(const LDMultiFormatter&) = delete;

    // The message's text through every member in order; none when a member drops it. An empty
    // chain passes the text unchanged.
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;

    std::vector<LDLogFormatterPtr> formatters() const;
    // Appends `formatter`, which may already be in the chain.
    void addFormatter(LDLogFormatterPtr formatter);
    // Removes every occurrence of `formatter`.
    void removeFormatter(const LDLogFormatterPtr& formatter);
    void removeAllFormatters();
    bool isFormattingWithFormatter(const LDLogFormatterPtr& formatter) const;

  private:
    mutable std::mutex mutex_;
    std::vector<LDLogFormatterPtr> formatters_;
};

}  // namespace quarra
