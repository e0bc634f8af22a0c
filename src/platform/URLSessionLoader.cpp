#include "platform/URLSessionLoader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "platform/URLSessionEvents.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

constexpr int MaximumRedirects = 16;
// A refused redirect delivers the redirect's own body; more than this of it is not kept.
constexpr std::size_t HeldBodyLimit = 1 << 20;
// Connections kept per host when the configuration sets no limit.
constexpr long UnlimitedConnectionsPerHost = 64;

CURLM* multiOf(void* multi) {
    return static_cast<CURLM*>(multi);
}

// curl's results in the codes hosts know from the platform's URL loading system.
long urlErrorCode(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
            return URLErrorUnsupportedURL;
        case CURLE_URL_MALFORMAT:
            return URLErrorBadURL;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return URLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrorTimedOut;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CACERT_BADFILE:
            return URLErrorSecureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
            return URLErrorServerCertificateUntrusted;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return URLErrorNetworkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
            return URLErrorCannotParseResponse;
        case CURLE_BAD_CONTENT_ENCODING:
            return URLErrorCannotDecodeContentData;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLErrorHTTPTooManyRedirects;
        case CURLE_ABORTED_BY_CALLBACK:
            return URLErrorCancelled;
        case CURLE_READ_ERROR:
            return URLErrorRequestBodyStreamExhausted;
        case CURLE_WRITE_ERROR:
            return URLErrorCannotWriteToFile;
        case CURLE_FILESIZE_EXCEEDED:
            return URLErrorDataLengthExceedsMaximum;
        default:
            return URLErrorUnknown;
    }
}

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::once_flag curlInitialized;

}  // namespace

struct URLSessionLoader::Command {
    enum class Type { Start, Cancel, Suspend, Resume, Unpause, Redirect, BodyStream, Stop };
    Command(Type type, URLSessionTaskPtr task = nullptr) : type(type), task(std::move(task)) {}
    Type type;
    URLSessionTaskPtr task;
    std::optional<URLSessionStore::Record> record;
    std::optional<UrlRequest> request;
    InputStreamPtr stream;
    bool firstSend = false;
};

struct URLSessionLoader::Transfer {
    URLSessionLoader* loader = nullptr;
    URLSessionTaskPtr task;
    std::shared_ptr<URLSessionEvents> events;
    std::optional<URLSessionStore::Record> record;  // kept in the store
    UrlRequest request;                             // of this hop
    int redirects = 0;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};

    // What is sent: bytes, a file or a stream; `sendsBody` false for a bodyless request.
    bool sendsBody = false;
    std::shared_ptr<const Bytes> data;
    std::size_t dataOffset = 0;
    int bodyFd = -1;
    InputStreamPtr stream;
    bool requestStreamUsed = false;
    // The body of this hop comes from the delegate's needNewBodyStream, asked for when the
    // connection first wants body bytes (so after its server-trust challenge).
    bool streamFromDelegate = false;
    bool askedForStream = false;
    bool waitingForStream = false;
    bool firstSend = true;
    std::int64_t bodyLength = 0;
    std::int64_t sent = 0;

    // The reply of this hop.
    int status = 0;
    HttpHeaders replyHeaders;
    bool headDone = false;
    HttpResponsePtr response;
    bool redirecting = false;
    bool restartWithoutRange = false;
    Bytes heldBody;

    // Downloads.
    int fileFd = -1;
    fs::path file;
    std::int64_t fileOffset = 0;
    std::int64_t written = 0;
    std::int64_t expectedTotal = URLSessionTransferSizeUnknown;
    bool rangeRequested = false;

    ErrorPtr failure;  // decided by us (cancel, trust, stream, file), wins over curl's result
    bool suspended = false;
    bool heldBack = false;  // the delegate is behind on body data
    Clock::time_point lastActivity;
    Clock::time_point startedAt;
    Clock::duration idleTimeout{};
    Clock::duration resourceTimeout{};

    bool isDownload() const { return task->kind() == URLSessionTaskKind::Download; }
    void touch() { lastActivity = Clock::now(); }
};

// libcurl's and OpenSSL's callbacks; they run on the worker thread inside curl_multi_perform.
struct TransferCallbacks {
    using Transfer = URLSessionLoader::Transfer;

