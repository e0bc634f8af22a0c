// A small host program: forwards its launch to the SDK, signs a user in and calls the server.
//
//     quarra_example                       starts the bundled test server and signs its demo
//                                          user in on the SDK's sign-in screen, in a window at a
//                                          desktop, else in the terminal (user "demo", password
//                                          "demo-password"); without a terminal the demo's
//                                          credentials are typed in
//     quarra_example sso                   the same through single sign-on: the bundled OpenID
//                                          provider signs the demo user in, in the desktop's
//                                          browser (log in as "demo" with any password); without
//                                          a display or xdg-open the test driver plays the person
//                                          there
//     quarra_example <host[:port]> <user>  signs in to that sign-in host (password from
//                                          QUARRA_PASSWORD, else read from standard input) and
//                                          asks for the user's own record
//     quarra_example passcode              signs the demo user in and shows the application
//                                          passcode's lock screen, in a window at a desktop, else
//                                          in the terminal
//     quarra_example upload FILE           uploads FILE to the bundled test server as a new
//                                          document
//     quarra_example download ID FILE      downloads document ID (1 or 2) of the bundled test
//                                          server to FILE (which must not exist yet)
//
// The program is a host like any other: it includes only the SDK's public headers and links the
// library; the embedded test server is its own dependency. At a desktop the SDK's screens show in
// a GTK window and GLib's main loop runs the SDK (DesktopWindow); in a terminal they are read and
// filled through the same public interface (SignInTerminal, PasscodeTerminal).
#include <stdlib.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PasscodeTerminal.h"
#include "SignInTerminal.h"
#include "TestBrowser.h"
#include "quarra/Browser.h"
#include "quarra/Bundle.h"
#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Progress.h"
#include "quarra/QuarraMobileSDK.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAPI.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/TVKQuarraLogging.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "quarra/ui/ViewController.h"
#include "quarra/ui/Window.h"
#include "support/OpenIDTestProvider.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"
#if QUARRA_EXAMPLE_DESKTOP
#include "DesktopWindow.h"
#endif

using namespace quarra;

namespace {

constexpr std::uint64_t kDemoQuarra = 5'000'000'001;
constexpr auto kTimeout = std::chrono::seconds(30);

// The embedded server: a sign-in host and one Quarra with a demo user and a few documents.
struct DemoServer {
    test::QuarraTestServer server;
    test::QuarraTestService service;

