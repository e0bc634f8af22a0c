#pragma once
// Internal to the URL loading system: one task's transfer as the session's worker thread runs it,
// and the libcurl and OpenSSL callbacks that drive it (URLSessionCallbacks.cpp). A transfer is
// touched only on the worker thread.
#include <curl/curl.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <variant>

#include "platform/FileDescriptor.h"
#include "platform/URLSessionEvents.h"
#include "platform/ServerTrust.h"
#include "platform/URLSessionLoader.h"

typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace quarra {

// A request to the worker thread.
struct URLSessionLoader::Command {
    enum class Type {
        Start,
        Cancel,
        Suspend,
        Resume,
        Unpause,
        Redirect,
        BodyStream,
        Disposition,
        Stop
    };
    Command(Type type, URLSessionTaskPtr task = nullptr) : type(type), task(std::move(task)) {}
    Type type;
    URLSessionTaskPtr task;
    std::optional<URLSessionStore::Record> record;
    std::optional<UrlRequest> request;
    InputStreamPtr stream;
    bool firstSend = false;
    URLSessionTask::ResumeDataCompletion resumeData;
    URLSessionResponseDisposition disposition = URLSessionResponseDisposition::Allow;
    URLSessionTaskPtr downloadTask;  // the data task becomes this one
};

struct URLSessionLoader::Transfer {
    // Where the current hop (one request and its reply) stands.
    enum class Phase {
        Requesting,   // the request goes out; no final reply head yet
        Receiving,    // the reply's body goes to the delegate, or to the download's file
        Redirecting,  // a redirect's head arrived: its body is kept until the delegate decides
        Restarting,   // the server refused the download's range: the hop starts again from zero
    };

    // What a hop sends.
    struct NoBody {};
    struct DataBody {
        std::shared_ptr<const Bytes> bytes;
        std::size_t offset = 0;
    };
    struct FileBody {
        FileDescriptor fd;
    };
    struct StreamBody {  // open, read as the connection wants bytes
        InputStreamPtr stream;
    };
    struct DelegateStreamBody {  // asked of the delegate when the connection first wants bytes
        bool asked = false;
    };
    using Body = std::variant<NoBody, DataBody, FileBody, StreamBody, DelegateStreamBody>;

    // Where a download task's body goes.
    struct DownloadSink {
        FileDescriptor fd;
        std::filesystem::path file;
        std::int64_t offset = 0;   // bytes the file held before this hop (a resumed download)
        std::int64_t written = 0;  // by this hop
        std::int64_t expectedTotal = URLSessionTransferSizeUnknown;
        bool rangeRequested = false;
        // The resource's validators, for an If-Range when the download goes on.
        std::string entityTag, lastModified;
        bool keepFile = false;  // cancelled with resume data: the file is the resume's
    };

    // While any holds, no bytes move and no time-out runs.
    struct Holds {
        bool suspended = false;            // by the task's owner
        bool delegateBehind = false;       // the delegate has not taken enough of the body yet
        bool awaitingStream = false;       // the delegate has not handed over the body stream yet
        bool awaitingDisposition = false;  // the body kept back for the answer is full
        bool any() const {
            return suspended || delegateBehind || awaitingStream || awaitingDisposition;
        }
    };

    URLSessionLoader* loader = nullptr;
    URLSessionTaskPtr task;
    std::shared_ptr<URLSessionEvents> events;
    std::optional<URLSessionStore::Record> record;  // kept in the store
    UrlRequest request;                             // of this hop
    int redirects = 0;
    CURL* easy = nullptr;  // while a hop is under way
    curl_slist* headerList = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};
    Phase phase = Phase::Requesting;

    Body body;
    std::int64_t bodyLength = 0;  // URLSessionTransferSizeUnknown for a stream of unknown length
    std::int64_t sent = 0;
    bool requestStreamUsed = false;  // the request's own stream can be read only once
    bool firstSend = true;           // no body stream has been sent yet

    // The reply of this hop.
    int status = 0;
    HttpHeaders replyHeaders;
    HttpResponsePtr response;
    Bytes heldBody;  // of a redirect (or refused range), delivered if the redirect is refused

    std::optional<DownloadSink> download;  // download tasks only

    // The kept reply that this hop revalidates (a 304 serves it), and the body of a reply that
    // may be kept (while `cacheable`).
    CachedURLResponsePtr cached;
    bool servesCached = false;
    bool cacheable = false;
    Bytes cacheBody;

    // The delegate may turn the data task into a download: its body is kept back here until the
    // answer, and a hop that ends meanwhile waits for it too.
    bool awaitingDisposition = false;
    Bytes pendingBody;
    bool hopFinished = false;

    ErrorPtr failure;  // decided by us (cancel, trust, stream, file), wins over curl's result
    Holds holds;
    Clock::time_point lastActivity;
    Clock::time_point startedAt;
    Clock::duration idleTimeout{};
    Clock::duration resourceTimeout{};

    bool sendsBody() const { return !std::holds_alternative<NoBody>(body); }
    void touch() { lastActivity = Clock::now(); }
    // Lets go of what the body holds open (the file, the stream).
    void dropBody();
};

// libcurl's and OpenSSL's callbacks; they run on the worker thread inside curl_multi_perform.
struct TransferCallbacks {
    using Transfer = URLSessionLoader::Transfer;

    static size_t header(char* buffer, size_t size, size_t count, void* context);
    static size_t body(char* buffer, size_t size, size_t count, void* context);
    static size_t read(char* buffer, size_t size, size_t count, void* context);
    static CURLcode sslContext(CURL*, void* sslContext, void* context);
    // The final reply head of a hop has arrived; false fails the hop (t.failure says why).
    static bool onHead(Transfer& t);
    static void collectForCache(Transfer& t, const char* buffer, size_t length);

  private:
    static int verify(X509_STORE_CTX* storeContext, void* context);
    static bool defaultTrust(Transfer& t, const ServerTrust& trust);
    static bool askDelegate(Transfer& t, const std::shared_ptr<const ServerTrust>& trust);
};

// The process's in-memory cookie store, for every transfer that handles cookies.
CURLSH* httpCookieShare();

// Writes all of `data`; false (with errno) when the file refuses.
bool writeAll(int fd, const char* data, std::size_t length);

}  // namespace quarra
