#include "quarra/HTWebViewLoading.h"

#include <unicode/ucnv.h>

#include "transport/HTHTTPRequestSerializer.h"
#include "transport/HTHTTPResponseSerializer.h"
#include "transport/HTHTTPSessionManager.h"

namespace quarra {
namespace {

const char webViewStateKey = 0;

struct WebViewState {
    std::shared_ptr<HTHTTPSessionManager> sessionManager;
    std::shared_ptr<HTHTTPResponseSerializer> responseSerializer;
    URLSessionTaskPtr task;
};

WebViewState* findWebViewState(const ui::WebView& view) {
    return view.associatedObject<WebViewState>(&webViewStateKey).get();
}

WebViewState& webViewStateOf(ui::WebView& view) {
    return view.associatedObjectOrMake<WebViewState>(&webViewStateKey);
}

const std::shared_ptr<HTHTTPSessionManager>& defaultSessionManager() {
    static auto* manager = new std::shared_ptr<HTHTTPSessionManager>([] {
        auto manager = HTHTTPSessionManager::make();
        manager->setRequestSerializer(HTHTTPRequestSerializer::serializer());
        manager->setResponseSerializer(HTHTTPResponseSerializer::serializer());
        return manager;
    }());
    return *manager;
}

const std::shared_ptr<HTHTTPResponseSerializer>& defaultResponseSerializer() {
    static auto* serializer =
        new std::shared_ptr<HTHTTPResponseSerializer>(HTHTTPResponseSerializer::serializer());
    return *serializer;
}

// `data` converted from the character set `from` to `to` (ICU names; IANA names are known to it);
// none when either is unknown or the data cannot be converted.
std::optional<std::string> convert(const std::string& to, const std::string& from,
                                   const std::string& data) {
    if (data.empty())
        return std::string();
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = ucnv_convert(to.c_str(), from.c_str(), nullptr, 0, data.data(),
                                       static_cast<std::int32_t>(data.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::nullopt;
    std::string out(static_cast<std::size_t>(length), '\0');
    status = U_ZERO_ERROR;
    ucnv_convert(to.c_str(), from.c_str(), out.data(), length, data.data(),
                 static_cast<std::int32_t>(data.size()), &status);
    if (U_FAILURE(status))
        return std::nullopt;
    return out;
}

// The response's character set when ICU knows it, else UTF-8.
std::string characterSet(const HttpResponsePtr& response) {
    if (response && !response->textEncodingName.empty()) {
        UErrorCode status = U_ZERO_ERROR;
        UConverter* converter = ucnv_open(response->textEncodingName.c_str(), &status);
        if (U_SUCCESS(status)) {
            ucnv_close(converter);
            return response->textEncodingName;
        }
    }
    return "UTF-8";
}

}  // namespace

std::shared_ptr<HTHTTPSessionManager> sessionManager(const ui::WebView& view) {
    const WebViewState* state = findWebViewState(view);
    return state && state->sessionManager ? state->sessionManager : defaultSessionManager();
}

void setSessionManager(ui::WebView& view, std::shared_ptr<HTHTTPSessionManager> manager) {
    webViewStateOf(view).sessionManager = std::move(manager);
}

std::shared_ptr<HTHTTPResponseSerializer> responseSerializer(const ui::WebView& view) {
    const WebViewState* state = findWebViewState(view);
    return state && state->responseSerializer ? state->responseSerializer
                                              : defaultResponseSerializer();
}

void setResponseSerializer(ui::WebView& view,
                           std::shared_ptr<HTHTTPResponseSerializer> serializer) {
    webViewStateOf(view).responseSerializer = std::move(serializer);
}

URLSessionTaskPtr ht_URLSessionTask(const ui::WebView& view) {
    const WebViewState* state = findWebViewState(view);
    return state ? state->task : nullptr;
}

void loadRequest(const std::shared_ptr<ui::WebView>& view, const UrlRequest& request,
                 const std::string& MIMEType, const std::string& textEncodingName,
                 ProgressPtr* progress, HTWebViewDataSuccess success, HTWebViewFailure failure) {
    WebViewState& state = webViewStateOf(*view);
    if (state.task) {
        URLSessionTaskState taskState = state.task->state();
        if (taskState == URLSessionTaskState::Running ||
            taskState == URLSessionTaskState::Suspended)
            state.task->cancel();
    }
    state.task = nullptr;

    auto manager = sessionManager(*view);
    std::weak_ptr<ui::WebView> weakView = view;
    // The task itself is known only once made; the completion reads it through this.
    auto taskHolder = std::make_shared<std::weak_ptr<URLSessionTask>>();
    URLSessionTaskPtr task = manager->dataTaskWithRequest(
        request, nullptr, nullptr,
        [weakView, taskHolder, MIMEType, textEncodingName, success, failure](
            const HttpResponsePtr& response, const std::any& responseObject,
            const ErrorPtr& error) {
            if (error) {
                if (failure)
                    failure(error);
                return;
            }
            const Bytes* body = std::any_cast<Bytes>(&responseObject);
            Bytes data = body ? *body : Bytes();
            if (success)
                data = success(response, data);
            auto view = weakView.lock();
            if (!view)
                return;
            ui::WebViewContent content{std::move(data), MIMEType, textEncodingName, std::nullopt};
            if (auto task = taskHolder->lock())
                content.baseURL = task->currentRequest().url;
            else if (response)
                content.baseURL = response->url;
            view->loadData(std::move(content));
            view->didFinishLoad();
        });
    if (!task)
        return;  // the manager's session is gone: the completion reports the cancellation
    *taskHolder = task;
    state.task = task;
    if (progress)
        *progress = manager->downloadProgressForTask(task);
    task->resume();
    view->didStartLoad();
}

void loadRequest(const std::shared_ptr<ui::WebView>& view, const UrlRequest& request,
                 ProgressPtr* progress, HTWebViewHTMLSuccess success, HTWebViewFailure failure) {
    HTWebViewDataSuccess asText = [success](const HttpResponsePtr& response, const Bytes& data) {
        std::string charset = characterSet(response);
        std::string raw(data.begin(), data.end());
        std::string html = convert("UTF-8", charset, raw).value_or(std::string());
        if (success)
            html = success(response, html);
        std::string encoded = convert(charset, "UTF-8", html).value_or(std::string());
        return Bytes(encoded.begin(), encoded.end());
    };
    loadRequest(view, request, std::string(), std::string(), progress, std::move(asText),
                std::move(failure));
}

}  // namespace quarra
