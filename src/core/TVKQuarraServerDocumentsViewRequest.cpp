#include "quarra/TVKQuarraServerDocumentsViewRequest.h"

namespace quarra {

TVKQuarraServerDocumentsViewRequest::TVKQuarraServerDocumentsViewRequest(long view,
                                                                         TVKQuarraPtr quarra,
                                                                         Json parameters)
    : TVKQuarraServerRequest("objects/documents", std::move(quarra), TVKQuarraRequestMethodGET,
                             TVKQuarraParameterEncodingFormURL, std::move(parameters)) {
    if (auto name = viewToString(view))
        this->parameters()["named_filter"] = *name;
    else
        this->parameters().erase("named_filter");
}

std::optional<std::string> TVKQuarraServerDocumentsViewRequest::viewToString(long view) {
    switch (view) {
        case TVKQuarraServerDocumentsViewMyDocuments:
            return "My Documents";
        case TVKQuarraServerDocumentsViewFavorites:
            return "Favorites";
        case TVKQuarraServerDocumentsViewRecentDocuments:
            return "Recent Documents";
        case TVKQuarraServerDocumentsViewCart:
            return "Cart";
        default:
            return std::nullopt;
    }
}

}  // namespace quarra
