#include "platform/ui/TextLayout.h"

namespace quarra::ui {
namespace {

std::size_t nextCharacter(std::string_view text, std::size_t at) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
        ++at;
    return at;
}

// Appends the lines of one paragraph (no line breaks in it).
void wrapParagraph(std::string_view paragraph, double width, const TextMeasure& measure,
                   std::vector<std::string>& lines) {
    std::string line;
    std::size_t at = 0;
    auto flush = [&] {
        lines.push_back(std::move(line));
        line.clear();
    };
    while (at < paragraph.size()) {
        std::size_t end = paragraph.find(' ', at);
        if (end == std::string_view::npos)
            end = paragraph.size();
        std::string_view word = paragraph.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
        if (measure(candidate) <= width) {
            line = std::move(candidate);
            continue;
        }
        if (!line.empty())
            flush();
        // A word wider than the whole line goes in pieces, at least one character a line.
        while (measure(word) > width) {
            std::size_t cut = nextCharacter(word, 0);
            for (std::size_t next = nextCharacter(word, cut);
                 cut < word.size() && measure(word.substr(0, next)) <= width;
                 next = nextCharacter(word, next)) {
                cut = next;
                if (next >= word.size())
                    break;
            }
            lines.emplace_back(word.substr(0, cut));
            word.remove_prefix(cut);
        }
        line = std::string(word);
    }
    if (!line.empty() || lines.empty())
        flush();
}

}  // namespace

std::vector<std::string> wrapText(std::string_view text, double width, const TextMeasure& measure) {
    std::vector<std::string> lines;
    for (;;) {
        std::size_t end = text.find('\n');
        std::vector<std::string> paragraph;
        wrapParagraph(text.substr(0, end), width, measure, paragraph);
        lines.insert(lines.end(), paragraph.begin(), paragraph.end());
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

}  // namespace quarra::ui
