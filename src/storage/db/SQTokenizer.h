#pragma once
// Tokenizers for full-text tables: the engine's tokenizer module forwards each text to an
// SQTokenizerDelegate found by key in a process-wide registry (SQDatabase::registerTokenizer), and
// a table names module and key: "create virtual table t using fts4(body, tokenize=sqdb mykey)".
//
// Thread safety: one delegate serves every table and connection using its key, possibly on several
// threads at once; all per-text state belongs in the cursor.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quarra {

struct SQTokenizerCursor;

// What the engine sees of a cursor: it fills in the tokenizer; the module finds its cursor again.
struct SQTokenizerCursorHeader {
    void* tokenizer = nullptr;
    SQTokenizerCursor* cursor = nullptr;
};

// One text being tokenised. Ranges are UTF-8 byte ranges of `input`, which are also the offsets the
// engine records for each token.
struct SQTokenizerCursor {
    struct Range {
        std::size_t location = 0;
        std::size_t length = 0;
    };

    SQTokenizerCursorHeader owner;  // first: the engine sees the cursor through it
    std::string_view input;         // the engine's bytes, valid until the cursor closes
    Range tokenRange;   // set by the delegate: where the current token stands in `input`
    std::string token;  // set by the delegate: the token as indexed (lower-cased, say)
    std::shared_ptr<void> scratch;  // the delegate's own state for this text
    int position = 0;               // index of the next token handed to the engine
    char output[128] = {};          // the token as handed to the engine, cut at 128 bytes
};

class SQTokenizerDelegate {
  public:
    virtual ~SQTokenizerDelegate() = default;
    // Prepares `cursor` for its input.
    virtual void openTokenizerCursor(SQTokenizerCursor& cursor) = 0;
    // True when there are no more tokens; otherwise sets tokenRange and token and answers false.
    virtual bool nextTokenForCursor(SQTokenizerCursor& cursor) = 0;
    // Releases what open set up beyond `token` and `scratch`, which the module releases itself.
    virtual void closeTokenizerCursor(SQTokenizerCursor& cursor) = 0;
};

// Maintenance commands for issueCommand; the last two are templates to fill in.
inline constexpr const char* kFTSCommandOptimize = "optimize";
inline constexpr const char* kFTSCommandRebuild = "rebuild";
inline constexpr const char* kFTSCommandIntegrityCheck = "integrity-check";
inline constexpr const char* kFTSCommandMerge = "merge=%u,%u";
inline constexpr const char* kFTSCommandAutoMerge = "automerge=%u";

}  // namespace quarra
