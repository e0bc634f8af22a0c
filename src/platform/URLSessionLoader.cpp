#include "platform/URLSessionLoader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/LibraryLifetime.h"
#include "platform/URLSessionResumeData.h"
#include "platform/URLSessionTransfer.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

constexpr int MaximumRedirects = 16;
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

}  // namespace

std::shared_ptr<URLSessionLoader> URLSessionLoader::start(
    std::weak_ptr<URLSession> session, const URLSessionConfiguration& configuration,
    std::shared_ptr<URLSessionStore> store, bool delegateDecidesTrust) {
    initializeCurlOnce();
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

URLSessionLoader::~URLSessionLoader() {
    curl_multi_cleanup(multiOf(multi_));
}

void URLSessionLoader::startTask(const URLSessionTaskPtr& task,
                                 std::optional<URLSessionStore::Record> record) {
    Command command{Command::Type::Start, task};
    command.record = std::move(record);
    post(std::move(command));
}

void URLSessionLoader::cancelTask(const URLSessionTaskPtr& task,
                                  URLSessionTask::ResumeDataCompletion resumeData) {
    Command command{Command::Type::Cancel, task};
    command.resumeData = std::move(resumeData);
    post(std::move(command));
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
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (exited_) {
            return;
        }
        // The loop takes all commands at once after each wake-up, so only the first of a run
        // needs to wake it; the rest would only make it spin once more for nothing.
        wake = commands_.empty();
        commands_.push_back(std::move(command));
    }
    // Once the lock is let go, which the woken loop takes at once. The multi handle outlives the
    // loop (it goes with the loader), so a wake-up that comes after the loop ended is harmless.
    if (wake) {
        curl_multi_wakeup(multiOf(multi_));
    }
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
        t.holds.suspended = command.task->state() == URLSessionTaskState::Suspended;
        if (t.task->kind() == URLSessionTaskKind::Download) {
            t.download.emplace();
        }
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
        if (!answerFromCache(t)) {
            beginHop(t);
        }
        return;
    }
    Transfer* t = find(command.task);
    if (!t) {
        if (command.resumeData) {
            // Finished meanwhile: its completion is on its way, and there is nothing to go on from.
            command.task->events_->post(
                [resumeData = std::move(command.resumeData)](
                    URLSession&, const URLSessionTaskPtr& task, URLSessionDelegate&) {
                    resumeData(makeURLError(URLErrorCancelled, task->originalRequest().url,
                                            "no resume data: the task has ended"));
                });
        }
        return;
    }
    switch (command.type) {
        case Command::Type::Cancel:
            if (command.resumeData) {
                t->events->post(
                    [resumeData = std::move(command.resumeData), data = produceResumeData(*t)](
                        URLSession&, const URLSessionTaskPtr&, URLSessionDelegate&) {
                        resumeData(data);
                    });
            }
            fail(*t, makeURLError(URLErrorCancelled, t->request.url));
            break;
        case Command::Type::Suspend:
            t->holds.suspended = true;
            applyPause(*t);
            break;
        case Command::Type::Resume:
            t->holds.suspended = false;
            applyPause(*t);
            break;
        case Command::Type::Unpause:
            t->holds.delegateBehind = false;
            applyPause(*t);
            break;
        case Command::Type::Redirect:
            if (command.request) {
                follow(*t, std::move(*command.request));
            } else {
                refuseRedirect(*t);
            }
            break;
        case Command::Type::Disposition:
            applyDisposition(*t, command);
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
            t->body = Transfer::StreamBody{std::move(stream)};
            t->firstSend = false;
            t->holds.awaitingStream = false;
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
    t.dropBody();
    t.sent = 0;
    t.bodyLength = 0;
    const std::string& method = t.request.httpMethod;
    bool bodiless = method == "GET" || method == "HEAD";
    InputStreamPtr stream;  // to be opened
    switch (t.task->bodySource_) {
        case URLSessionTask::BodySource::Data:
            if (!bodiless) {
                t.body = Transfer::DataBody{t.task->bodyData_};
            }
            break;
        case URLSessionTask::BodySource::File:
            if (!bodiless) {
                FileDescriptor fd(::open(t.task->bodyFile_.c_str(), O_RDONLY | O_CLOEXEC));
                struct stat info {};
                if (!fd || ::fstat(fd.get(), &info) != 0) {
                    fail(t, makeURLError(URLErrorFileDoesNotExist, t.request.url,
                                         t.task->bodyFile_.string() + ": " + std::strerror(errno)));
                    return false;
                }
                t.bodyLength = info.st_size;
                t.body = Transfer::FileBody{std::move(fd)};
            }
            break;
        case URLSessionTask::BodySource::Stream:
            if (!bodiless) {
                t.body = Transfer::DelegateStreamBody{};
            }
            break;
        case URLSessionTask::BodySource::Request:
            if (t.request.httpBody) {
                t.body = Transfer::DataBody{std::make_shared<const Bytes>(*t.request.httpBody)};
            } else if (t.request.httpBodyStream && !t.requestStreamUsed) {
                stream = t.request.httpBodyStream;
                t.requestStreamUsed = true;
            } else if (t.request.httpBodyStream && !bodiless) {
                // Read once already (before a redirect): only the delegate can give it again.
                t.body = Transfer::DelegateStreamBody{};
            }
            break;
    }
    if (stream) {
        if (!stream->open()) {
            ErrorPtr cause = stream->error();
            fail(t,
                 cause ? cause : makeURLError(URLErrorRequestBodyStreamExhausted, t.request.url));
            return false;
        }
        t.body = Transfer::StreamBody{std::move(stream)};
    }
    if (auto* data = std::get_if<Transfer::DataBody>(&t.body)) {
        t.bodyLength = static_cast<std::int64_t>(data->bytes->size());
    } else if (std::holds_alternative<Transfer::StreamBody>(t.body) ||
               std::holds_alternative<Transfer::DelegateStreamBody>(t.body)) {
        t.bodyLength = URLSessionTransferSizeUnknown;
        if (auto length = t.request.valueForHTTPHeaderField("Content-Length")) {
            t.bodyLength = std::strtoll(length->c_str(), nullptr, 10);
        }
    }
    t.task->bytesExpectedToSend_ = t.bodyLength;
    t.task->setBytesSent(0);
    return true;
}

