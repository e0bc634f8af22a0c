#pragma once
// A view that shows web content. The model renders nothing: it records what it was asked to load
// (the content, its MIME type, text encoding and base URL) and shows that record, and it tells its
// delegate when a load starts and finishes.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "quarra/Bytes.h"
#include "quarra/Url.h"
#include "quarra/ui/AssociatedObjects.h"
#include "quarra/ui/View.h"

namespace quarra::ui {

class WebView;

// Every method is optional: the defaults do nothing.
class WebViewDelegate {
  public:
    virtual ~WebViewDelegate() = default;
    virtual void webViewDidStartLoad(WebView&) {}
    virtual void webViewDidFinishLoad(WebView&) {}
};

struct WebViewContent {
    Bytes data;
    // Empty when the loader named none.
    std::string mimeType;
    std::string textEncodingName;
    std::optional<Url> baseURL;
};

class WebView : public View, public AssociatedObjects {
  public:
    using View::View;

    std::shared_ptr<WebViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<WebViewDelegate> delegate) { delegate_ = std::move(delegate); }

    // Shows `content` in place of what was shown.
    void loadData(WebViewContent content);
    // What the view shows now; none before the first load.
    const std::optional<WebViewContent>& content() const { return content_; }
    // How many loads the view was given.
    std::size_t loadCount() const { return loadCount_; }

    // For loaders: tell the delegate, when there is one.
    void didStartLoad();
    void didFinishLoad();

  private:
    std::weak_ptr<WebViewDelegate> delegate_;
    std::optional<WebViewContent> content_;
    std::size_t loadCount_ = 0;
};

}  // namespace quarra::ui
