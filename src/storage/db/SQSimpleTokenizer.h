#pragma once
// Splits text into words by the Unicode word-break rules of a locale (dictionary-based where a
// script has no spaces) and indexes each word lower-cased in that locale. Stateless, so safe to
// share.
#include <optional>
#include <string>

#include "storage/db/SQTokenizer.h"

namespace quarra {

class SQSimpleTokenizer : public SQTokenizerDelegate {
  public:
    // An ICU locale name such as "en_US" or "tr"; none: the process's default locale.
    explicit SQSimpleTokenizer(std::optional<std::string> locale = std::nullopt);

    void openTokenizerCursor(SQTokenizerCursor& cursor) override;
    bool nextTokenForCursor(SQTokenizerCursor& cursor) override;
    void closeTokenizerCursor(SQTokenizerCursor& cursor) override;

  private:
    std::string m_locale;
};

}  // namespace quarra