    static size_t header(char* buffer, size_t size, size_t count, void* context) {
        auto& t = *static_cast<Transfer*>(context);
        size_t length = size * count;
        t.touch();
        std::string_view line = trim(std::string_view(buffer, length));
        if (line.substr(0, 5) == "HTTP/") {
            size_t space = line.find(' ');
            t.status = space == std::string_view::npos
                           ? 0
                           : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
            t.replyHeaders.clear();
            t.headDone = false;
            return length;
        }
        if (line.empty()) {
            if (t.status >= 200) {
                t.headDone = true;
                return onHead(t) ? length : 0;
            }
            t.status = 0;  // an interim reply (100 Continue)
            return length;
        }
        size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string name(trim(line.substr(0, colon)));
            std::string value(trim(line.substr(colon + 1)));
            auto it = t.replyHeaders.find(name);
            if (it == t.replyHeaders.end()) {
                t.replyHeaders.emplace(std::move(name), std::move(value));
            } else {
                it->second.append(", ").append(value);
            }
        }
        return length;
    }

    static bool onHead(Transfer& t) {
        t.response = std::make_shared<HttpResponse>(t.request.url, t.status, t.replyHeaders);
        if (isRedirect(t.status) && t.response->valueForHTTPHeaderField("Location")) {
            t.redirecting = true;
            return true;
        }
        if (t.rangeRequested && t.status == 416) {
            t.restartWithoutRange = true;
            return true;
        }
        if (!t.isDownload()) {
            t.loader->announceResponse(t);
            return true;
        }
        {
            std::lock_guard lock(t.task->mutex_);
            t.task->response_ = t.response;
        }
        std::int64_t length = t.response->expectedContentLength;
        if (t.rangeRequested && t.status == 206) {
            t.expectedTotal = length < 0 ? URLSessionTransferSizeUnknown : t.fileOffset + length;
            t.events->post(
                [offset = t.fileOffset, total = t.expectedTotal](
                    URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d) {
                    d.didResumeAtOffset(s, task, offset, total);
                });
        } else {
            if (t.fileOffset > 0 &&
                (::ftruncate(t.fileFd, 0) != 0 || ::lseek(t.fileFd, 0, SEEK_SET) != 0)) {
                t.failure =
                    makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno));
                return false;
            }
            t.fileOffset = 0;
            t.expectedTotal = length;
        }
        t.task->bytesExpectedToReceive_ = t.expectedTotal;
        t.task->bytesReceived_ = t.fileOffset;
        if (t.record && t.loader->store_) {
            t.record->entityTag = t.response->valueForHTTPHeaderField("ETag").value_or("");
            t.record->lastModified =
                t.response->valueForHTTPHeaderField("Last-Modified").value_or("");
            t.loader->store_->save(*t.record);
        }
        return true;
    }

    static size_t body(char* buffer, size_t size, size_t count, void* context) {
        auto& t = *static_cast<Transfer*>(context);
        size_t length = size * count;
        t.touch();
        if (t.redirecting || t.restartWithoutRange) {
            size_t keep =
                std::min(length, HeldBodyLimit - std::min(HeldBodyLimit, t.heldBody.size()));
            t.heldBody.insert(t.heldBody.end(), buffer, buffer + keep);
            return length;
        }
        if (t.isDownload()) {
            if (!writeAll(t.fileFd, buffer, length)) {
                t.failure =
                    makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno));
                return 0;
            }
            t.written += static_cast<std::int64_t>(length);
            std::int64_t total = t.fileOffset + t.written;
            t.task->bytesReceived_ = total;
            t.events->postWritten(static_cast<std::int64_t>(length), total, t.expectedTotal);
            return length;
        }
        std::weak_ptr<URLSessionLoader> loader = t.loader->weak_from_this();
        if (!t.events->admitData([loader, task = t.task] {
                if (auto l = loader.lock()) {
                    l->post({URLSessionLoader::Command::Type::Unpause, task});
                }
            })) {
            t.heldBack = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        t.task->bytesReceived_ += static_cast<std::int64_t>(length);
        t.events->postData(reinterpret_cast<const std::uint8_t*>(buffer), length);
        return length;
    }

    static size_t read(char* buffer, size_t size, size_t count, void* context) {
        auto& t = *static_cast<Transfer*>(context);
        size_t length = size * count;
        t.touch();
        long got = 0;
        if (t.data) {
            got = static_cast<long>(std::min(length, t.data->size() - t.dataOffset));
            std::memcpy(buffer, t.data->data() + t.dataOffset, static_cast<size_t>(got));
            t.dataOffset += static_cast<size_t>(got);
        } else if (t.bodyFd >= 0) {
            do {
                got = ::read(t.bodyFd, buffer, length);
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                t.failure = makeURLError(URLErrorUnknown, t.request.url, std::strerror(errno));
                return CURL_READFUNC_ABORT;
            }
        } else if (t.streamFromDelegate && !t.stream) {
            if (!t.askedForStream) {
                t.askedForStream = true;
                t.waitingForStream = true;
                t.loader->askForBodyStream(t, t.firstSend);
            }
            return CURL_READFUNC_PAUSE;
        } else if (t.stream) {
            got = t.stream->read(reinterpret_cast<std::uint8_t*>(buffer), length);
            if (got < 0) {
                ErrorPtr cause = t.stream->error();
                t.failure =
                    cause ? cause : makeURLError(URLErrorRequestBodyStreamExhausted, t.request.url);
                return CURL_READFUNC_ABORT;
            }
        }
        if (got > 0) {
            t.sent += got;
            t.task->bytesSent_ = t.sent;
            t.events->postSent(got, t.sent, t.bodyLength);
        }
        return static_cast<size_t>(got);
    }

    static CURLcode sslContext(CURL*, void* sslContext, void* context) {
        auto* ctx = static_cast<SSL_CTX*>(sslContext);
        // The verify callback below gets a pointer to this transfer; a renegotiation on a reused
        // connection would call it for a transfer long gone.
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(ctx, &verify, context);
        return CURLE_OK;
    }

    // Every new connection: the peer's chain goes to the delegate as a challenge, and its answer
    // (or the system trust store with the host name, by default) decides.
    static int verify(X509_STORE_CTX* storeContext, void* context) {
        auto& t = *static_cast<Transfer*>(context);
        std::vector<Bytes> chain;
        X509* leaf = X509_STORE_CTX_get0_cert(storeContext);
        auto append = [&chain](X509* cert) {
            int length = i2d_X509(cert, nullptr);
            if (length > 0) {
                Bytes der(static_cast<size_t>(length));
                unsigned char* p = der.data();
                i2d_X509(cert, &p);
                chain.push_back(std::move(der));
            }
        };
        if (leaf) {
            append(leaf);
        }
        if (STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(storeContext)) {
            for (int i = 0; i < sk_X509_num(untrusted); ++i) {
                X509* cert = sk_X509_value(untrusted, i);
                if (!leaf || X509_cmp(cert, leaf) != 0) {
                    append(cert);
                }
            }
        }
        auto trust = std::make_shared<const ServerTrust>(t.request.url.host(), std::move(chain));
        bool accepted =
            t.loader->delegateDecidesTrust_ ? askDelegate(t, trust) : defaultTrust(t, *trust);
        t.touch();
        if (!accepted) {
            X509_STORE_CTX_set_error(storeContext, X509_V_ERR_APPLICATION_VERIFICATION);
        }
        return accepted ? 1 : 0;
    }

    static bool defaultTrust(Transfer& t, const ServerTrust& trust) {
        TrustEvaluation evaluation = trust.evaluateDefault();
        if (!evaluation.valid) {
            t.failure = makeURLError(URLErrorServerCertificateUntrusted, t.request.url,
                                     evaluation.failureReason);
        }
        return evaluation.valid;
    }

    static bool askDelegate(Transfer& t, const std::shared_ptr<const ServerTrust>& trust) {
        struct Answer {
            std::mutex mutex;
            std::condition_variable cv;
            bool done = false;
            AuthChallengeDisposition disposition = AuthChallengeDisposition::PerformDefaultHandling;
            std::optional<UrlCredential> credential;
        };
        auto answer = std::make_shared<Answer>();
        AuthChallenge challenge;
        challenge.protectionSpace.host = t.request.url.host();
        challenge.protectionSpace.port = t.request.url.port().value_or(443);
        challenge.protectionSpace.protocol = t.request.url.scheme();
        challenge.protectionSpace.serverTrust = trust;
        t.events->postGated([answer, challenge](URLSession& s, const URLSessionTaskPtr& task,
                                                URLSessionDelegate& d,
                                                URLSessionEvents::Answer next) {
            d.didReceiveChallenge(s, task, challenge,
                                  [answer, next](AuthChallengeDisposition disposition,
                                                 std::optional<UrlCredential> credential) {
                                      {
                                          std::lock_guard lock(answer->mutex);
                                          if (answer->done) {
                                              return;
                                          }
                                          answer->done = true;
                                          answer->disposition = disposition;
                                          answer->credential = std::move(credential);
                                      }
                                      answer->cv.notify_all();
                                      next();
                                  });
        });
        URLSessionEventBatch::flush();
        std::unique_lock lock(answer->mutex);
        if (!answer->cv.wait_for(lock, t.idleTimeout, [&] { return answer->done; })) {
            t.failure = makeURLError(URLErrorTimedOut, t.request.url,
                                     "no answer to the server-trust challenge");
            return false;
        }
        switch (answer->disposition) {
            case AuthChallengeDisposition::UseCredential:
                if (answer->credential && answer->credential->trust) {
                    return true;
                }
                break;
            case AuthChallengeDisposition::CancelAuthenticationChallenge:
                t.failure = makeURLError(URLErrorCancelled, t.request.url);
                return false;
            default:
                break;
        }
        lock.unlock();
        return defaultTrust(t, *trust);
    }
};

