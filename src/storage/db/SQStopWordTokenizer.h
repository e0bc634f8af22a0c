#pragma once
// Drops stop words from another tokenizer's output, except in a search text ending in "*" (a prefix
// search), where every word counts. Immutable after creation apart from setWords.
#include <memory>
#include <set>
#include <string>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "storage/db/SQTokenizer.h"

namespace quarra {

class SQStopWordTokenizer : public SQTokenizerDelegate {
  public:
    // One stop word per line of the UTF-8 file (lines are not trimmed, so "\r" stays in a word);
    // the read error when the file cannot be read.
    static Result<std::shared_ptr<SQStopWordTokenizer>> tokenizerWithFileURL(
        const std::string& path, std::shared_ptr<SQTokenizerDelegate> baseTokenizer);
    SQStopWordTokenizer(std::set<std::string> words,
                        std::shared_ptr<SQTokenizerDelegate> baseTokenizer);

    const std::set<std::string>& words() const { return m_words; }
    void setWords(std::set<std::string> words) { m_words = std::move(words); }

    void openTokenizerCursor(SQTokenizerCursor& cursor) override;
    bool nextTokenForCursor(SQTokenizerCursor& cursor) override;
    void closeTokenizerCursor(SQTokenizerCursor& cursor) override;

  private:
    std::shared_ptr<SQTokenizerDelegate> m_baseTokenizer;
    std::set<std::string> m_words;
};

}  // namespace quarra
