#pragma once
// A web view that loads its content through an HTTP session manager: the reply's body is shown
// with the view's base URL set to the request's final URL. Loading a new request cancels the one
// still running or suspended. The view's own manager and serializer, when set, replace the
// process-wide defaults (a manager on the default configuration that hands back the body as it
// came). Main thread only; the handlers run where the manager delivers completions (the main
// queue unless it was told otherwise).
#include <functional>
#include <memory>
#include <string>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/Progress.h"
#include "quarra/URLSessionTask.h"
#include "quarra/UrlRequest.h"
#include "quarra/ui/WebView.h"

namespace quarra {

// Handles a host can read from one view and hand to another; the library makes them.
class HTHTTPSessionManager;
class HTHTTPResponseSerializer;

std::shared_ptr<HTHTTPSessionManager> sessionManager(const ui::WebView& view);
void setSessionManager(ui::WebView& view, std::shared_ptr<HTHTTPSessionManager> manager);
// Kept for callers that read it; loading uses the session manager's own response serializer.
std::shared_ptr<HTHTTPResponseSerializer> responseSerializer(const ui::WebView& view);
void setResponseSerializer(ui::WebView& view, std::shared_ptr<HTHTTPResponseSerializer> serializer);

// The task loading the view now; null when none.
URLSessionTaskPtr ht_URLSessionTask(const ui::WebView& view);

// Gets the response and the body; returns what the view is to show.
using HTWebViewDataSuccess = std::function<Bytes(const HttpResponsePtr&, const Bytes&)>;
// Gets the response and the body as text; returns the text the view is to show.
using HTWebViewHTMLSuccess =
    std::function<std::string(const HttpResponsePtr&, const std::string& html)>;
using HTWebViewFailure = std::function<void(const ErrorPtr&)>;

// `progress`, when given, receives the download progress of the load. Without a success handler
// the body is shown as it came.
void loadRequest(const std::shared_ptr<ui::WebView>& view, const UrlRequest& request,
                 const std::string& MIMEType, const std::string& textEncodingName,
                 ProgressPtr* progress, HTWebViewDataSuccess success, HTWebViewFailure failure);
// HTML: the body is decoded in the character set the response names (UTF-8 when it names none or
// one that is not known), handed to `success` as UTF-8 text, and what it returns is encoded back
// in that character set for the view.
void loadRequest(const std::shared_ptr<ui::WebView>& view, const UrlRequest& request,
                 ProgressPtr* progress, HTWebViewHTMLSuccess success, HTWebViewFailure failure);

}  // namespace quarra