std::shared_ptr<URLSessionLoader> URLSessionLoader::start(
    std::weak_ptr<URLSession> session, const URLSessionConfiguration& configuration,
    std::shared_ptr<URLSessionStore> store, bool delegateDecidesTrust) {
    std::call_once(curlInitialized, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::shared_ptr<URLSessionLoader> loader(new URLSessionLoader(
        std::move(session), configuration, std::move(store), delegateDecidesTrust));
    std::thread([loader] { loader->run(); }).detach();
    return loader;
}

URLSessionLoader::URLSessionLoader(std::weak_ptr<URLSession> session,
                                   const URLSessionConfiguration& configuration,
                                   std::shared_ptr<URLSessionStore> store,
                                   bool delegateDecidesTrust)
    : session_(std::move(session)),
      configuration_(configuration),
      store_(std::move(store)),
      delegateDecidesTrust_(delegateDecidesTrust),
      multi_(curl_multi_init()) {
    curl_multi_setopt(multiOf(multi_), CURLMOPT_MAX_HOST_CONNECTIONS,
                      configuration_.httpMaximumConnectionsPerHost);
}

URLSessionLoader::~URLSessionLoader() = default;

void URLSessionLoader::startTask(const URLSessionTaskPtr& task,
                                 std::optional<URLSessionStore::Record> record) {
    Command command{Command::Type::Start, task};
    command.record = std::move(record);
    post(std::move(command));
}

void URLSessionLoader::cancelTask(const URLSessionTaskPtr& task) {
    post({Command::Type::Cancel, task});
}

void URLSessionLoader::suspendTask(const URLSessionTaskPtr& task) {
    post({Command::Type::Suspend, task});
}

void URLSessionLoader::resumeTask(const URLSessionTaskPtr& task) {
    post({Command::Type::Resume, task});
}

void URLSessionLoader::stop() {
    post({Command::Type::Stop});
}

void URLSessionLoader::post(Command command) {
    std::lock_guard lock(mutex_);
    if (exited_) {
        return;
    }
    commands_.push_back(std::move(command));
    curl_multi_wakeup(multiOf(multi_));
}

void URLSessionLoader::run() {
    CURLM* multi = multiOf(multi_);
    for (;;) {
        URLSessionEventBatch batch;
        std::deque<Command> commands;
        {
            std::lock_guard lock(mutex_);
            commands.swap(commands_);
        }
        for (Command& command : commands) {
            handle(command);
        }
        if (stopping_ && transfers_.empty()) {
            break;
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CURLcode result = message->data.result;
            Transfer* t = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
            hopDone(*t, result);
        }
        checkTimeouts();
        URLSessionEventBatch::flush();
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(nextWakeMs()), nullptr);
    }
    std::lock_guard lock(mutex_);
    exited_ = true;
    commands_.clear();
    curl_multi_cleanup(multi);
}

