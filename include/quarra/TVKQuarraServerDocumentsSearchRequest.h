#pragma once
// A search of the Quarra's documents by keywords: GET "objects/documents", form-encoded, with the
// keywords joined by single spaces under "search" beside the caller's parameters (no "search"
// without keywords).
#include <string>
#include <vector>

#include "quarra/TVKQuarraServerRequest.h"

namespace quarra {

class TVKQuarraServerDocumentsSearchRequest : public TVKQuarraServerRequest {
  public:
    TVKQuarraServerDocumentsSearchRequest(const std::vector<std::string>& keywords,
                                          TVKQuarraPtr quarra, Json parameters = Json::object());
};

}  // namespace quarra
