#pragma once
// Where the host forwards its application events. Call didFinishLaunchingWithOptions() from the
// host's own launch code, on the main thread, before any other SDK call:
//     quarra::TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
#include <functional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Url.h"

namespace quarra {

class TVKSDKApplicationDelegate {
  public:
    // One instance per class: a host's subclass T gets its own with sharedInstance<T>().
    template <class T = TVKSDKApplicationDelegate>
    static T& sharedInstance() {
        static T* instance = new T();
        return *instance;
    }

    TVKSDKApplicationDelegate() = default;
    virtual ~TVKSDKApplicationDelegate() = default;
    TVKSDKApplicationDelegate(const TVKSDKApplicationDelegate&) = delete;
    TVKSDKApplicationDelegate& operator=(const TVKSDKApplicationDelegate&) = delete;

    // Lays `settings` over the SDK's own before launch, as the environment variable
    // QUARRA_SDK_INFO (a JSON object of the same keys) does:
    //     "com.tovik.QuarraUrl"    the sign-in host ("host" or "host:port")
    //     "com.tovik.APIVersion"   the server API version the requests name
    // An error (TVKQuarraErrorDomain, TVKQuarraInvalidConfigurationErrorCode) for another key, a
    // value that is not a non-empty string, or a call after didFinishLaunchingWithOptions.
    [[nodiscard]] static ErrorPtr setSDKSettings(const Json& settings);

    // Runs the pending upgrade tasks, then starts the SDK. False when the SDK cannot start because
    // its resources or settings are unusable (launchError() says why); the options are not read.
    virtual bool didFinishLaunchingWithOptions(const Json& launchOptions = Json::object());
    // Why the last didFinishLaunchingWithOptions returned false; null after a launch that worked.
    static ErrorPtr launchError();
    // True when the URL was the SDK's (a single sign-on redirect).
    virtual bool openURL(const Url& url, const Json& options = Json::object());
    // The host went to the background / is coming back to the foreground. Posts the platform's
    // life-cycle notifications (coming back starts a log upload).
    virtual void applicationDidEnterBackground();
    virtual void applicationWillEnterForeground();
    // The system woke the host for events of a background transfer session: the SDK calls
    // `completionHandler` once, on the main queue, when its own session has delivered them.
    virtual void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                     std::function<void()> completionHandler);
};

}  // namespace quarra
