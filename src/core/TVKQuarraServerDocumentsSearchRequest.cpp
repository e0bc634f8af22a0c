#include "quarra/TVKQuarraServerDocumentsSearchRequest.h"

namespace quarra {

TVKQuarraServerDocumentsSearchRequest::TVKQuarraServerDocumentsSearchRequest(
    const std::vector<std::string>& keywords, TVKQuarraPtr quarra, Json parameters)
    : TVKQuarraServerRequest("objects/documents", std::move(quarra), TVKQuarraRequestMethodGET,
                             TVKQuarraParameterEncodingFormURL, std::move(parameters)) {
    if (keywords.empty())
        return;
    std::string search;
    for (const std::string& keyword : keywords)
        search += (search.empty() ? "" : " ") + keyword;
    this->parameters()["search"] = search;
}

}  // namespace quarra
