#pragma once
// The base of every cache entry: the Quarra the entry came from. Entries are plain values, made by
// the caches and not updated when the database changes.
#include <memory>

#include "quarra/TVKQuarra.h"

namespace quarra {

class TVKQuarraCacheEntry {
  public:
    explicit TVKQuarraCacheEntry(TVKQuarraPtr quarra) : quarra_(std::move(quarra)) {}
    virtual ~TVKQuarraCacheEntry() = default;

    const TVKQuarraPtr& quarra() const { return quarra_; }

  private:
    TVKQuarraPtr quarra_;
};

}  // namespace quarra