URLSessionLoader::Transfer* URLSessionLoader::find(const URLSessionTaskPtr& task) {
    auto it = task ? transfers_.find(task->taskIdentifier()) : transfers_.end();
    return it == transfers_.end() ? nullptr : it->second.get();
}

void URLSessionLoader::handle(Command& command) {
    if (command.type == Command::Type::Stop) {
        stopping_ = true;
        return;
    }
    if (command.type == Command::Type::Start) {
        auto owned = std::make_unique<Transfer>();
        Transfer& t = *owned;
        t.loader = this;
        t.task = command.task;
        t.events = command.task->events_;
        t.record = std::move(command.record);
        t.request = command.task->currentRequest();
        t.suspended = command.task->state() == URLSessionTaskState::Suspended;
        auto seconds = [](double s) {
            return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
        };
        double idle = configuration_.timeoutIntervalForRequest;
        if (t.request.timeoutInterval > 0 && (idle <= 0 || t.request.timeoutInterval < idle)) {
            idle = t.request.timeoutInterval;
        }
        t.idleTimeout = seconds(idle > 0 ? idle : 60);
        t.resourceTimeout = seconds(configuration_.timeoutIntervalForResource > 0
                                        ? configuration_.timeoutIntervalForResource
                                        : 7 * 24 * 3600);
        t.startedAt = Clock::now();
        transfers_[t.task->taskIdentifier()] = std::move(owned);
        beginHop(t);
        return;
    }
    Transfer* t = find(command.task);
    if (!t) {
        return;
    }
    switch (command.type) {
        case Command::Type::Cancel:
            fail(*t, makeURLError(URLErrorCancelled, t->request.url));
            break;
        case Command::Type::Suspend:
            t->suspended = true;
            applyPause(*t);
            break;
        case Command::Type::Resume:
            t->suspended = false;
            applyPause(*t);
            break;
        case Command::Type::Unpause:
            t->heldBack = false;
            applyPause(*t);
            break;
        case Command::Type::Redirect:
            if (command.request) {
                follow(*t, std::move(*command.request));
            } else {
                refuseRedirect(*t);
            }
            break;
        case Command::Type::BodyStream: {
            InputStreamPtr stream = std::move(command.stream);
            if (!stream && command.firstSend && t->request.httpBodyStream &&
                !t->requestStreamUsed) {
                stream = t->request.httpBodyStream;
                t->requestStreamUsed = true;
            }
            if (!stream) {
                fail(*t, makeURLError(URLErrorRequestBodyStreamExhausted, t->request.url));
                break;
            }
            if (!stream->open()) {
                ErrorPtr cause = stream->error();
                fail(*t, cause ? cause
                               : makeURLError(URLErrorRequestBodyStreamExhausted, t->request.url));
                break;
            }
            t->stream = std::move(stream);
            t->firstSend = false;
            t->waitingForStream = false;
            applyPause(*t);
            break;
        }
        default:
            break;
    }
}

