// A host program outside the SDK's tree: it sees the installed public headers only. It finds the
// session the install test's server left for its identity and fetches a document with it, loads an
// image into an image view, and shows the network activity indicator through a block of its own.
#include <quarra/Bundle.h>
#include <quarra/Error.h>
#include <quarra/HTImageViewTransport.h>
#include <quarra/HTNetworkActivityIndicatorManager.h>
#include <quarra/QuarraMobileSDK.h>
#include <quarra/RunLoop.h>
#include <quarra/TVKQuarraAPI.h>
#include <quarra/TVKQuarraAuth.h>
#include <quarra/TVKQuarraLogging.h>
#include <quarra/TVKSDKApplicationDelegate.h>
#include <quarra/ui/ImageView.h>

#include <chrono>
#include <iostream>
#include <optional>

namespace {

constexpr auto kWait = std::chrono::minutes(2);

// The image at `url` reaches an image view in place of its placeholder.
bool showImage(const std::string& url) {
    auto imageURL = quarra::Url::parse(url);
    if (!imageURL) {
        std::cerr << "not a URL: " << url << "\n";
        return false;
    }
    auto view = quarra::ui::View::make<quarra::ui::ImageView>();
    auto placeholder = std::make_shared<quarra::Image>(1, 1, std::vector<std::uint8_t>(4, 0));
    quarra::setImageWithURL(view, *imageURL, placeholder);
    if (view->image() != placeholder) {
        std::cerr << "the placeholder is not shown while the image loads\n";
        return false;
    }
    quarra::RunLoop::main().runUntil([&] { return view->image() != placeholder; }, kWait);
    if (!view->image() || view->image()->pixelWidth() != 3 || view->image()->pixelHeight() != 2) {
        std::cerr << "the image did not arrive\n";
        return false;
    }
    return true;
}

// The indicator shows while the host counts a request of its own in, and hides once it is out.
bool showActivity() {
    auto& indicator = quarra::HTNetworkActivityIndicatorManager::sharedManager();
    std::optional<bool> visible;
    indicator.setNetworkingActivityActionWithBlock([&](bool shown) { visible = shown; });
    indicator.setActivationDelay(0);
    indicator.setCompletionDelay(0);
    indicator.setEnabled(true);
    indicator.incrementActivityCount();
    quarra::RunLoop::main().runUntil([&] { return visible == true; }, kWait);
    const bool shown = visible == true;
    indicator.decrementActivityCount();
    quarra::RunLoop::main().runUntil([&] { return visible == false; }, kWait);
    const bool hidden = visible == false && indicator.activityCount() == 0;
    indicator.setEnabled(false);
    indicator.setNetworkingActivityActionWithBlock(nullptr);
    if (!shown || !hidden)
        std::cerr << "the activity indicator was " << (shown ? "not hidden" : "not shown") << "\n";
    return shown && hidden;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: host <bundle identifier> <image URL>\n";
        return 2;
    }
    quarra::Bundle::setMainBundle(argv[1], {{"com.tovik.PasscodeEnabled", false}});
    // A host decides how much the SDK logs.
    quarra::TVKQuarraLogging::setLogLevel(quarra::TVKQuarraLogLevelWarning);
    if (!quarra::TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions()) {
        std::cerr << "launch failed: "
                  << quarra::TVKSDKApplicationDelegate::launchError()->localizedDescription()
                  << "\n";
        return 1;
    }
    std::cout << "Quarra SDK " << quarra::QuarraMobileSDKVersionString << "\n";

    auto user = quarra::TVKQuarraAuth::sharedInstance().currentUser();
    if (!user || user->quarras().empty()) {
        std::cerr << "nobody is signed in\n";
        return 1;
    }
    bool answered = false;
    quarra::Json reply;
    quarra::ErrorPtr failure;
    quarra::TVKQuarraAPI::sharedInstance().getDocument(
        7, user->quarras().front(),
        [&](const quarra::Json& response, const quarra::ErrorPtr& error) {
            reply = response;
            failure = error;
            answered = true;
        });
    quarra::RunLoop::main().runUntil([&] { return answered; }, kWait);
    if (!answered || failure) {
        std::cerr << "request failed: " << (failure ? failure->localizedDescription() : "no answer")
                  << "\n";
        return 1;
    }
    std::cout << reply.dump() << "\n";
    if (reply.value("name", "") != "Installed.pdf")
        return 1;
    return showImage(argv[2]) && showActivity() ? 0 : 1;
}
