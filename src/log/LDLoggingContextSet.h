#pragma once
// A set of context numbers that log filters pass or drop by, and the two filters over it. A
// message's signed context is taken bit for bit as an unsigned number. Every operation is safe
// while loggers use the filter.
#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "log/LDLogger.h"

namespace quarra {

class LDLoggingContextSet {
  public:
    void addToSet(std::uint64_t context);
    void removeFromSet(std::uint64_t context);
    // The members in no particular order.
    std::vector<std::uint64_t> currentSet() const;
    bool isInSet(std::uint64_t context) const;

  private:
    mutable std::mutex mutex_;
    std::unordered_set<std::uint64_t> set_;
};

// Passes only the messages whose context is on the list; an empty list passes nothing.
class LDContextWhitelistFilterLogFormatter : public LDLogFormatter {
  public:
    void addToWhitelist(std::uint64_t context) { set_.addToSet(context); }
    void removeFromWhitelist(std::uint64_t context) { set_.removeFromSet(context); }
    std::vector<std::uint64_t> whitelist() const { return set_.currentSet(); }
    bool isOnWhitelist(std::uint64_t context) const { return set_.isInSet(context); }
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;

  private:
    LDLoggingContextSet set_;
};

// Drops the messages whose context is on the list.
class LDContextBlacklistFilterLogFormatter : public LDLogFormatter {
  public:
    void addToBlacklist(std::uint64_t context) { set_.addToSet(context); }
    void removeFromBlacklist(std::uint64_t context) { set_.removeFromSet(context); }
    std::vector<std::uint64_t> blacklist() const { return set_.currentSet(); }
    bool isOnBlacklist(std::uint64_t context) const { return set_.isInSet(context); }
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;

  private:
    LDLoggingContextSet set_;
};

}  // namespace quarra
