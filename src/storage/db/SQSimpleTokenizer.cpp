#include "storage/db/SQSimpleTokenizer.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

namespace quarra {
namespace {

// A word-break iterator over the cursor's UTF-8 input; its boundaries are byte offsets.
struct WordBreaks {
    ~WordBreaks() { utext_close(text); }
    UText* text = nullptr;
    std::unique_ptr<icu::BreakIterator> iterator;
};

}  // namespace

SQSimpleTokenizer::SQSimpleTokenizer(std::optional<std::string> locale)
    : m_locale(locale ? *locale : icu::Locale::getDefault().getName()) {}

void SQSimpleTokenizer::openTokenizerCursor(SQTokenizerCursor& cursor) {
    auto breaks = std::make_shared<WordBreaks>();
    UErrorCode status = U_ZERO_ERROR;
    breaks->text = utext_openUTF8(nullptr, cursor.input.data(),
                                  static_cast<int64_t>(cursor.input.size()), &status);
    breaks->iterator.reset(
        icu::BreakIterator::createWordInstance(icu::Locale(m_locale.c_str()), status));
    if (U_FAILURE(status) || !breaks->iterator) {
        return;  // no scratch: no tokens
    }
    breaks->iterator->setText(breaks->text, status);
    if (U_SUCCESS(status)) {
        cursor.scratch = std::move(breaks);
    }
}

bool SQSimpleTokenizer::nextTokenForCursor(SQTokenizerCursor& cursor) {
    auto* breaks = static_cast<WordBreaks*>(cursor.scratch.get());
    if (!breaks) {
        return true;
    }
    icu::BreakIterator& iterator = *breaks->iterator;
    int32_t start = iterator.current();
    for (int32_t end = iterator.next(); end != icu::BreakIterator::DONE; end = iterator.next()) {
        // Spaces and punctuation are segments too; only words become tokens.
        if (iterator.getRuleStatus() != UBRK_WORD_NONE) {
            cursor.tokenRange = {static_cast<size_t>(start), static_cast<size_t>(end - start)};
            std::string_view word =
                cursor.input.substr(cursor.tokenRange.location, cursor.tokenRange.length);
            cursor.token.clear();
            icu::UnicodeString::fromUTF8(
                icu::StringPiece(word.data(), static_cast<int32_t>(word.size())))
                .toLower(icu::Locale(m_locale.c_str()))
                .toUTF8String(cursor.token);
            return false;
        }
        start = end;
    }
    return true;
}

void SQSimpleTokenizer::closeTokenizerCursor(SQTokenizerCursor&) {}

}  // namespace quarra
