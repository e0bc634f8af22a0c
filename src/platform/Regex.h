#pragma once
// Regular expressions (Perl syntax) over PCRE2 with its JIT, matching bytes: "." and the classes
// are ASCII, and text that is not valid UTF-8 is matched like any other. A compiled expression is
// immutable and may be shared between threads.
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
    std::vector<Match> matches(std::string_view text) const;
    // The first match at or after `start`, or none.
    std::optional<Match> firstMatch(std::string_view text, size_t start = 0) const;
    bool search(std::string_view text) const { return firstMatch(text).has_value(); }
    size_t groupCount() const { return groups_; }

  private:
    Regex() = default;
    struct Code;
    std::unique_ptr<Code> code_;
    size_t groups_ = 0;
};

using RegexPtr = std::shared_ptr<const Regex>;

}  // namespace quarra
