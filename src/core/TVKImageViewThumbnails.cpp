#include "quarra/TVKImageViewThumbnails.h"

#include "core/TVKQuarraManager.h"

namespace quarra {

void setQuarraDocumentThumbnailImageWithPlaceholderImage(
    const std::shared_ptr<ui::ImageView>& imageView, ImagePtr placeholder, unsigned long documentId,
    unsigned long majorVersion, unsigned long minorVersion, const TVKQuarraPtr& quarra) {
    TVKQuarraManager::sharedInstance().setQuarraDocumentThumbnailWithImageView(
        imageView, std::move(placeholder), documentId, majorVersion, minorVersion, quarra);
}

}  // namespace quarra
