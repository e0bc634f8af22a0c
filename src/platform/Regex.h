#pragma once
// Regular expressions (Perl syntax) over PCRE2 with its JIT, matching bytes: "." and the classes
// are ASCII, and text that is not valid UTF-8 is matched like any other. A compiled expression is
// immutable and may be shared between threads.
//
// A search that fails (a PCRE2 resource limit, the JIT running out of stack) is an error, never "no
// match": a caller that hides secrets must not take a failed search for text without them.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

inline constexpr const char* RegexErrorDomain = "quarra.regex";

class Regex {
  public:
    enum Option : unsigned { None = 0, DotMatchesLineSeparators = 1, AnchorsMatchLines = 2 };

    // One capture group of a match: where it starts and how long it is; `found` is false for a
    // group that took no part in the match.
    struct Range {
        size_t location = 0;
        size_t length = 0;
        bool found = false;
        std::string_view in(std::string_view text) const { return text.substr(location, length); }
    };
    // Ranges of the whole match (index 0) and of every group.
    using Match = std::vector<Range>;

    // Fails when the pattern does not compile.
    static Result<std::shared_ptr<const Regex>> make(std::string_view pattern,
                                                     unsigned options = None);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // Every match, left to right, not overlapping.
    Result<std::vector<Match>> matches(std::string_view text) const;
    // The first match at or after `start`, or none.
    Result<std::optional<Match>> firstMatch(std::string_view text, size_t start = 0) const;
    size_t groupCount() const { return groups_; }

    // Calls `each(match)` for every match, left to right, without allocating per match (the match
    // is reused between calls). Returns the error that ended the search early, if any.
    template <class Each>
    [[nodiscard]] ErrorPtr forEachMatch(std::string_view text, Each&& each) const {
        Match match(groups_ + 1);
        for (size_t start = 0; start <= text.size();) {
            int found = matchAt(text, start, match);
            if (found < 0)
                return matchError(found);
            if (found == 0)
                break;
            const Range& whole = match[0];
            // An empty match moves on by one byte, so the search ends.
            start = whole.location + (whole.length ? whole.length : 1);
            each(static_cast<const Match&>(match));
        }
        return nullptr;
    }

  private:
    Regex() = default;
    // 1 with `match` filled, 0 for no match, a negative PCRE2 code on failure.
    int matchAt(std::string_view text, size_t start, Match& match) const;
    static ErrorPtr matchError(int code);

    struct Code;
    std::unique_ptr<Code> code_;
    size_t groups_ = 0;
};

using RegexPtr = std::shared_ptr<const Regex>;

}  // namespace quarra
