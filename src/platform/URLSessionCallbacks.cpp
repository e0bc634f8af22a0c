// libcurl's and OpenSSL's callbacks of a URL session's transfers: the reply head and body, the
// request body, and the server-trust decision for every new connection.
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/Diagnostics.h"
#include "platform/URLSessionTransfer.h"
#include "quarra/Json.h"

namespace quarra {
namespace {

// A refused redirect delivers the redirect's own body; more than this of it is not kept.
constexpr std::size_t HeldBodyLimit = 1 << 20;
// Body kept back while the delegate decides whether a data task becomes a download.
constexpr std::size_t PendingBodyLimit = 1 << 20;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string_view trimHeaderValue(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

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

size_t TransferCallbacks::header(char* buffer, size_t size, size_t count, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    size_t length = size * count;
    t.touch();
    std::string_view line = trimHeaderValue(std::string_view(buffer, length));
    if (line.substr(0, 5) == "HTTP/") {
        size_t space = line.find(' ');
        t.status = space == std::string_view::npos
                       ? 0
                       : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        t.replyHeaders.clear();
        return length;
    }
    if (line.empty()) {
        if (t.status >= 200) {
            return onHead(t) ? length : 0;
        }
        t.status = 0;  // an interim reply (100 Continue)
        return length;
    }
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
        std::string name(trimHeaderValue(line.substr(0, colon)));
        std::string value(trimHeaderValue(line.substr(colon + 1)));
        auto it = t.replyHeaders.find(name);
        if (it == t.replyHeaders.end()) {
            t.replyHeaders.emplace(std::move(name), std::move(value));
        } else {
            it->second.append(", ").append(value);
        }
    }
    return length;
}

bool TransferCallbacks::onHead(Transfer& t) {
    t.response = std::make_shared<HttpResponse>(t.request.url, t.status, t.replyHeaders);
    if (isRedirect(t.status) && t.response->valueForHTTPHeaderField("Location")) {
        t.phase = Transfer::Phase::Redirecting;
        return true;
    }
    if (t.download && t.download->rangeRequested && t.status == 416) {
        t.phase = Transfer::Phase::Restarting;
        return true;
    }
    t.phase = Transfer::Phase::Receiving;
    if (!t.download) {
        const URLCachePtr& cache = t.loader->configuration_.urlCache;
        if (t.cached && t.status == 304) {
            // Still valid: the kept reply is the answer, and counts as fresh from now on.
            auto renewed = std::make_shared<CachedURLResponse>(*t.cached);
            renewed->storedAt = Clock::now();
            cache->storeCachedResponse(renewed, t.request);
            t.cached = std::move(renewed);
            t.response = t.cached->response;
            t.servesCached = true;
        } else {
            t.cached.reset();
            t.cacheable = cache && t.task->kind() == URLSessionTaskKind::Data &&
                          URLCache::isStorable(t.request, *t.response);
            if (!t.cacheable && cache) {
                cache->removeCachedResponse(t.request);
            }
        }
        t.loader->announceResponse(t);
        return true;
    }
    {
        std::lock_guard lock(t.task->mutex_);
        t.task->response_ = t.response;
    }
    Transfer::DownloadSink& sink = *t.download;
    std::int64_t length = t.response->expectedContentLength;
    if (sink.rangeRequested && t.status == 206) {
        // Bytes from elsewhere than where the file ends would corrupt it.
        std::string range = t.response->valueForHTTPHeaderField("Content-Range").value_or("");
        if (range.rfind("bytes " + std::to_string(sink.offset) + "-", 0) != 0) {
            t.failure = makeURLError(URLErrorBadServerResponse, t.request.url,
                                     "the partial reply does not continue the file");
            return false;
        }
        sink.expectedTotal = length < 0 ? URLSessionTransferSizeUnknown : sink.offset + length;
        t.events->post([offset = sink.offset, total = sink.expectedTotal](
                           URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d) {
            d.didResumeAtOffset(s, task, offset, total);
        });
    } else {
        // The whole body comes: what the file held before goes.
        if (sink.offset > 0 &&
            (::ftruncate(sink.fd.get(), 0) != 0 || ::lseek(sink.fd.get(), 0, SEEK_SET) != 0)) {
            t.failure =
                makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno));
            return false;
        }
        sink.offset = 0;
        sink.expectedTotal = length;
    }
    t.task->bytesExpectedToReceive_ = sink.expectedTotal;
    t.task->setBytesReceived(sink.offset);
    // A partial reply need not repeat the validators; a whole one replaces them.
    auto tag = t.response->valueForHTTPHeaderField("ETag");
    auto modified = t.response->valueForHTTPHeaderField("Last-Modified");
    if (t.status != 206 || tag || modified) {
        sink.entityTag = tag.value_or("");
        sink.lastModified = modified.value_or("");
    }
    if (t.record && t.loader->store_) {
        t.record->entityTag = sink.entityTag;
        t.record->lastModified = sink.lastModified;
        t.loader->store_->save(*t.record);
    }
    return true;
}

