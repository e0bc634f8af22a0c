#include "quarra/TVKQuarra.h"

#include <charconv>

#include "platform/KeyedArchiver.h"

namespace quarra {

TVKQuarra::TVKQuarra(std::uint64_t Id, std::string name, std::string_view url)
    : Id_(Id), name_(std::move(name)) {
    if (url.find("://") == std::string_view::npos) {
        // Sign-in replies name Quarras by host; a URL without scheme would have no host at all.
        URL_ = url.empty() ? std::nullopt : Url::parse("https://" + std::string(url));
    } else {
        URL_ = Url::parse(url);
    }
}

bool TVKQuarra::isEqual(const TVKQuarra& other) const {
    if (this == &other)
        return true;
    return URL_ && other.URL_ && Id_ == other.Id_ && name_ == other.name_ && *URL_ == *other.URL_;
}

std::string TVKQuarra::description() const {
    return "Id:" + std::to_string(Id_) + "; name:" + name_ +
           "; URL:" + (URL_ ? URL_->string() : std::string("(null)"));
}

void TVKQuarra::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeUInt64(Id_, "Id");
    coder.encodeString(name_, "name");
    if (URL_)
        coder.encodeUrl(*URL_, "URL");
}

std::shared_ptr<TVKQuarra> TVKQuarra::initWithCoder(KeyedUnarchiver& coder) {
    auto quarra = std::make_shared<TVKQuarra>();
    quarra->Id_ = coder.decodeUInt64("Id").value_or(0);
    quarra->name_ = coder.decodeString("name").value_or("");
    quarra->URL_ = coder.decodeUrl("URL");
    return quarra;
}

std::optional<std::uint64_t> identifierFromJson(const Json& value) {
    if (value.is_number_unsigned())
        return value.get<std::uint64_t>();
    if (value.is_number_integer()) {
        auto number = value.get<std::int64_t>();
        if (number < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(number);
    }
    if (!value.is_string())
        return std::nullopt;
    const auto& text = value.get_ref<const std::string&>();
    std::uint64_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

}  // namespace quarra
