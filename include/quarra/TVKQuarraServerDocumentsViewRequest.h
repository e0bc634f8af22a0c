#pragma once
// The documents of one of the server's named views: GET "objects/documents", form-encoded, with
// the view's name under "named_filter" beside the caller's parameters (none for an unknown code).
#include <optional>
#include <string>

#include "quarra/TVKQuarraServerRequest.h"

namespace quarra {

enum TVKQuarraServerDocumentsView : long {
    TVKQuarraServerDocumentsViewMyDocuments = 1,
    TVKQuarraServerDocumentsViewFavorites = 2,
    TVKQuarraServerDocumentsViewRecentDocuments = 3,
    TVKQuarraServerDocumentsViewCart = 4,
};

class TVKQuarraServerDocumentsViewRequest : public TVKQuarraServerRequest {
  public:
    TVKQuarraServerDocumentsViewRequest(long view, TVKQuarraPtr quarra,
                                        Json parameters = Json::object());

    // "My Documents", "Favorites", "Recent Documents", "Cart"; nothing for other codes.
    static std::optional<std::string> viewToString(long view);
};

}  // namespace quarra
