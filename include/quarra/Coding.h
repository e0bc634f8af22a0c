#pragma once
// The base of objects that can be written into a keyed archive (users and Quarras are: the SDK
// keeps the signed-in user that way). A host has no need to archive them itself.
#include <string>

namespace quarra {

class KeyedArchiver;
class KeyedUnarchiver;

class Coding {
  public:
    virtual ~Coding() = default;
    // The class name recorded in the archive.
    virtual std::string archiveClassName() const = 0;
    virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

}  // namespace quarra
