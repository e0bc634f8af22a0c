#pragma once
// The text of the full-text engine's offsets() function for one row, read as groups of four
// numbers: column, term, byte offset and byte length of each match.
#include <cstddef>
#include <functional>
#include <string>

namespace quarra {

class SQTextOffsets {
  public:
    struct Range {
        std::size_t location;
        std::size_t length;
    };

    explicit SQTextOffsets(std::string rawOffsets) : rawOffsets_(std::move(rawOffsets)) {}

    const std::string& rawOffsets() const { return rawOffsets_; }
    // Calls `block` for each complete group, stopping at the first that is not four numbers.
    void enumerateWithBlock(
        const std::function<void(int column, int term, Range range)>& block) const;

  private:
    std::string rawOffsets_;
};

}  // namespace quarra
