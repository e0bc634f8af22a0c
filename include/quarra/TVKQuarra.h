#pragma once
// One Quarra (server instance) a user may work in. Shared by reference between the session, the
// request engine and the caches; not safe to change while other threads read it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quarra/Json.h"
#include "quarra/Coding.h"
#include "quarra/Url.h"

namespace quarra {

class TVKQuarra : public Coding {
  public:
    static constexpr const char* ArchiveClassName = "TVKQuarra";
    // The class name earlier SDK versions recorded in user archives.
    static constexpr const char* LegacyArchiveClassName = "Quarra";

    TVKQuarra() = default;
    // `url` is what sign-in replies send: a host name ("q1.example.com") or an absolute URL. A host
    // name stands for "https://<host>"; text that makes no URL leaves URL() empty.
    TVKQuarra(std::uint64_t Id, std::string name, std::string_view url);
    TVKQuarra(const TVKQuarra&) = delete;
    TVKQuarra& operator=(const TVKQuarra&) = delete;

    std::uint64_t Id() const { return Id_; }
    void setId(std::uint64_t Id) { Id_ = Id; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::optional<Url>& URL() const { return URL_; }
    void setURL(std::optional<Url> url) { URL_ = std::move(url); }

    // The same object, or equal Id, name and URL; a Quarra without URL equals only itself.
    bool isEqual(const TVKQuarra& other) const;
    // "Id:%lu; name:%@; URL:%@".
    std::string description() const;

    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<TVKQuarra> initWithCoder(KeyedUnarchiver& coder);

  private:
    std::uint64_t Id_ = 0;
    std::string name_;
    std::optional<Url> URL_;
};

using TVKQuarraPtr = std::shared_ptr<TVKQuarra>;

// An identifier (Quarra id, user id) from a server reply: a non-negative integer number or a string
// of decimal digits that fits 64 bits unsigned. Anything else (fractions, negative numbers, other
// text, overflow) gives nothing.
std::optional<std::uint64_t> identifierFromJson(const Json& value);

}  // namespace quarra