void URLSessionLoader::Transfer::dropBody() {
    if (auto* open = std::get_if<StreamBody>(&body)) {
        open->stream->close();
    }
    body = NoBody{};
    holds.awaitingStream = false;
}

bool URLSessionLoader::prepareDownloadFile(Transfer& t) {
    Transfer::DownloadSink& sink = *t.download;
    sink.written = 0;
    sink.rangeRequested = false;
    if (sink.fd) {
        // A later hop (redirect, restart) writes the file afresh.
        if (::ftruncate(sink.fd.get(), 0) != 0 || ::lseek(sink.fd.get(), 0, SEEK_SET) != 0) {
            fail(t, makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno)));
            return false;
        }
        sink.offset = 0;
        return true;
    }
    if (const auto& resume = t.task->resumeFrom_) {
        // Resume data: the file must still be as the cancelled download left it.
        Result<FileDescriptor> fd =
            openPartialDownload(resume->file, resume->offset, t.request.url);
        if (!fd) {
            fail(t, fd.error());
            return false;
        }
        sink.fd = std::move(*fd);
        sink.file = resume->file;
        sink.offset = resume->offset;
        sink.rangeRequested = true;
        sink.entityTag = resume->entityTag;
        sink.lastModified = resume->lastModified;
    } else if (t.record && store_) {
        // What an earlier process got is kept, and the rest asked for with a range.
        sink.entityTag = t.record->entityTag;
        sink.lastModified = t.record->lastModified;
        sink.file = store_->partialFile(t.task->taskIdentifier());
        sink.fd.reset(::open(sink.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        off_t size = sink.fd ? ::lseek(sink.fd.get(), 0, SEEK_END) : -1;
        if (size > 0) {
            sink.offset = size;
            sink.rangeRequested = true;
        }
    } else {
        return openTemporaryDownload(t);
    }
    if (!sink.fd) {
        fail(t, makeURLError(URLErrorCannotCreateFile, t.request.url, std::strerror(errno)));
        return false;
    }
    return true;
}

bool URLSessionLoader::openTemporaryDownload(Transfer& t) {
    Transfer::DownloadSink& sink = *t.download;
    std::string pattern = partialDownloadPattern().string();
    sink.fd.reset(::mkostemp(pattern.data(), O_CLOEXEC));  // readable by its owner only
    sink.file = pattern;
    if (!sink.fd) {
        fail(t, makeURLError(URLErrorCannotCreateFile, t.request.url, std::strerror(errno)));
        return false;
    }
    return true;
}

void URLSessionLoader::applyDisposition(Transfer& t, Command& command) {
    t.awaitingDisposition = false;
    t.holds.awaitingDisposition = false;
    Bytes pending = std::move(t.pendingBody);
    if (command.disposition == URLSessionResponseDisposition::Cancel) {
        fail(t, makeURLError(URLErrorCancelled, t.request.url));
        return;
    }
    if (command.downloadTask) {
        if (t.servesCached) {
            // A revalidated reply: the kept body is what goes to the file.
            pending = t.cached->data;
            t.servesCached = false;
        }
        if (!becomeDownload(t, command.downloadTask, pending)) {
            return;
        }
    } else if (!pending.empty()) {
        t.events->postData(pending.data(), pending.size());
    }
    if (t.hopFinished) {
        settleCache(t);
        finish(t, nullptr);
        return;
    }
    applyPause(t);
}

bool URLSessionLoader::becomeDownload(Transfer& t, const URLSessionTaskPtr& download,
                                      const Bytes& pending) {
    auto node = transfers_.extract(t.task->taskIdentifier());
    node.key() = download->taskIdentifier();
    transfers_.insert(std::move(node));
    t.task = download;
    t.events = download->events_;
    t.cacheable = false;
    t.cacheBody = Bytes();
    t.download.emplace();
    if (!openTemporaryDownload(t)) {
        return false;
    }
    Transfer::DownloadSink& sink = *t.download;
    sink.expectedTotal = t.response->expectedContentLength;
    sink.entityTag = t.response->valueForHTTPHeaderField("ETag").value_or("");
    sink.lastModified = t.response->valueForHTTPHeaderField("Last-Modified").value_or("");
    if (!pending.empty() &&
        !writeAll(sink.fd.get(), reinterpret_cast<const char*>(pending.data()), pending.size())) {
        fail(t, makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno)));
        return false;
    }
    sink.written = static_cast<std::int64_t>(pending.size());
    download->bytesReceived_ = sink.written;
    download->bytesExpectedToReceive_ = sink.expectedTotal;
    if (sink.written > 0) {
        t.events->postWritten(sink.written, sink.written, sink.expectedTotal);
    }
    return true;
}

