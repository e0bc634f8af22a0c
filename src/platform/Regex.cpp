#include "platform/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <optional>

namespace quarra {

struct Regex::Code {
    pcre2_code* code = nullptr;
    ~Code() { pcre2_code_free(code); }
};

namespace {

// The largest JIT stack a search may use. The default (32 KiB) runs out on long subjects for
// patterns that keep a frame per repetition; the stack is reserved address space, touched only as
// far as a search goes.
constexpr size_t kMaxJitStack = 8 * 1024 * 1024;

// What one thread needs to search: match data large enough for any pattern's groups is made on
// demand, the JIT stack and the context that hands it to PCRE2 once per thread.
struct ThreadScratch {
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* stack = nullptr;
    pcre2_match_data* data = nullptr;
    uint32_t pairs = 0;

    ThreadScratch() {
        context = pcre2_match_context_create(nullptr);
        stack = pcre2_jit_stack_create(32 * 1024, kMaxJitStack, nullptr);
        if (context && stack)
            pcre2_jit_stack_assign(context, nullptr, stack);
    }
    ThreadScratch(const ThreadScratch&) = delete;
    ThreadScratch& operator=(const ThreadScratch&) = delete;
    ~ThreadScratch() {
        pcre2_match_data_free(data);
        pcre2_jit_stack_free(stack);
        pcre2_match_context_free(context);
    }
    pcre2_match_data* dataFor(uint32_t groups) {
        if (!data || pairs < groups + 1) {
            pcre2_match_data_free(data);
            pairs = std::max<uint32_t>(groups + 1, 16);
            data = pcre2_match_data_create(pairs, nullptr);
        }
        return data;
    }
};

// Set once the thread's scratch is gone: code that runs while the thread ends (an exit handler on
// the main thread) searches with scratch of its own.
thread_local bool scratchDestroyed = false;

struct OwnedScratch : ThreadScratch {
    ~OwnedScratch() { scratchDestroyed = true; }
};

ThreadScratch* threadScratch() {
    if (scratchDestroyed)
        return nullptr;
    thread_local OwnedScratch perThread;
    return &perThread;
}

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

int Regex::matchAt(std::string_view text, size_t start, Match& match) const {
    if (start > text.size())
        return 0;
    std::optional<ThreadScratch> late;
    ThreadScratch* scratch = threadScratch();
    if (!scratch)
        scratch = &late.emplace();
    ThreadScratch& local = *scratch;
    pcre2_match_data* data = local.dataFor(static_cast<uint32_t>(groups_));
    if (!data)
        return PCRE2_ERROR_NOMEMORY;
    int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start,
                         0, data, local.context);
    if (rc == PCRE2_ERROR_NOMATCH)
        return 0;
    if (rc < 0)
        return rc;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    match.assign(groups_ + 1, Range{});
    for (size_t i = 0; i <= groups_; ++i) {
        if (ovector[2 * i] != PCRE2_UNSET)
            match[i] = {ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i], true};
    }
    return 1;
}

ErrorPtr Regex::matchError(int code) {
    PCRE2_UCHAR message[256];
    if (pcre2_get_error_message(code, message, sizeof message) < 0)
        return Error::make(RegexErrorDomain, code, "matching failed");
    return Error::make(RegexErrorDomain, code, reinterpret_cast<const char*>(message));
}

Result<std::optional<Regex::Match>> Regex::firstMatch(std::string_view text, size_t start) const {
    Match match(groups_ + 1);
    int found = matchAt(text, start, match);
    if (found < 0)
        return matchError(found);
    if (found == 0)
        return std::optional<Match>();
    return std::optional<Match>(std::move(match));
}

Result<std::vector<Regex::Match>> Regex::matches(std::string_view text) const {
    std::vector<Match> all;
    if (ErrorPtr error = forEachMatch(text, [&](const Match& match) { all.push_back(match); }))
        return error;
    return all;
}

}  // namespace quarra
