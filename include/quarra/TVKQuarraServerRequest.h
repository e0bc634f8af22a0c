#pragma once
// A request to a Quarra's API described as data, for TVKQuarraAPI::query(): the endpoint below the
// API root (without a leading "/"), the Quarra, the method and parameter-encoding codes, and the
// parameters. A plain value: copies are independent.
#include <string>

#include "quarra/TVKQuarra.h"
#include "quarra/TVKQuarraRequestTypes.h"
#include "quarra/Json.h"

namespace quarra {

class TVKQuarraServerRequest {
  public:
    // `parameters` null gives an empty object.
    TVKQuarraServerRequest(std::string endpoint, TVKQuarraPtr quarra, unsigned long method,
                           unsigned long parameterEncoding, Json parameters = Json::object());
    virtual ~TVKQuarraServerRequest() = default;
    TVKQuarraServerRequest(const TVKQuarraServerRequest&) = default;
    TVKQuarraServerRequest& operator=(const TVKQuarraServerRequest&) = default;

    const std::string& endpoint() const { return endpoint_; }
    const TVKQuarraPtr& quarra() const { return quarra_; }
    unsigned long method() const { return method_; }
    unsigned long parameterEncoding() const { return parameterEncoding_; }
    const Json& parameters() const { return parameters_; }
    Json& parameters() { return parameters_; }
    void setParameters(Json parameters);

  private:
    std::string endpoint_;
    TVKQuarraPtr quarra_;
    unsigned long method_;
    unsigned long parameterEncoding_;
    Json parameters_;
};

}  // namespace quarra
