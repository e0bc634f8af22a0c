#pragma once
// The Quarra test server: real HTTPS on 127.0.0.1 on a free port, with a test CA and a server
// certificate (for 127.0.0.1 and localhost) made when it starts. It records every request and plays
// replies scripted per path; a reply can be delayed, stall, drop the connection or claim a wrong
// content type. A reply with a body honours a single Range ("bytes=N-"), and If-Range against the
// reply's own ETag or Last-Modified header. Later features add routes of their own with route().
//
// Thread-safe: scripting and reading the record may happen while requests are served.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quarra/Url.h"
#include "support/TestCertificates.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace quarra::test {

struct RecordedPart {
    std::string name;
    std::string filename;
    std::string contentType;
    std::string content;
};

struct RecordedRequest {
    std::string method;
    std::string path;                                 // decoded, without the query
    std::string query;                                // as sent, without "?"; empty when none
    std::multimap<std::string, std::string> params;   // decoded query (and form) parameters
    std::multimap<std::string, std::string> headers;  // names lower-cased
    std::string body;                                 // the first bodyRecordLimit bytes
    std::uint64_t bodyLength = 0;
    std::vector<RecordedPart> parts;  // multipart/form-data bodies, in order (each part's
                                      // content up to bodyRecordLimit bytes)
    int clientPort = 0;               // tells the client's connections apart

    // The first value of a header (any letter case), or empty.
    std::string header(const std::string& name) const;
};

struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set (and `body` is empty), a body of this many bytes of generatedByte(offset).
    std::uint64_t generatedLength = 0;
    // Before the reply head.
    std::chrono::milliseconds delay{0};
    // No reply at all until releaseStalls() or the server stops.
    bool stallBeforeHead = false;
    // After this many body bytes the reply stalls (until releaseStalls()) ...
    std::optional<std::uint64_t> stallAfter;
    // ... or the connection is closed.
    std::optional<std::uint64_t> dropAfter;
    // The connection is closed without any reply.
    bool dropConnection = false;

    static Reply json(const std::string& body, int status = 200) {
        Reply r;
        r.status = status;
        r.body = body;
        return r;
    }
    static Reply redirect(const std::string& location, int status = 302) {
        Reply r;
        r.status = status;
        r.headers.emplace_back("Location", location);
        r.contentType = "text/plain";
        return r;
    }
};

class QuarraTestServer {
  public:
    struct Options {
        // Names and addresses the server certificate is valid for.
        std::vector<std::string> certificateNames{"127.0.0.1", "localhost"};
        // Of longer bodies only the first this many bytes are recorded (and the length).
        std::size_t bodyRecordLimit = 16 << 20;
        // An idle connection is closed after this long (and stopping waits for that).
        std::chrono::seconds keepAlive{2};
        // Threads serving connections. A kept-alive connection holds its thread until it closes,
        // so a client's full share of connections (and idle ones of other clients) must fit.
        std::size_t threads = 24;
    };

    QuarraTestServer() : QuarraTestServer(Options()) {}
    explicit QuarraTestServer(Options options);
    ~QuarraTestServer();
    QuarraTestServer(const QuarraTestServer&) = delete;
    QuarraTestServer& operator=(const QuarraTestServer&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>" followed by `path`.
    Url url(const std::string& path = "/") const;

    const TestCertificate& authority() const { return authority_; }
    const TestCertificate& certificate() const { return certificate_; }
    // The CA certificate as a PEM file (inside the server's own temporary folder).
    const std::filesystem::path& authorityFile() const { return authorityFile_; }
    // Makes the process's system trust store the test CA (SSL_CERT_FILE), so default server-trust
    // evaluation accepts this server. Call before threads that read the environment start.
    void trustAuthority() const;

    // Every request to `path` gets `reply` from now on.
    void reply(const std::string& path, Reply reply);
    // The next requests to `path` get these replies in order; the last one stays.
    void replies(const std::string& path, std::vector<Reply> replies);
    // Replies decided per request (a feature's API endpoint). Scripted replies win when both exist.
    using Route = std::function<Reply(const RecordedRequest&)>;
    void route(const std::string& path, Route route);

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& path) const;
    // Waits until `count` requests in all have arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until `count` multipart requests whose body was cut short (and which were therefore
    // refused, neither recorded nor routed) have arrived.
    bool waitForCutShortRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    void clearRequests();
    // Connections the server has accepted requests on (since the start or clearRequests()).
    std::size_t connections() const;
    // Lets every stalled reply go on.
    void releaseStalls();

    // The byte at `offset` of a generated body.
    static char generatedByte(std::uint64_t offset) {
        return static_cast<char>((offset * 131 + (offset >> 12)) & 0xff);
    }
    static std::string generatedBody(std::uint64_t length);

  private:
    void handle(const httplib::Request& request, httplib::Response& response,
                const httplib::ContentReader* reader);
    Reply replyFor(const RecordedRequest& request);
    // Waits for a release after `generation` (the count of releases when the request came).
    bool waitStall(std::uint64_t generation, std::chrono::milliseconds limit);

    const Options options_;
    TestCertificate authority_;
    TestCertificate certificate_;
    std::filesystem::path folder_;
    std::filesystem::path authorityFile_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;
    std::size_t cutShort_ = 0;
    std::set<int> clientPorts_;
    std::map<std::string, std::vector<Reply>> scripted_;
    std::map<std::string, Route> routes_;
    std::uint64_t stallGeneration_ = 0;
    bool stopping_ = false;
};

}  // namespace quarra::test