    DemoServer() {
        // The SDK trusts this server's own authority; done before any connection is made.
        server.trustAuthority();
        service.serveSignInHost(server);
        service.serveQuarra(server, kDemoQuarra, "Demo Quarra");
        service.addUser({"demo", "demo-password", 9'000'000'007, {kDemoQuarra}, kDemoQuarra});
        service.addEndpoint(
            kDemoQuarra, "objects/documents",
            [](const test::RecordedRequest& request, const test::QuarraTestService::User& user) {
                if (request.method == "POST") {
                    const test::RecordedPart* file = nullptr;
                    for (const auto& part : request.parts)
                        file = part.name == "file" ? &part : file;
                    if (!file)
                        return test::QuarraTestService::failure("PARAMETER_REQUIRED", "no file");
                    return test::QuarraTestService::success(
                        {{"id", 3}, {"name", file->filename}, {"owner", user.username}});
                }
                return test::QuarraTestService::success(
                    {{"data",
                      {{{"id", 1}, {"name", "Welcome.pdf"}, {"owner", user.username}},
                       {{"id", 2}, {"name", "Budget 2027.xlsx"}, {"owner", user.username}}}}});
            });
        service.addEndpoint(kDemoQuarra, "client/log",
                            [this](const test::RecordedRequest& request,
                                   const test::QuarraTestService::User&) {
                                Json batch = Json::parse(request.body, nullptr, false);
                                if (batch.is_array())
                                    logRecords += batch.size();
                                // Wakes the main loop, which waits for this count.
                                DispatchQueue::main()->async([] {});
                                return test::QuarraTestService::success();
                            });
        // Each document's file: generated bytes, large enough to watch it travel.
        for (std::uint64_t id : {1, 2}) {
            service.addEndpoint(
                kDemoQuarra, documentFileEndpoint(id),
                [id](const test::RecordedRequest&, const test::QuarraTestService::User&) {
                    test::Reply reply;
                    reply.contentType = id == 1 ? "application/pdf" : "application/vnd.ms-excel";
                    reply.generatedLength = id * (24 << 20);
                    return reply;
                });
        }
    }

    static std::string documentFileEndpoint(std::uint64_t id) {
        return "objects/documents/" + std::to_string(id) + "/versions/1/0/file";
    }

    std::atomic<std::size_t> logRecords{0};
};

// Single sign-on for the demo user: the bundled provider, the exchange on the embedded server.
struct DemoProvider {
    test::OpenIDTestProvider provider;

    explicit DemoProvider(DemoServer& demo) {
        demo.service.serveSessionExchange(demo.server, provider.issuer());
        demo.service.setSingleSignOnProfile(
            "demo", {{"as_metadata", provider.metadata()},
                     {"quarra_session_endpoint", demo.server.url("/oauth/session").string()}});
        const char* missing = !getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY") ? "no display"
                              : !Browser::programExists("xdg-open")
                                  ? "no xdg-open to open the desktop's browser"
                                  : nullptr;
        if (missing) {
            // Nobody can see a browser: the test driver logs in as the demo user.
            std::cout << missing << ": the test driver logs in to the identity provider\n";
            letTestDriverUseBrowser("demo", "any");
        }
    }
};

// Where the SDK keeps its log file: <data home>/<host>/Application Support/<SDK>/logs.
std::filesystem::path logFolder() {
    const char* dataHome = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    std::filesystem::path base = dataHome && *dataHome == '/' ? std::filesystem::path(dataHome)
                                 : std::filesystem::path(home ? home : "") / ".local/share";
    return base / Bundle::main().bundleIdentifier() / "Application Support" /
           Bundle::sdk().bundleIdentifier() / "logs";
}

// What the log folder holds; false when a secret of the run reached it in clear.
bool checkLogFolder(const std::vector<std::string>& secrets) {
    auto folder = logFolder();
    bool clean = true;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const std::string* text = file ? &contents : nullptr;
        if (!text)
            continue;
        std::cout << "log file:          " << entry.path().string() << " (" << text->size()
                  << " bytes)\n";
        for (const auto& secret : secrets) {
            if (!secret.empty() && text->find(secret) != std::string::npos) {
                std::cerr << "a secret of this run is in " << entry.path() << "\n";
                clean = false;
            }
        }
    }
    return clean;
}

std::string describe(const ErrorPtr& error) {
    return error->localizedDescription() + " (" + error->domain() + " " +
           std::to_string(error->code()) + ")";
}

const char* const kUsage =
    "usage: quarra_example                       sign the demo user in (bundled test server)\n"
    "       quarra_example sso                   the same through single sign-on\n"
    "       quarra_example passcode              the demo user and the passcode lock screen\n"
    "       quarra_example <host[:port]> <user>  sign in to that host\n"
    "       quarra_example upload FILE           upload FILE to the bundled test server\n"
    "       quarra_example download ID FILE      download document ID (1 or 2) to FILE\n"
    "       quarra_example --help                this text\n";

// One line on the terminal that fills as the transfer goes on, as wide as the terminal; nothing
// when standard output is no terminal (a file or a pipe would collect every step).
// Signs out; false, with the reason, when the stored session could not all be deleted.
bool signOut() {
    if (ErrorPtr error = TVKQuarraAuth::sharedInstance().logout()) {
        std::cerr << "sign-out incomplete: " << describe(error) << "\n";
        return false;
    }
    return true;
}

void drawProgress(const char* what, const Progress& progress) {
    static const bool terminal = isatty(STDOUT_FILENO);
    if (!terminal)
        return;
    winsize size{};
    int columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col : 80;
    double fraction = progress.totalUnitCount() > 0 ? progress.fractionCompleted() : 0;
    std::string tail = " " + std::to_string(static_cast<int>(fraction * 100)) + "%  " +
                       std::to_string(progress.completedUnitCount() / 1024) + " KiB";
    std::string head = std::string(what) + " [";
    // The last column stays free: a full line would wrap on some terminals.
    int width = columns - 1 - static_cast<int>(head.size() + tail.size()) - 1;
    std::string line;
    if (width >= 4) {
        int filled = static_cast<int>(fraction * width);
        line = head + std::string(filled, '#') + std::string(width - filled, ' ') + "]" + tail;
    } else {
        line = tail.substr(1);
    }
    line.resize(std::min<std::size_t>(line.size(), std::max(columns - 1, 1)));
    std::cout << "\r" << line << "\x1b[K" << std::flush;
}

// Download: a positive document id, and a destination whose folder exists and that does not exist
// yet. Checked before anything is sent, so that a mistake costs no transfer.
std::string downloadArgumentsProblem(const std::string& id, const std::filesystem::path& file) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), value);
    if (ec != std::errc() || end != id.data() + id.size() || value == 0)
        return "not a document id: " + id;
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(file, error)))
        return file.string() + " exists already";
    if (!std::filesystem::is_directory(file.parent_path(), error))
        return "no such folder: " + file.parent_path().string();
    return {};
}