void URLSessionLoader::askForBodyStream(Transfer& t, bool firstSend) {
    std::weak_ptr<URLSessionLoader> loader = weak_from_this();
    t.events->postGated([loader, firstSend](URLSession& s, const URLSessionTaskPtr& task,
                                            URLSessionDelegate& d, URLSessionEvents::Answer next) {
        d.needNewBodyStream(s, task, [loader, task, firstSend, next](InputStreamPtr stream) {
            if (auto l = loader.lock()) {
                Command command{Command::Type::BodyStream, task};
                command.stream = std::move(stream);
                command.firstSend = firstSend;
                l->post(std::move(command));
            }
            next();
        });
    });
}

bool URLSessionLoader::prepareBody(Transfer& t) {
    t.data.reset();
    t.dataOffset = 0;
    closeFd(t.bodyFd);
    t.sent = 0;
    t.sendsBody = false;
    t.bodyLength = 0;
    t.streamFromDelegate = false;
    t.askedForStream = false;
    t.waitingForStream = false;
    const std::string& method = t.request.httpMethod;
    bool bodiless = method == "GET" || method == "HEAD";
    switch (t.task->bodySource_) {
        case URLSessionTask::BodySource::Data:
            if (!bodiless) {
                t.data = t.task->bodyData_;
            }
            break;
        case URLSessionTask::BodySource::File:
            if (!bodiless) {
                t.bodyFd = ::open(t.task->bodyFile_.c_str(), O_RDONLY | O_CLOEXEC);
                struct stat info {};
                if (t.bodyFd < 0 || ::fstat(t.bodyFd, &info) != 0) {
                    fail(t, makeURLError(URLErrorFileDoesNotExist, t.request.url,
                                         t.task->bodyFile_.string() + ": " + std::strerror(errno)));
                    return false;
                }
                t.bodyLength = info.st_size;
                t.sendsBody = true;
            }
            break;
        case URLSessionTask::BodySource::Stream:
            t.streamFromDelegate = !bodiless;
            break;
        case URLSessionTask::BodySource::Request:
            if (t.request.httpBody) {
                t.data = std::make_shared<const Bytes>(*t.request.httpBody);
            } else if (t.request.httpBodyStream && !t.requestStreamUsed) {
                t.stream = t.request.httpBodyStream;
                t.requestStreamUsed = true;
            } else if (t.request.httpBodyStream && !bodiless) {
                // Read once already (before a redirect): only the delegate can give it again.
                t.streamFromDelegate = true;
            }
            break;
    }
    if (t.data) {
        t.sendsBody = true;
        t.bodyLength = static_cast<std::int64_t>(t.data->size());
    } else if (t.stream || t.streamFromDelegate) {
        if (t.stream && !t.stream->open()) {
            ErrorPtr cause = t.stream->error();
            fail(t,
                 cause ? cause : makeURLError(URLErrorRequestBodyStreamExhausted, t.request.url));
            return false;
        }
        t.sendsBody = true;
        t.bodyLength = URLSessionTransferSizeUnknown;
        if (auto length = t.request.valueForHTTPHeaderField("Content-Length")) {
            t.bodyLength = std::strtoll(length->c_str(), nullptr, 10);
        }
    }
    t.task->bytesExpectedToSend_ = t.bodyLength;
    t.task->bytesSent_ = 0;
    return true;
}

