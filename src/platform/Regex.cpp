#include "platform/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace quarra {

struct Regex::Code {
    pcre2_code* code = nullptr;
    ~Code() { pcre2_code_free(code); }
};

namespace {

struct MatchData {
    pcre2_match_data* data;
    explicit MatchData(const pcre2_code* code)
        : data(pcre2_match_data_create_from_pattern(code, nullptr)) {}
    ~MatchData() { pcre2_match_data_free(data); }
};

}  // namespace

Regex::~Regex() = default;

Result<std::shared_ptr<const Regex>> Regex::make(std::string_view pattern, unsigned options) {
    uint32_t flags = 0;
    if (options & DotMatchesLineSeparators)
        flags |= PCRE2_DOTALL;
    if (options & AnchorsMatchLines)
        flags |= PCRE2_MULTILINE;
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* compiled =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags, &code,
                      &offset, nullptr);
    if (!compiled) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(code, message, sizeof message);
        return Error::make(
            RegexErrorDomain, code,
            std::string(reinterpret_cast<char*>(message)) + " at offset " + std::to_string(offset));
    }
    // Without JIT (an unsupported machine) matching still works, only slower.
    pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE);
    std::shared_ptr<Regex> regex(new Regex());
    regex->code_ = std::make_unique<Code>();
    regex->code_->code = compiled;
    uint32_t groups = 0;
    pcre2_pattern_info(compiled, PCRE2_INFO_CAPTURECOUNT, &groups);
    regex->groups_ = groups;
    return std::shared_ptr<const Regex>(std::move(regex));
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view text, size_t start) const {
    MatchData data(code_->code);
    if (start > text.size() ||
        pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start, 0,
                    data.data, nullptr) < 0)
        return std::nullopt;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.data);
    Match match(groups_ + 1);
    for (size_t i = 0; i <= groups_; ++i) {
        if (ovector[2 * i] != PCRE2_UNSET) {
            match[i] = {ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i], true};
        }
    }
    return match;
}

std::vector<Regex::Match> Regex::matches(std::string_view text) const {
    std::vector<Match> all;
    size_t start = 0;
    while (auto match = firstMatch(text, start)) {
        const Range& whole = (*match)[0];
        // An empty match moves on by one byte, so the search ends.
        start = whole.location + (whole.length ? whole.length : 1);
        all.push_back(std::move(*match));
        if (start > text.size())
            break;
    }
    return all;
}

}  // namespace quarra
