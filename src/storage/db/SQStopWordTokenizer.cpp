#include "storage/db/SQStopWordTokenizer.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quarra {

Result<std::shared_ptr<SQStopWordTokenizer>> SQStopWordTokenizer::tokenizerWithFileURL(
    const std::string& path, std::shared_ptr<SQTokenizerDelegate> baseTokenizer) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) {
        int code = errno;
        return Error::make("NSPOSIXErrorDomain", code,
                           std::string_view(std::string(std::strerror(code)) + ": " + path));
    }
    std::set<std::string> words;
    std::string contents = text.str();
    for (size_t start = 0;;) {
        size_t end = contents.find('\n', start);
        words.insert(contents.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return std::make_shared<SQStopWordTokenizer>(std::move(words), std::move(baseTokenizer));
}

SQStopWordTokenizer::SQStopWordTokenizer(std::set<std::string> words,
                                         std::shared_ptr<SQTokenizerDelegate> baseTokenizer)
    : m_baseTokenizer(std::move(baseTokenizer)), m_words(std::move(words)) {}

void SQStopWordTokenizer::openTokenizerCursor(SQTokenizerCursor& cursor) {
    m_baseTokenizer->openTokenizerCursor(cursor);
}

bool SQStopWordTokenizer::nextTokenForCursor(SQTokenizerCursor& cursor) {
    bool done = m_baseTokenizer->nextTokenForCursor(cursor);
    if (cursor.input.ends_with('*')) {
        return done;
    }
    while (!done && m_words.contains(cursor.token)) {
        done = m_baseTokenizer->nextTokenForCursor(cursor);
    }
    return done;
}

void SQStopWordTokenizer::closeTokenizerCursor(SQTokenizerCursor& cursor) {
    m_baseTokenizer->closeTokenizerCursor(cursor);
}

}  // namespace quarra