bool URLSessionLoader::prepareDownloadFile(Transfer& t) {
    t.written = 0;
    t.rangeRequested = false;
    if (t.fileFd >= 0) {
        // A later hop (redirect, restart) writes the file afresh.
        if (::ftruncate(t.fileFd, 0) != 0 || ::lseek(t.fileFd, 0, SEEK_SET) != 0) {
            fail(t, makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno)));
            return false;
        }
        t.fileOffset = 0;
        return true;
    }
    if (t.record && store_) {
        t.file = store_->partialFile(t.task->taskIdentifier());
        t.fileFd = ::open(t.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        off_t size = t.fileFd >= 0 ? ::lseek(t.fileFd, 0, SEEK_END) : -1;
        if (size > 0) {
            t.fileOffset = size;
            t.rangeRequested = true;
        }
    } else {
        std::error_code ec;
        std::string pattern = (fs::temp_directory_path(ec) / "quarra-download-XXXXXX").string();
        t.fileFd = ::mkostemp(pattern.data(), O_CLOEXEC);
        t.file = pattern;
    }
    if (t.fileFd < 0) {
        fail(t, makeURLError(URLErrorCannotCreateFile, t.request.url, std::strerror(errno)));
        return false;
    }
    return true;
}

void URLSessionLoader::beginHop(Transfer& t) {
    t.status = 0;
    t.replyHeaders.clear();
    t.headDone = false;
    t.response.reset();
    t.redirecting = false;
    t.heldBody.clear();
    const Url& url = t.request.url;
    if (url.empty() || !url.hasAuthority() || url.host().empty()) {
        fail(t, makeURLError(URLErrorBadURL, url));
        return;
    }
    if (url.scheme() != "https" && url.scheme() != "http") {
        fail(t, makeURLError(URLErrorUnsupportedURL, url));
        return;
    }
    if (!prepareBody(t) || (t.isDownload() && !prepareDownloadFile(t))) {
        return;
    }
    keepConnectionsFor(url);

    CURL* easy = curl_easy_init();
    t.easy = easy;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(easy, CURLOPT_URL, url.string().c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorText);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TransferCallbacks::header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TransferCallbacks::body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
    // Large buffers move files faster, but allocating them for every small request costs more
    // than they save; only transfers that are likely big get them.
    if (t.isDownload()) {
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    }
    if (t.sendsBody && (t.bodyLength < 0 || t.bodyLength > 1024 * 1024)) {
        curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
    }
    curl_easy_setopt(
        easy, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.idleTimeout).count()));
    // Trust is ours to decide, in the verify callback; curl's own checks would overrule the
    // delegate.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &TransferCallbacks::sslContext);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &t);
    // A resumed TLS session skips certificate verification; every new connection is evaluated.
    curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);

    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    auto add = [&list](const std::string& name, const std::string& value) {
        list = curl_slist_append(list, (value.empty() ? name + ";" : name + ": " + value).c_str());
    };
    for (const auto& [name, value] : t.request.headers) {
        if (t.sendsBody && CaseInsensitiveLess::equal(name, "Content-Length")) {
            continue;
        }
        add(name, value);
    }
    for (const auto& [name, value] : configuration_.httpAdditionalHeaders) {
        if (!t.request.headers.count(name)) {
            add(name, value);
        }
    }
    if (t.rangeRequested) {
        add("Range", "bytes=" + std::to_string(t.fileOffset) + "-");
        const std::string& tag = t.record->entityTag;
        std::string validator =
            !tag.empty() && tag.rfind("W/", 0) != 0 ? tag : t.record->lastModified;
        if (!validator.empty()) {
            add("If-Range", validator);
        }
    }
    t.headerList = list;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    if (!t.request.headers.count("Accept-Encoding")) {
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    }

    const std::string& method = t.request.httpMethod;
    bool bodyMethod = method == "POST" || method == "PUT" || method == "PATCH";
    if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (t.sendsBody || bodyMethod) {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &TransferCallbacks::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, &t);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(t.sendsBody ? t.bodyLength : 0));
        if (method != "PUT") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    } else if (method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    t.touch();
    curl_multi_add_handle(multiOf(multi_), easy);
    applyPause(t);
}

// curl's connection cache holds four connections per transfer in progress by default, so when a
// burst of requests winds down it closes the connections the next burst needs, and that one pays
// for new TLS handshakes. Room for every host's full share keeps them.
void URLSessionLoader::keepConnectionsFor(const Url& url) {
    if (!origins_.insert(url.scheme() + "://" + url.hostAndPort()).second) {
        return;
    }
    long perHost = configuration_.httpMaximumConnectionsPerHost > 0
                       ? configuration_.httpMaximumConnectionsPerHost
                       : UnlimitedConnectionsPerHost;
    curl_multi_setopt(multiOf(multi_), CURLMOPT_MAXCONNECTS,
                      static_cast<long>(origins_.size()) * perHost);
}

