#pragma once
// Shows an image, or its highlighted image while highlighted.
#include "quarra/ui/Image.h"
#include "quarra/ui/View.h"
#include "quarra/ui/AssociatedObjects.h"

namespace quarra::ui {

class ImageView : public View, public AssociatedObjects {
  public:
    using View::View;

    const ImagePtr& image() const { return image_; }
    void setImage(ImagePtr image) {
        image_ = std::move(image);
        setNeedsDisplay();
    }
    const ImagePtr& highlightedImage() const { return highlightedImage_; }
    void setHighlightedImage(ImagePtr image) {
        highlightedImage_ = std::move(image);
        setNeedsDisplay();
    }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool highlighted) {
        highlighted_ = highlighted;
        setNeedsDisplay();
    }
    // The image on show now.
    const ImagePtr& currentImage() const {
        return highlighted_ && highlightedImage_ ? highlightedImage_ : image_;
    }

    void draw(Canvas& canvas, const Rect& rect) const override {
        if (currentImage())
            canvas.drawImage(*currentImage(), rect);
    }

  private:
    ImagePtr image_;
    ImagePtr highlightedImage_;
    bool highlighted_ = false;
};

}  // namespace quarra::ui
