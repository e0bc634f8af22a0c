#include "support/QuarraTestServer.h"

#include <httplib.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace quarra::test {
namespace fs = std::filesystem;
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string formDecode(std::string text) {
    std::replace(text.begin(), text.end(), '+', ' ');
    return Url::percentDecode(text);
}

void parseForm(const std::string& text, std::multimap<std::string, std::string>& into) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        std::string pair =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!pair.empty()) {
            size_t equals = pair.find('=');
            into.emplace(formDecode(pair.substr(0, equals)),
                         equals == std::string::npos ? "" : formDecode(pair.substr(equals + 1)));
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
}

// Pieces small enough that a stall or a drop lands close to its offset.
constexpr std::uint64_t ChunkSize = 64 * 1024;

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    auto it = headers.find(lower(name));
    return it == headers.end() ? std::string() : it->second;
}

std::string QuarraTestServer::generatedBody(std::uint64_t length) {
    std::string body(length, '\0');
    for (std::uint64_t i = 0; i < length; ++i) {
        body[i] = generatedByte(i);
    }
    return body;
}

QuarraTestServer::QuarraTestServer(Options options)
    : options_(std::move(options)),
      authority_(TestCertificate::authority("Quarra Test CA")),
      certificate_(authority_.issue("Quarra Test Server", options_.certificateNames)) {
    unsigned char random[8];
    RAND_bytes(random, sizeof random);
    std::string name = "quarra-test-server-";
    for (unsigned char c : random) {
        name += "0123456789abcdef"[c >> 4];
        name += "0123456789abcdef"[c & 15];
    }
    folder_ = fs::temp_directory_path() / name;
    fs::create_directories(folder_);
    authorityFile_ = folder_ / "authority.pem";
    std::ofstream(authorityFile_) << authority_.pem();

    server_ = std::make_unique<httplib::SSLServer>(certificate_.get(), certificate_.key().get());
    if (!server_->is_valid()) {
        throw std::runtime_error("test server: TLS set-up failed");
    }
    // Without it a reply's head and body wait on the client's delayed acknowledgement (40 ms).
    server_->new_task_queue = [threads = options_.threads] {
        return new httplib::ThreadPool(threads);
    };
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_max_count(1 << 20);
    // Stopping waits for idle connections to time out.
    server_->set_keep_alive_timeout(options_.keepAlive.count());
    server_->set_read_timeout(30);
    server_->set_write_timeout(30);
    server_->set_payload_max_length(std::numeric_limits<size_t>::max());
    auto plain = [this](const httplib::Request& q, httplib::Response& r) { handle(q, r, nullptr); };
    auto reading = [this](const httplib::Request& q, httplib::Response& r,
                          const httplib::ContentReader& reader) { handle(q, r, &reader); };
    server_->Get(".*", plain);
    server_->Options(".*", plain);
    server_->Delete(".*", plain);
    server_->Post(".*", reading);
    server_->Put(".*", reading);
    server_->Patch(".*", reading);
    server_->Delete(".*", reading);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("test server: no free port on 127.0.0.1");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() before the loop runs would be lost, and the destructor would wait for ever.
    for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

QuarraTestServer::~QuarraTestServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    thread_.join();
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

Url QuarraTestServer::url(const std::string& path) const {
    return *Url::parse("https://127.0.0.1:" + std::to_string(port_) + path);
}

void QuarraTestServer::trustAuthority() const {
    setenv("SSL_CERT_FILE", authorityFile_.c_str(), 1);
}

void QuarraTestServer::reply(const std::string& path, Reply reply) {
    replies(path, {std::move(reply)});
}

void QuarraTestServer::replies(const std::string& path, std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    scripted_[path] = std::move(replies);
}

void QuarraTestServer::route(const std::string& path, Route route) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(route);
}

std::vector<RecordedRequest> QuarraTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> QuarraTestServer::requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> matching;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(matching),
                 [&](const RecordedRequest& r) { return r.path == path; });
    return matching;
}

bool QuarraTestServer::waitForCutShortRequests(std::size_t count,
                                               std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return cutShort_ >= count; });
}

bool QuarraTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void QuarraTestServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    clientPorts_.clear();
}

std::size_t QuarraTestServer::connections() const {
    std::lock_guard lock(mutex_);
    return clientPorts_.size();
}

void QuarraTestServer::releaseStalls() {
    {
        std::lock_guard lock(mutex_);
        ++stallGeneration_;
    }
    changed_.notify_all();
}

bool QuarraTestServer::waitStall(std::uint64_t generation, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return stopping_ || stallGeneration_ != generation; });
    return !stopping_;
}

Reply QuarraTestServer::replyFor(const RecordedRequest& request) {
    Route route;
    {
        std::lock_guard lock(mutex_);
        auto scripted = scripted_.find(request.path);
        if (scripted != scripted_.end() && !scripted->second.empty()) {
            Reply next = scripted->second.front();
            if (scripted->second.size() > 1) {
                scripted->second.erase(scripted->second.begin());
            }
            return next;
        }
        auto it = routes_.find(request.path);
        if (it != routes_.end()) {
            route = it->second;
        }
    }
    if (route) {
        return route(request);
    }
    return Reply::json(R"({"error":"no reply scripted for this path"})", 404);
}

