#include "quarra/ui/WebView.h"

namespace quarra::ui {

void WebView::loadData(WebViewContent content) {
    ++loadCount_;
    content_ = std::move(content);
    setNeedsDisplay();
}

void WebView::didStartLoad() {
    if (auto delegate = delegate_.lock())
        delegate->webViewDidStartLoad(*this);
}

void WebView::didFinishLoad() {
    if (auto delegate = delegate_.lock())
        delegate->webViewDidFinishLoad(*this);
}

}  // namespace quarra::ui
