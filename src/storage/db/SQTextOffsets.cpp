#include "storage/db/SQTextOffsets.h"

#include <sstream>

namespace quarra {

void SQTextOffsets::enumerateWithBlock(
    const std::function<void(int column, int term, Range range)>& block) const {
    std::istringstream in(rawOffsets_);
    unsigned long column, term, offset, length;
    while (in >> column >> term >> offset >> length) {
        block(static_cast<int>(column), static_cast<int>(term), Range{offset, length});
    }
}

}  // namespace quarra