size_t TransferCallbacks::body(char* buffer, size_t size, size_t count, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    size_t length = size * count;
    t.touch();
    if (t.phase == Transfer::Phase::Redirecting || t.phase == Transfer::Phase::Restarting) {
        size_t keep = std::min(length, HeldBodyLimit - std::min(HeldBodyLimit, t.heldBody.size()));
        t.heldBody.insert(t.heldBody.end(), buffer, buffer + keep);
        return length;
    }
    if (t.download) {
        Transfer::DownloadSink& sink = *t.download;
        if (!writeAll(sink.fd.get(), buffer, length)) {
            t.failure =
                makeURLError(URLErrorCannotWriteToFile, t.request.url, std::strerror(errno));
            return 0;
        }
        sink.written += static_cast<std::int64_t>(length);
        std::int64_t total = sink.offset + sink.written;
        t.task->setBytesReceived(total);
        t.events->postWritten(static_cast<std::int64_t>(length), total, sink.expectedTotal);
        return length;
    }
    if (t.awaitingDisposition) {
        if (t.pendingBody.size() >= PendingBodyLimit) {
            t.holds.awaitingDisposition = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        t.pendingBody.insert(t.pendingBody.end(), buffer, buffer + length);
        t.task->bytesReceived_ += static_cast<std::int64_t>(length);
        collectForCache(t, buffer, length);
        return length;
    }
    std::weak_ptr<URLSessionLoader> loader = t.loader->weak_from_this();
    if (!t.events->admitData([loader, task = t.task] {
            if (auto l = loader.lock()) {
                l->post({URLSessionLoader::Command::Type::Unpause, task});
            }
        })) {
        t.holds.delegateBehind = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (t.record && !t.record->replyBodyTooLarge) {
        // Kept with the completion, so a later process can deliver the same reply.
        Bytes& kept = t.record->replyBody;
        t.record->replyBodyTooLarge = kept.size() + length > URLSessionStore::ReplyBodyLimit;
        if (t.record->replyBodyTooLarge)
            kept = Bytes();
        else
            kept.insert(kept.end(), buffer, buffer + length);
    }
    t.task->addBytesReceived(static_cast<std::int64_t>(length));
    t.events->postData(reinterpret_cast<const std::uint8_t*>(buffer), length);
    collectForCache(t, buffer, length);
    return length;
}

void TransferCallbacks::collectForCache(Transfer& t, const char* buffer, size_t length) {
    if (!t.cacheable) {
        return;
    }
    // A body too big for the cache is not collected any further.
    if (t.cacheBody.size() + length > t.loader->configuration_.urlCache->memoryCapacity() / 20) {
        t.cacheable = false;
        t.cacheBody = Bytes();
    } else {
        t.cacheBody.insert(t.cacheBody.end(), buffer, buffer + length);
    }
}

size_t TransferCallbacks::read(char* buffer, size_t size, size_t count, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    size_t length = size * count;
    t.touch();
    constexpr long Pause = -1, Abort = -2;
    long got = std::visit(
        Overloaded{
            [](Transfer::NoBody&) -> long { return 0; },
            [&](Transfer::DataBody& data) -> long {
                auto n = std::min(length, data.bytes->size() - data.offset);
                std::memcpy(buffer, data.bytes->data() + data.offset, n);
                data.offset += n;
                return static_cast<long>(n);
            },
            [&](Transfer::FileBody& file) -> long {
                ssize_t n;
                do {
                    n = ::read(file.fd.get(), buffer, length);
                } while (n < 0 && errno == EINTR);
                if (n < 0) {
                    t.failure = makeURLError(URLErrorUnknown, t.request.url, std::strerror(errno));
                    return Abort;
                }
                return static_cast<long>(n);
            },
            [&](Transfer::StreamBody& stream) -> long {
                long n = stream.stream->read(reinterpret_cast<std::uint8_t*>(buffer), length);
                if (n < 0) {
                    ErrorPtr cause = stream.stream->error();
                    t.failure =
                        cause ? cause
                              : makeURLError(URLErrorRequestBodyStreamExhausted, t.request.url);
                    return Abort;
                }
                return n;
            },
            [&](Transfer::DelegateStreamBody& delegate) -> long {
                if (!delegate.asked) {
                    delegate.asked = true;
                    t.holds.awaitingStream = true;
                    t.loader->askForBodyStream(t, t.firstSend);
                }
                return Pause;
            },
        },
        t.body);
    if (got == Pause) {
        return CURL_READFUNC_PAUSE;
    }
    if (got == Abort) {
        return CURL_READFUNC_ABORT;
    }
    if (got > 0) {
        t.sent += got;
        t.task->setBytesSent(t.sent);
        t.events->postSent(got, t.sent, t.bodyLength);
    }
    return static_cast<size_t>(got);
}

CURLcode TransferCallbacks::sslContext(CURL*, void* sslContext, void* context) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    // The verify callback below gets a pointer to this transfer; a renegotiation on a reused
    // connection would call it for a transfer long gone.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &verify, context);
    return CURLE_OK;
}

// Every new connection: the peer's chain goes to the delegate as a challenge, and its answer (or
// the system trust store with the host name, by default) decides.
int TransferCallbacks::verify(X509_STORE_CTX* storeContext, void* context) {
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

bool TransferCallbacks::defaultTrust(Transfer& t, const ServerTrust& trust) {
    TrustEvaluation evaluation = trust.evaluateDefault();
    if (!evaluation.valid) {
        reportDiagnostic(DiagnosticLevel::Error, "refused the certificate of " + trust.host() +
                                                     ": " + evaluation.failureReason);
        t.failure = makeURLError(URLErrorServerCertificateUntrusted, t.request.url,
                                 evaluation.failureReason);
    }
    return evaluation.valid;
}

bool TransferCallbacks::askDelegate(Transfer& t, const std::shared_ptr<const ServerTrust>& trust) {
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
                                            URLSessionDelegate& d, URLSessionEvents::Answer next) {
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
        case AuthChallengeDisposition::CancelAuthenticationChallenge: {
            // Still "cancelled", as the delegate answered, but with the refusal under it, so
            // that the caller can tell a refused certificate from a request called off.
            lock.unlock();
            TrustEvaluation evaluation = trust->evaluateDefault();
            std::string reason = evaluation.valid
                                     ? "the server's certificate is not the one expected"
                                     : evaluation.failureReason;
            reportDiagnostic(DiagnosticLevel::Error,
                             "refused the certificate of " + trust->host() + ": " + reason);
            ErrorPtr cancelled = makeURLError(URLErrorCancelled, t.request.url);
            t.failure = Error::make(
                URLErrorDomain, URLErrorCancelled, cancelled->userInfo(),
                makeURLError(URLErrorServerCertificateUntrusted, t.request.url, reason));
            return false;
        }
        default:
            break;
    }
    lock.unlock();
    return defaultTrust(t, *trust);
}

}  // namespace quarra
