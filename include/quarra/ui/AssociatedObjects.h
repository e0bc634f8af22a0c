#pragma once
// Objects another layer attaches to a view it does not own (a helper that keeps a view in step
// with some work, say): kept under a key of the attaching code's choosing and released with the
// view. Main thread only, like the views.
#include <map>
#include <memory>

namespace quarra::ui {

class AssociatedObjects {
  public:
    // The object under `key` as a T, or null when none is there.
    template <class T>
    std::shared_ptr<T> associatedObject(const void* key) const {
        auto it = objects_.find(key);
        return it == objects_.end() ? nullptr : std::static_pointer_cast<T>(it->second);
    }
    // The object under `key`, made by `make` (a default T without one) when none is there yet.
    template <class T, class Make>
    std::shared_ptr<T> associatedObject(const void* key, Make make) {
        auto object = associatedObject<T>(key);
        if (!object) {
            object = make();
            objects_[key] = object;
        }
        return object;
    }
    template <class T>
    T& associatedObjectOrMake(const void* key) {
        return *associatedObject<T>(key, [] { return std::make_shared<T>(); });
    }
    // Null removes the entry.
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