void URLSessionLoader::beginHop(Transfer& t) {
    t.phase = Transfer::Phase::Requesting;
    t.status = 0;
    t.replyHeaders.clear();
    t.response.reset();
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
    if (!prepareBody(t) || (t.download && !prepareDownloadFile(t))) {
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
    if (t.download) {
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    }
    if (t.sendsBody() && (t.bodyLength < 0 || t.bodyLength > 1024 * 1024)) {
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

    // The engine starts from an empty file name (reads nothing); with no jar nothing is written.
    if (configuration_.httpShouldSetCookies && t.request.httpShouldHandleCookies) {
        curl_easy_setopt(easy, CURLOPT_SHARE, httpCookieShare());
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    }

    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    auto add = [&list](const std::string& name, const std::string& value) {
        list = curl_slist_append(list, (value.empty() ? name + ";" : name + ": " + value).c_str());
    };
    for (const auto& [name, value] : t.request.headers) {
        if (t.sendsBody() && CaseInsensitiveLess::equal(name, "Content-Length")) {
            continue;
        }
        add(name, value);
    }
    for (const auto& [name, value] : configuration_.httpAdditionalHeaders) {
        if (!t.request.headers.count(name)) {
            add(name, value);
        }
    }
    if (t.download && t.download->rangeRequested) {
        add("Range", "bytes=" + std::to_string(t.download->offset) + "-");
        // A weak entity tag cannot vouch for the bytes: only a strong one or the date may.
        const std::string& tag = t.download->entityTag;
        std::string validator =
            !tag.empty() && tag.rfind("W/", 0) != 0 ? tag : t.download->lastModified;
        if (!validator.empty()) {
            add("If-Range", validator);
        }
    }
    if (t.cached) {
        // Only the kept reply's own validators; a request that brings its own decides itself.
        auto tag = t.cached->response->valueForHTTPHeaderField("ETag");
        auto modified = t.cached->response->valueForHTTPHeaderField("Last-Modified");
        if (tag && !t.request.valueForHTTPHeaderField("If-None-Match")) {
            add("If-None-Match", *tag);
        }
        if (modified && !t.request.valueForHTTPHeaderField("If-Modified-Since")) {
            add("If-Modified-Since", *modified);
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
    } else if (t.sendsBody() || bodyMethod) {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &TransferCallbacks::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, &t);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(t.sendsBody() ? t.bodyLength : 0));
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
    bool hold = t.holds.any();
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
    auto session = session_.lock();
    auto delegate = session ? session->delegate() : nullptr;
    bool held = t.task->kind() == URLSessionTaskKind::Data && t.easy && delegate &&
                delegate->mayTurnDataTasksIntoDownloads();
    t.awaitingDisposition = held;
    t.events->postGated([loader, held, response = t.response](
                            URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d,
                            URLSessionEvents::Answer next) {
        std::weak_ptr<URLSession> session = s.weak_from_this();
        d.didReceiveResponse(
            s, task, response,
            [loader, session, task, held, next](URLSessionResponseDisposition disposition) {
                URLSessionTaskPtr download;
                if (held && disposition == URLSessionResponseDisposition::BecomeDownload) {
                    auto s = session.lock();
                    download = s ? s->becomeDownload(task) : nullptr;
                }
                if (disposition != URLSessionResponseDisposition::Allow && !download) {
                    disposition = URLSessionResponseDisposition::Cancel;
                    task->events_->refuse();
                }
                if (download) {
                    // The download task's first event, before anything written.
                    download->events_->post([task](URLSession& s, const URLSessionTaskPtr& download,
                                                   URLSessionDelegate& d) {
                        d.didBecomeDownloadTask(s, task, download);
                    });
                }
                if (auto l = loader.lock()) {
                    if (held) {
                        Command command{Command::Type::Disposition, task};
                        command.disposition = disposition;
                        command.downloadTask = download;
                        l->post(std::move(command));
                    } else if (disposition == URLSessionResponseDisposition::Cancel) {
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
        connectionFreed_ = true;
    }
    curl_slist_free_all(t.headerList);
    t.headerList = nullptr;
    if (auto* file = std::get_if<Transfer::FileBody>(&t.body)) {
        file->fd.reset();
    }
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
    switch (t.phase) {
        case Transfer::Phase::Restarting:
            if (t.record) {
                t.record->entityTag.clear();
                t.record->lastModified.clear();
            }
            t.download->entityTag.clear();
            t.download->lastModified.clear();
            t.download->offset = 0;
            beginHop(t);  // prepareDownloadFile truncates the file and asks without a range
            return;
        case Transfer::Phase::Redirecting:
            redirect(t);
            return;
        default:
            if (t.awaitingDisposition) {
                t.hopFinished = true;  // the delegate's answer says where the body goes
                return;
            }
            settleCache(t);
            finish(t, nullptr);
    }
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
    t.cached.reset();  // its validators belong to the first URL
    {
        std::lock_guard lock(t.task->mutex_);
        t.task->currentRequest_ = t.request;
    }
    t.dropBody();
    beginHop(t);
}

void URLSessionLoader::refuseRedirect(Transfer& t) {
    // The redirect's own reply is the task's reply.
    if (t.download) {
        Transfer::DownloadSink& sink = *t.download;
        if (!t.heldBody.empty() &&
            !writeAll(sink.fd.get(), reinterpret_cast<const char*>(t.heldBody.data()),
                      t.heldBody.size())) {
            finish(t, makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno)));
            return;
        }
        sink.written = static_cast<std::int64_t>(t.heldBody.size());
        t.task->setBytesReceived(sink.written);
        if (sink.written > 0) {
            t.events->postWritten(sink.written, sink.written, sink.expectedTotal);
        }
    } else {
        announceResponse(t);
        if (!t.heldBody.empty()) {
            t.task->setBytesReceived(static_cast<std::int64_t>(t.heldBody.size()));
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
    t.dropBody();
    std::optional<fs::path> location;
    if (t.download && t.download->fd) {
        Transfer::DownloadSink& sink = *t.download;
        // A kept download is on disk before it counts as finished.
        bool flushed = !t.record || ::fsync(sink.fd.get()) == 0;
        int flushError = errno;
        sink.fd.reset();
        if (!error && !flushed) {
            error =
                makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(flushError));
        }
        std::error_code ec;
        if (error) {
            if (!t.record && !sink.keepFile) {
                fs::remove(sink.file, ec);
            }
        } else if (t.record && store_) {
            fs::path finished = store_->finishedFile(task->taskIdentifier());
            fs::rename(sink.file, finished, ec);
            location = finished;
        } else {
            location = sink.file;
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
            task->setState(URLSessionTaskState::Completed);
            d.didCompleteWithError(s, task, outcome);
            s.completionDelivered(task);
        });
}

bool URLSessionLoader::answerFromCache(Transfer& t) {
    const URLCachePtr& cache = configuration_.urlCache;
    if (!cache || t.task->kind() != URLSessionTaskKind::Data || t.request.httpMethod != "GET" ||
        t.request.cachePolicy == UrlRequestCachePolicy::ReloadIgnoringLocalCacheData) {
        return false;
    }
    CachedURLResponsePtr cached = cache->cachedResponse(t.request);
    UrlRequestCachePolicy policy = t.request.cachePolicy;
    if (!cached) {
        if (policy == UrlRequestCachePolicy::ReturnCacheDataDontLoad) {
            finish(t, makeURLError(URLErrorResourceUnavailable, t.request.url,
                                   "not in the cache, and the request may not load"));
            return true;
        }
        return false;
    }
    if (policy == UrlRequestCachePolicy::UseProtocolCachePolicy &&
        !URLCache::isFresh(*cached, t.request)) {
        t.cached = std::move(cached);  // asked again, with its validators
        return false;
    }
    t.status = cached->response->statusCode;
    t.response = cached->response;
    t.phase = Transfer::Phase::Receiving;
    announceResponse(t);
    t.cached = std::move(cached);
    t.servesCached = true;
    settleCache(t);
    finish(t, nullptr);
    return true;
}

void URLSessionLoader::settleCache(Transfer& t) {
    if (t.servesCached) {
        const Bytes& body = t.cached->data;
        t.task->bytesReceived_ = static_cast<std::int64_t>(body.size());
        if (!body.empty()) {
            t.events->postData(body.data(), body.size());
        }
        return;
    }
    if (!t.cacheable || !configuration_.urlCache) {
        return;
    }
    auto proposed = std::make_shared<CachedURLResponse>();
    proposed->response = t.response;
    proposed->data = std::move(t.cacheBody);
    t.events->postGated([cache = configuration_.urlCache, request = t.request,
                         proposed = CachedURLResponsePtr(std::move(proposed))](
                            URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d,
                            URLSessionEvents::Answer next) {
        d.willCacheResponse(s, task, proposed, [cache, request, next](CachedURLResponsePtr kept) {
            if (kept) {
                cache->storeCachedResponse(std::move(kept), request);
            }
            next();
        });
    });
}

Result<Bytes> URLSessionLoader::produceResumeData(Transfer& t) {
    auto none = [&t](const std::string& why) {
        return makeURLError(URLErrorCancelled, t.request.url, "no resume data: " + why);
    };
    if (!t.download || !t.download->fd) {
        return none("not a download under way");
    }
    Transfer::DownloadSink& sink = *t.download;
    std::int64_t received = sink.offset + sink.written;
    if (t.request.httpMethod != "GET" || t.phase != Transfer::Phase::Receiving ||
        (t.status != 200 && t.status != 206) || received <= 0) {
        return none("nothing received of the resource yet");
    }
    bool strongTag = !sink.entityTag.empty() && sink.entityTag.rfind("W/", 0) != 0;
    if (!strongTag && sink.lastModified.empty()) {
        return none("the server sent no validator");
    }
    if (::fsync(sink.fd.get()) != 0) {
        return makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno));
    }
    if (t.record) {
        // A background session's file goes with its record: the resume data gets one of its own.
        std::string moved = partialDownloadPattern().string();
        FileDescriptor placeholder(::mkostemp(moved.data(), O_CLOEXEC));
        if (!placeholder || ::rename(sink.file.c_str(), moved.c_str()) != 0) {
            if (placeholder) {
                ::unlink(moved.c_str());
            }
            return none("the partial file cannot be handed over");
        }
        sink.file = moved;
    }
    sink.keepFile = true;
    URLSessionResumeData resume;
    resume.request = t.request;
    resume.file = sink.file;
    resume.offset = received;
    resume.entityTag = strongTag ? sink.entityTag : "";
    resume.lastModified = sink.lastModified;
    return resume.encode();
}

void URLSessionLoader::checkTimeouts() {
    Clock::time_point now = Clock::now();
    std::vector<Transfer*> expired;
    for (auto& [id, t] : transfers_) {
        if (!t->easy || t->holds.any()) {
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
    // A transfer curl holds back for the per-host connection limit has no timer of its own: it may
    // go as soon as curl sees the connection this loop just gave back.
    if (std::exchange(connectionFreed_, false)) {
        return 0;
    }
    // Commands wake the wait, and curl's and the transfers' deadlines bound it; this only keeps
    // the wait finite.
    long wait = 60'000;
    long curlWait = -1;
    curl_multi_timeout(multiOf(multi_), &curlWait);
    if (curlWait >= 0) {
        wait = std::min(wait, curlWait);
    }
    Clock::time_point now = Clock::now();
    for (auto& [id, t] : transfers_) {
        if (!t->easy || t->holds.any()) {
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