void QuarraTestServer::handle(const httplib::Request& q, httplib::Response& r,
                              const httplib::ContentReader* reader) {
    RecordedRequest record;
    record.method = q.method;
    record.path = q.path;
    record.clientPort = q.remote_port;
    size_t mark = q.target.find('?');
    if (mark != std::string::npos) {
        record.query = q.target.substr(mark + 1);
    }
    for (const auto& [key, value] : q.params) {
        record.params.emplace(key, value);
    }
    for (const auto& [key, value] : q.headers) {
        if (key != "REMOTE_ADDR" && key != "REMOTE_PORT" && key != "LOCAL_ADDR" &&
            key != "LOCAL_PORT") {
            record.headers.emplace(lower(key), value);
        }
    }
    auto keep = [&record, limit = options_.bodyRecordLimit](const char* data, size_t length) {
        if (record.body.size() < limit) {
            record.body.append(data, std::min(length, limit - record.body.size()));
        }
        record.bodyLength += length;
        return true;
    };
    if (!reader) {
        keep(q.body.data(), q.body.size());
    } else if (q.is_multipart_form_data()) {
        // A body cut short (its client died while sending) is no request: nothing is stored.
        bool whole = (*reader)(
            [&record](const httplib::MultipartFormData& part) {
                record.parts.push_back({part.name, part.filename, part.content_type, ""});
                return true;
            },
            [&record, limit = options_.bodyRecordLimit](const char* data, size_t length) {
                // Like a plain body, a part is kept only up to the limit.
                std::string& content = record.parts.back().content;
                if (content.size() < limit)
                    content.append(data, std::min(length, limit - content.size()));
                record.bodyLength += length;
                return true;
            });
        if (!whole) {
            {
                std::lock_guard lock(mutex_);
                ++cutShort_;
            }
            changed_.notify_all();
            r.status = 400;
            return;
        }
    } else {
        (*reader)(keep);
    }
    if (record.header("content-type").rfind("application/x-www-form-urlencoded", 0) == 0) {
        parseForm(record.body, record.params);
    }
    Reply reply = replyFor(record);
    // A release from the moment the request is known lets its stalls go: a test that waits for the
    // request and then releases cannot lose the race with this thread.
    std::uint64_t stallGeneration = 0;
    {
        std::lock_guard lock(mutex_);
        clientPorts_.insert(record.clientPort);
        requests_.push_back(std::move(record));
        stallGeneration = stallGeneration_;
    }
    changed_.notify_all();

    if (reply.dropConnection) {
        if (q.ssl) {
            ::shutdown(SSL_get_fd(q.ssl), SHUT_RDWR);
        }
        r.status = 500;
        return;
    }
    if (reply.delay.count() > 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, reply.delay, [&] { return stopping_; });
    }
    if (reply.stallBeforeHead && !waitStall(stallGeneration, std::chrono::minutes(10))) {
        return;
    }
    // If-Range names the version the client holds: any other version goes out whole.
    std::string ifRange = q.get_header_value("If-Range");
    if (!q.ranges.empty() && !ifRange.empty()) {
        bool same = false;
        for (const auto& [key, value] : reply.headers) {
            same = same || ((lower(key) == "etag" || lower(key) == "last-modified") &&
                            value == ifRange && value.rfind("W/", 0) != 0);
        }
        if (!same) {
            // The library reads the ranges after this handler returns.
            const_cast<httplib::Request&>(q).ranges.clear();
        }
    }
    // The library cuts the body to the requested range itself but keeps the status it is given.
    bool ranged = !q.ranges.empty() && reply.status == 200 &&
                  (!reply.body.empty() || reply.generatedLength > 0);
    r.status = ranged ? 206 : reply.status;
    for (const auto& [key, value] : reply.headers) {
        r.set_header(key, value);
    }
    std::uint64_t length = reply.body.empty() ? reply.generatedLength : reply.body.size();
    if (length == 0) {
        r.set_content("", reply.contentType);
        return;
    }
    // Whether the body has stalled yet, and the releases it waits for: any since the request came,
    // also one made before the body got this far (a client holding the bytes before the stall
    // point may release it before the server reaches it).
    struct Stall {
        bool stalled = false;
        std::uint64_t generation;
    };
    auto stall = std::make_shared<Stall>(Stall{false, stallGeneration});
    r.set_content_provider(
        length, reply.contentType,
        [this, reply, stall](size_t offset, size_t wanted, httplib::DataSink& sink) {
            std::uint64_t chunk = std::min<std::uint64_t>(wanted, ChunkSize);
            for (const auto& limit : {reply.stallAfter, reply.dropAfter}) {
                if (limit && offset < *limit) {
                    chunk = std::min<std::uint64_t>(chunk, *limit - offset);
                }
            }
            if (reply.dropAfter && offset == *reply.dropAfter) {
                return false;
            }
            if (reply.stallAfter && offset == *reply.stallAfter && !stall->stalled) {
                stall->stalled = true;
                if (!waitStall(stall->generation, std::chrono::minutes(10))) {
                    return false;
                }
            }
            if (!reply.body.empty()) {
                sink.write(reply.body.data() + offset, chunk);
            } else {
                char buffer[ChunkSize];
                for (std::uint64_t i = 0; i < chunk; ++i) {
                    buffer[i] = generatedByte(offset + i);
                }
                sink.write(buffer, chunk);
            }
            return true;
        });
}

}  // namespace quarra::test
