#pragma once
// The host's one call to show a document thumbnail in one of its image views.
#include <memory>

#include "quarra/TVKQuarra.h"
#include "quarra/Image.h"
#include "quarra/ui/ImageView.h"

namespace quarra {

// The thumbnail of version `majorVersion`.`minorVersion` of document `documentId` on `quarra`:
// a cached one at once, otherwise `placeholder` (when not null) until it has downloaded. Nothing
// happens when nobody is signed in. Main thread.
void setQuarraDocumentThumbnailImageWithPlaceholderImage(
    const std::shared_ptr<ui::ImageView>& imageView, ImagePtr placeholder, unsigned long documentId,
    unsigned long majorVersion, unsigned long minorVersion, const TVKQuarraPtr& quarra);

}  // namespace quarra
