#pragma once
// Values that other layers attach to a view under keys of their own (the address of a static
// object of theirs), so that a view can carry state it knows nothing about. Main thread only, as
// views are.
#include <map>
#include <memory>

namespace quarra::ui {

class AssociatedObjects {
  public:
    // Null when nothing is stored under `key`.
    std::shared_ptr<void> associatedObject(const void* key) const {
        auto it = objects_.find(key);
        return it == objects_.end() ? nullptr : it->second;
    }
    // A null `object` removes the entry.
    void setAssociatedObject(const void* key, std::shared_ptr<void> object) {
        if (object)
            objects_[key] = std::move(object);
        else
            objects_.erase(key);
    }

  private:
    std::map<const void*, std::shared_ptr<void>> objects_;
};

}  // namespace quarra::ui