void URLSessionLoader::applyPause(Transfer& t) {
    if (!t.easy) {
        return;
    }
    bool hold = t.suspended || t.heldBack || t.waitingForStream;
    if (!hold) {
        t.touch();
    }
    curl_easy_pause(t.easy, hold ? CURLPAUSE_ALL : CURLPAUSE_CONT);
}

void URLSessionLoader::announceResponse(Transfer& t) {
    {
        std::lock_guard lock(t.task->mutex_);
        t.task->response_ = t.response;
    }
    t.task->bytesExpectedToReceive_ = t.response->expectedContentLength;
    std::weak_ptr<URLSessionLoader> loader = weak_from_this();
    t.events->postGated(
        [loader, response = t.response](URLSession& s, const URLSessionTaskPtr& task,
                                        URLSessionDelegate& d, URLSessionEvents::Answer next) {
            d.didReceiveResponse(s, task, response,
                                 [loader, task, next](URLSessionResponseDisposition disposition) {
                                     if (disposition == URLSessionResponseDisposition::Cancel) {
                                         task->events_->refuse();
                                         if (auto l = loader.lock()) {
                                             l->cancelTask(task);
                                         }
                                     }
                                     next();
                                 });
        });
}

void URLSessionLoader::detach(Transfer& t) {
    if (t.easy) {
        curl_multi_remove_handle(multiOf(multi_), t.easy);
        curl_easy_cleanup(t.easy);
        t.easy = nullptr;
    }
    curl_slist_free_all(t.headerList);
    t.headerList = nullptr;
    closeFd(t.bodyFd);
}

void URLSessionLoader::hopDone(Transfer& t, int curlCode) {
    auto code = static_cast<CURLcode>(curlCode);
    detach(t);
    if (t.failure || code != CURLE_OK) {
        ErrorPtr error = t.failure;
        if (!error) {
            std::string detail = t.errorText[0] ? t.errorText : curl_easy_strerror(code);
            error = makeURLError(urlErrorCode(code), t.request.url, detail);
        }
        finish(t, std::move(error));
        return;
    }
    if (t.restartWithoutRange) {
        t.restartWithoutRange = false;
        t.record->entityTag.clear();
        t.record->lastModified.clear();
        t.fileOffset = 0;
        beginHop(t);  // prepareDownloadFile truncates the file and asks without a range
        return;
    }
    if (t.redirecting) {
        redirect(t);
        return;
    }
    finish(t, nullptr);
}

void URLSessionLoader::redirect(Transfer& t) {
    if (++t.redirects > MaximumRedirects) {
        finish(t, makeURLError(URLErrorHTTPTooManyRedirects, t.request.url));
        return;
    }
    auto target = t.request.url.resolve(*t.response->valueForHTTPHeaderField("Location"));
    if (!target) {
        refuseRedirect(t);
        return;
    }
    UrlRequest proposed = t.request;
    proposed.url = *target;
    const std::string& method = proposed.httpMethod;
    if ((t.status == 303 && method != "HEAD") ||
        ((t.status == 301 || t.status == 302) && method == "POST")) {
        proposed.httpMethod = "GET";
        proposed.httpBody.reset();
        proposed.httpBodyStream.reset();
        proposed.setValue(std::nullopt, "Content-Type");
        proposed.setValue(std::nullopt, "Content-Length");
    }
    {
        std::lock_guard lock(t.task->mutex_);
        t.task->response_ = t.response;
    }
    std::weak_ptr<URLSessionLoader> loader = weak_from_this();
    t.events->postGated([loader, response = t.response, proposed](
                            URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d,
                            URLSessionEvents::Answer next) {
        d.willPerformHTTPRedirection(s, task, response, proposed,
                                     [loader, task, next](std::optional<UrlRequest> request) {
                                         if (auto l = loader.lock()) {
                                             Command command{Command::Type::Redirect, task};
                                             command.request = std::move(request);
                                             l->post(std::move(command));
                                         }
                                         next();
                                     });
    });
}

void URLSessionLoader::follow(Transfer& t, UrlRequest request) {
    t.request = std::move(request);
    {
        std::lock_guard lock(t.task->mutex_);
        t.task->currentRequest_ = t.request;
    }
    if (t.stream) {
        t.stream->close();
        t.stream.reset();
    }
    beginHop(t);
}