// upload FILE and download ID FILE: the host's part is TVKQuarraAPI and TVKQuarraAuth alone.
int transfer(const std::vector<std::string>& command) {
    auto user = TVKQuarraAuth::sharedInstance().currentUser();
    if (!user || user->quarras().empty()) {
        std::cerr << "nobody signed in\n";
        return 1;
    }
    auto quarra = user->quarras().front();
    bool upload = command[0] == "upload";
    std::filesystem::path file = std::filesystem::absolute(command.back());
    bool done = false;
    ErrorPtr failure;
    Json reply;
    auto& api = TVKQuarraAPI::sharedInstance();
    if (upload) {
        api.requestQuarraMultipartFormEndpoint(
            "objects/documents", quarra, Url::fileUrl(file), false, TVKQuarraRequestMethodPOST,
            {{"name", file.filename().string()}},
            [](const ProgressPtr& progress) { drawProgress("uploading  ", *progress); },
            [&](const Json& response, const std::optional<Url>&, const std::optional<std::string>&,
                const ErrorPtr& error) {
                reply = response;
                failure = error;
                done = true;
            });
    } else {
        std::uint64_t id = std::strtoull(command[1].c_str(), nullptr, 10);
        api.requestQuarraDownloadFileEndpoint(
            DemoServer::documentFileEndpoint(id), quarra, Url::fileUrl(file), false, Json::object(),
            [](const ProgressPtr& progress) { drawProgress("downloading", *progress); },
            [&](const Json&, const std::optional<Url>& fileURL, const std::string& mimeType,
                const std::optional<std::string>&, const ErrorPtr& error) {
                reply = {{"file", fileURL ? fileURL->string() : ""}, {"type", mimeType}};
                failure = error;
                done = true;
            });
    }
    RunLoop::main().runUntil([&] { return done; }, std::chrono::minutes(10));
    if (isatty(STDOUT_FILENO))
        std::cout << "\n";
    if (!done || failure) {
        std::cerr << command[0] << " failed: " << (failure ? describe(failure) : "no answer")
                  << "\n";
        return 1;
    }
    if (upload)
        std::cout << "uploaded " << file.string() << ":\n" << reply.dump(2) << "\n";
    else
        std::cout << "downloaded " << std::filesystem::file_size(file) << " bytes to "
                  << file.string() << " (" << reply["type"].get<std::string>() << ")\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc >= 2 ? argv[1] : "";
    if (mode == "--help" || mode == "-h") {
        std::cout << kUsage;
        return 0;
    }
    const bool known = argc == 1 || mode == "upload" || mode == "download" || argc == 3 ||
                       (argc == 2 && (mode == "sso" || mode == "passcode"));
    if (!known || mode.starts_with("-")) {
        std::cerr << (mode.empty() ? "" : "unknown command: " + mode + "\n") << kUsage;
        return 2;
    }
    bool passcode = mode == "passcode";
    // A host names itself before the SDK starts (unless the environment already does).
    if (!getenv("QUARRA_HOST_BUNDLE_ID")) {
        Bundle::setMainBundle(
            "com.example.quarra-example",
            {{BundleShortVersionKey, "1.0"},
             {"com.tovik.PasscodeEnabled", passcode},
             {"com.tovik.oauth.client_id", test::OpenIDTestProvider::NativeClient},
             {"com.tovik.oauth.redirect_uri", test::OpenIDTestProvider::LoopbackRedirect}});
    }
    std::unique_ptr<DemoServer> demo;
    std::unique_ptr<DemoProvider> identityProvider;
    std::string signInHost, username, password, endpoint;
    const bool singleSignOn = argc == 2 && std::string(argv[1]) == "sso";
    std::vector<std::string> command;
    if (argc >= 2 && (std::string(argv[1]) == "upload" || std::string(argv[1]) == "download")) {
        command.assign(argv + 1, argv + argc);
        if (command.size() != (command[0] == "upload" ? 2u : 3u)) {
            std::cerr << kUsage;
            return 2;
        }
        if (command[0] == "download") {
            std::string problem =
                downloadArgumentsProblem(command[1], std::filesystem::absolute(command[2]));
            if (!problem.empty()) {
                std::cerr << "download: " << problem << "\n";
                return 2;
            }
        }
    }
    if (argc >= 3 && command.empty()) {
        signInHost = argv[1];
        username = argv[2];
        const char* fromEnvironment = getenv("QUARRA_PASSWORD");
        if (fromEnvironment) {
            password = fromEnvironment;
        } else {
            std::cerr << "password for " << username << ": ";
            std::getline(std::cin, password);
        }
        endpoint = "objects/users/me";
    } else {
        demo = std::make_unique<DemoServer>();
        signInHost = demo->service.host(kDemoQuarra);
        username = "demo";
        password = "demo-password";
        endpoint = "objects/documents";
        if (singleSignOn) {
            try {
                identityProvider = std::make_unique<DemoProvider>(*demo);
            } catch (const std::exception& e) {
                std::cerr << "no identity provider: " << e.what() << "\n";
                return 1;
            }
        }
    }

    // The sign-in host is one of the SDK's settings; QUARRA_SDK_INFO in the environment, when set,
    // names it instead.
    if (!getenv("QUARRA_SDK_INFO")) {
        if (ErrorPtr error =
                TVKSDKApplicationDelegate::setSDKSettings({{"com.tovik.QuarraUrl", signInHost}})) {
            std::cerr << "sign-in host " << signInHost << ": " << describe(error) << "\n";
            return 1;
        }
    }
    // The demo shows the log at work: the server's replies are logged at debug level, which the
    // SDK records only when asked.
    if (demo)
        TVKQuarraLogging::setLogLevel(TVKQuarraLogLevelDebug);

    // The host's window, with a screen of its own under anything the SDK presents.
    auto window = ui::Window::make();
    window->setRootViewController(std::make_shared<ui::ViewController>());
    window->makeKeyAndVisible();
    if (!TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions()) {
        std::cerr << "the SDK cannot start: " << describe(TVKSDKApplicationDelegate::launchError())
                  << "\n";
        return 1;
    }
    std::cout << "Quarra SDK " << QuarraMobileSDKVersionString << "\n"
              << "host:              " << Bundle::main().bundleIdentifier() << "\n"
              << "sign-in host:      " << signInHost << (demo ? " (embedded test server)" : "")
              << "\n";

    // Everybody signs in on the SDK's sign-in screen: at the terminal when a person is there and
    // the demo is run plainly, else with the credentials the program was given typed in for them.
    // A person at a desktop gets the screens in a window.
#if QUARRA_EXAMPLE_DESKTOP
    const bool desktop = isatty(STDIN_FILENO) && (command.empty() && demo && !singleSignOn) &&
                         openDesktop(argc, argv);
#else
    const bool desktop = false;
#endif
    ErrorPtr failure;
    if (!TVKQuarraAuth::sharedInstance().currentUser()) {
        std::istringstream nobody;
        const bool atTerminal = demo && command.empty() && !passcode && !singleSignOn;
        std::cout << "sign-in screen:\n";
#if QUARRA_EXAMPLE_DESKTOP
        if (desktop && !passcode && signInInWindow(std::cout) != 0)
            return 1;
#endif
        if ((!desktop || passcode) &&
            signInInTerminal(atTerminal ? std::cin : nobody, std::cout, username, password) != 0)
            return 1;
    }
    if (passcode) {
        // The user chooses or types the application passcode on the lock screen; the passcode stays
        // with the user for the next run, the session does not.
#if QUARRA_EXAMPLE_DESKTOP
        int status =
            desktop ? passcodeInWindow(std::cout) : drivePasscodeInTerminal(std::cin, std::cout);
#else
        int status = drivePasscodeInTerminal(std::cin, std::cout);
#endif
        return signOut() ? status : 1;
    }
    auto user = TVKQuarraAuth::sharedInstance().currentUser();
    if (!user || user->quarras().empty()) {
        std::cerr << "sign-in failed: nobody is signed in\n";
        return 1;
    }
    auto quarra = user->quarras().front();
    std::cout << "signed in:         " << user->username() << " in " << quarra->name() << " ("
              << (quarra->URL() ? quarra->URL()->string() : "no URL") << ")\n";

    int status = 0;
    if (!command.empty()) {
        status = transfer(command);
        if (!signOut())
            return 1;
        std::cout << "signed out\n";
        return status;
    }

    bool answered = false;
    Json reply;
    TVKQuarraAPI::sharedInstance().requestQuarraEndpoint(
        endpoint, quarra, TVKQuarraRequestMethodGET, Json::object(),
        TVKQuarraParameterEncodingFormURL, [&](const Json& response, const ErrorPtr& error) {
            reply = response;
            failure = error;
            answered = true;
        });
    RunLoop::main().runUntil([&] { return answered; }, kTimeout);
    if (!answered || failure) {
        std::cerr << endpoint << " failed: " << (failure ? describe(failure) : "no answer") << "\n";
        return 1;
    }
    std::cout << endpoint << ":\n" << reply.dump(2) << "\n";

    // The request started a log upload; a trip to the background and back starts another one.
    // The embedded server counts what arrives.
    if (demo)
        RunLoop::main().runUntil([&] { return demo->logRecords > 0; }, kTimeout);
    TVKSDKApplicationDelegate::sharedInstance().applicationDidEnterBackground();
    TVKSDKApplicationDelegate::sharedInstance().applicationWillEnterForeground();
    if (demo)
        std::cout << "log records sent:  " << demo->logRecords << "\n";
    if (!checkLogFolder({password}))
        return 1;

    // The demo leaves nothing signed in behind.
    if (demo) {
        if (!signOut())
            return 1;
        std::cout << "signed out\n";
    }
    return 0;
}
