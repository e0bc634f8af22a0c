#include "quarra/TVKQuarraServerRequest.h"

namespace quarra {

TVKQuarraServerRequest::TVKQuarraServerRequest(std::string endpoint, TVKQuarraPtr quarra,
                                               unsigned long method,
                                               unsigned long parameterEncoding, Json parameters)
    : endpoint_(std::move(endpoint)),
      quarra_(std::move(quarra)),
      method_(method),
      parameterEncoding_(parameterEncoding) {
    setParameters(std::move(parameters));
}

void TVKQuarraServerRequest::setParameters(Json parameters) {
    parameters_ = parameters.is_object() ? std::move(parameters) : Json::object();
}

}  // namespace quarra