void URLSessionLoader::refuseRedirect(Transfer& t) {
    if (t.isDownload()) {
        t.redirecting = false;
        TransferCallbacks::onHead(t);
        if (!t.heldBody.empty() &&
            !writeAll(t.fileFd, reinterpret_cast<const char*>(t.heldBody.data()),
                      t.heldBody.size())) {
            finish(t, makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno)));
            return;
        }
        t.written = static_cast<std::int64_t>(t.heldBody.size());
        t.task->bytesReceived_ = t.written;
        if (t.written > 0) {
            t.events->postWritten(t.written, t.written, t.expectedTotal);
        }
    } else {
        announceResponse(t);
        if (!t.heldBody.empty()) {
            t.task->bytesReceived_ = static_cast<std::int64_t>(t.heldBody.size());
            t.events->postData(t.heldBody.data(), t.heldBody.size());
        }
    }
    finish(t, nullptr);
}

void URLSessionLoader::fail(Transfer& t, ErrorPtr error) {
    detach(t);
    finish(t, std::move(error));
}

void URLSessionLoader::finish(Transfer& t, ErrorPtr error) {
    URLSessionTaskPtr task = t.task;
    if (t.stream) {
        t.stream->close();
        t.stream.reset();
    }
    std::optional<fs::path> location;
    if (t.isDownload() && t.fileFd >= 0) {
        bool flushed = !t.record || ::fsync(t.fileFd) == 0;
        closeFd(t.fileFd);
        if (!error && !flushed) {
            error = makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno));
        }
        std::error_code ec;
        if (error) {
            if (!t.record) {
                fs::remove(t.file, ec);
            }
        } else if (t.record && store_) {
            fs::path finished = store_->finishedFile(task->taskIdentifier());
            fs::rename(t.file, finished, ec);
            location = finished;
        } else {
            location = t.file;
        }
    }
    {
        std::lock_guard lock(task->mutex_);
        task->error_ = error;
    }
    // On disk before anyone can see the task completed: a process that ends now still leaves the
    // result for the next one to deliver.
    std::optional<URLSessionStore::Record> record = t.record;
    if (record && store_) {
        record->completed = true;
        record->response = task->response();
        record->error = error;
        store_->save(*record);
    }
    // The task reads as completed once its completion event runs, not before: until then it is
    // still one of the session's tasks for getTasks.
    postFinish(task, location, record ? store_ : nullptr, record, error);
    transfers_.erase(task->taskIdentifier());
}

void URLSessionLoader::postFinish(const URLSessionTaskPtr& task, std::optional<fs::path> location,
                                  std::shared_ptr<URLSessionStore> store,
                                  std::optional<URLSessionStore::Record> record, ErrorPtr error) {
    if (location) {
        task->events_->post([path = *location, store, record](URLSession& s,
                                                              const URLSessionTaskPtr& task,
                                                              URLSessionDelegate& d) {
            d.didFinishDownloadingTo(s, task, Url::fileUrl(path));
            std::error_code ec;
            fs::remove(path, ec);
            if (store && record) {
                URLSessionStore::Record delivered = *record;
                delivered.fileDelivered = true;
                store->save(delivered);
            }
        });
    }
    task->events_->post(
        [error](URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d) {
            ErrorPtr outcome = error;
            if (task->events_->refused() && !(error && error->code() == URLErrorCancelled)) {
                outcome = makeURLError(URLErrorCancelled, task->currentRequest().url);
                std::lock_guard lock(task->mutex_);
                task->error_ = outcome;
            }
            task->state_ = URLSessionTaskState::Completed;
            d.didCompleteWithError(s, task, outcome);
            s.completionDelivered(task);
        });
}

void URLSessionLoader::checkTimeouts() {
    Clock::time_point now = Clock::now();
    std::vector<Transfer*> expired;
    for (auto& [id, t] : transfers_) {
        if (!t->easy || t->suspended || t->heldBack || t->waitingForStream) {
            continue;
        }
        if (now - t->lastActivity > t->idleTimeout || now - t->startedAt > t->resourceTimeout) {
            expired.push_back(t.get());
        }
    }
    for (Transfer* t : expired) {
        fail(*t, makeURLError(URLErrorTimedOut, t->request.url));
    }
}

long URLSessionLoader::nextWakeMs() {
    long wait = 1000;
    long curlWait = -1;
    curl_multi_timeout(multiOf(multi_), &curlWait);
    if (curlWait >= 0) {
        wait = std::min(wait, curlWait);
    }
    Clock::time_point now = Clock::now();
    for (auto& [id, t] : transfers_) {
        if (!t->easy || t->suspended || t->heldBack || t->waitingForStream) {
            continue;
        }
        Clock::time_point deadline =
            std::min(t->lastActivity + t->idleTimeout, t->startedAt + t->resourceTimeout);
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        wait = std::min<long>(wait, std::max<long>(left, 0));
    }
    return wait;
}

}  // namespace quarra
