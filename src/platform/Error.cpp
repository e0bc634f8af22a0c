#include "quarra/Error.h"

#include "quarra/Json.h"

namespace quarra {

Error::Error(std::string domain, long code, Json userInfo, ErrorPtr underlying)
    : domain_(std::move(domain)),
      code_(code),
      userInfo_(std::make_shared<const Json>(userInfo.is_object() ? std::move(userInfo)
                                                                  : Json::object())),
      underlying_(std::move(underlying)) {}

ErrorPtr Error::make(std::string domain, long code, std::string_view description,
                     ErrorPtr underlying) {
    Json info = Json::object();
    if (!description.empty()) {
        info[LocalizedDescriptionKey] = std::string(description);
    }
    return std::make_shared<const Error>(std::move(domain), code, std::move(info),
                                         std::move(underlying));
}

ErrorPtr Error::make(std::string domain, long code, Json userInfo, ErrorPtr underlying) {
    return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo),
                                         std::move(underlying));
}

std::string Error::localizedDescription() const {
    std::string text = jsonString(*userInfo_, LocalizedDescriptionKey);
    if (!text.empty()) {
        return text;
    }
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
           std::to_string(code_) + ".)";
}

std::string Error::description() const {
    std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                       localizedDescription() + "\"";
    if (!userInfo_->empty()) {
        text += " UserInfo=" + userInfo_->dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    if (underlying_) {
        text += " Underlying={" + underlying_->description() + "}";
    }
    return text;
}

}  // namespace quarra
