#include "platform/URLSessionStore.h"
#include "quarra/Result.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/Base64.h"
#include "platform/Files.h"
#include "quarra/Json.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

Json headersJson(const HttpHeaders& headers, const std::vector<std::string>& notKept = {}) {
    Json out = Json::object();
    CaseInsensitiveLess less;
    for (const auto& [name, value] : headers) {
        bool kept = std::none_of(notKept.begin(), notKept.end(), [&](const std::string& field) {
            return !less(field, name) && !less(name, field);
        });
        if (kept)
            out[name] = value;
    }
    return out;
}

HttpHeaders headersFrom(const Json& json) {
    HttpHeaders headers;
    for (const auto& [name, value] : json.items()) {
        headers.emplace(name, value.get<std::string>());
    }
    return headers;
}

Json toJson(const URLSessionStore::Record& r, const std::vector<std::string>& notKept) {
    Json out = {
        {"identifier", r.identifier},
        {"kind", r.kind == URLSessionTaskKind::Upload ? "upload" : "download"},
        {"request",
         {{"url", r.request.url.string()},
          {"method", r.request.httpMethod},
          {"headers", headersJson(r.request.headers, notKept)},
          {"timeout", r.request.timeoutInterval}}},
        {"bodyFile", r.bodyFile.string()},
        {"description", r.description},
        {"entityTag", r.entityTag},
        {"lastModified", r.lastModified},
        {"completed", r.completed},
        {"fileDelivered", r.fileDelivered},
    };
    if (r.response) {
        out["response"] = {{"url", r.response->url.string()},
                           {"status", r.response->statusCode},
                           {"headers", headersJson(r.response->headers)}};
    }
    if (!r.replyBody.empty())
        out["replyBody"] = base64Encode(r.replyBody);
    if (r.replyBodyTooLarge)
        out["replyBodyTooLarge"] = true;
    if (r.error) {
        out["error"] = {{"domain", r.error->domain()},
                        {"code", r.error->code()},
                        {"userInfo", r.error->userInfo()}};
    }
    return out;
}

URLSessionStore::Record fromJson(const Json& in) {
    URLSessionStore::Record r;
    r.identifier = in.at("identifier").get<std::uint64_t>();
    r.kind = in.at("kind") == "upload" ? URLSessionTaskKind::Upload : URLSessionTaskKind::Download;
    const Json& request = in.at("request");
    r.request.url = Url::parse(request.at("url").get<std::string>()).value_or(Url());
    r.request.httpMethod = request.at("method").get<std::string>();
    r.request.headers = headersFrom(request.at("headers"));
    r.request.timeoutInterval = request.at("timeout").get<double>();
    r.bodyFile = in.at("bodyFile").get<std::string>();
    r.description = in.at("description").get<std::string>();
    r.entityTag = in.at("entityTag").get<std::string>();
    r.lastModified = in.at("lastModified").get<std::string>();
    r.completed = in.at("completed").get<bool>();
    r.fileDelivered = in.at("fileDelivered").get<bool>();
    if (in.contains("response")) {
        const Json& response = in["response"];
        r.response = std::make_shared<HttpResponse>(
            Url::parse(response.at("url").get<std::string>()).value_or(Url()),
            response.at("status").get<int>(), headersFrom(response.at("headers")));
    }
    if (in.contains("replyBody"))
        r.replyBody = base64Decode(in.at("replyBody").get<std::string>()).value_or(Bytes());
    r.replyBodyTooLarge = in.value("replyBodyTooLarge", false);
    if (in.contains("error")) {
        const Json& error = in["error"];
        r.error = Error::make(error.at("domain").get<std::string>(), error.at("code").get<long>(),
                              error.at("userInfo"));
    }
    return r;
}

std::optional<std::string> readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::unique_ptr<URLSessionStore> URLSessionStore::open(const fs::path& folder,
                                                       std::vector<std::string> notKept) {
    std::error_code ec;
    (void)files::createDirectories(folder, 0700);
    fs::permissions(folder, fs::perms::owner_all, ec);
    int fd = ::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    // Records are written only under the lock now held: a temporary found is a killed writer's.
    (void)files::removePartialFiles(folder);
    std::unique_ptr<URLSessionStore> store(new URLSessionStore(folder, fd, std::move(notKept)));
    if (auto text = readText(folder / "next-identifier")) {
        store->next_ = std::max<std::uint64_t>(1, std::strtoull(text->c_str(), nullptr, 10));
    }
    return store;
}

URLSessionStore::URLSessionStore(fs::path folder, int lockFd, std::vector<std::string> notKept)
    : folder_(std::move(folder)), notKept_(std::move(notKept)), lockFd_(lockFd) {}

URLSessionStore::~URLSessionStore() {
    close();
}

void URLSessionStore::close() {
    std::lock_guard lock(mutex_);
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

std::vector<URLSessionStore::Record> URLSessionStore::load() {
    std::lock_guard lock(mutex_);
    std::vector<Record> records;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_, ec)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        try {
            auto document = parseJson(readText(entry.path()).value_or(""));
            if (!document)
                throw std::runtime_error("not a record");
            records.push_back(fromJson(*document));
            next_ = std::max(next_, records.back().identifier + 1);
        } catch (const std::exception&) {
            fs::remove(entry.path(), ec);
        }
    }
    std::sort(records.begin(), records.end(),
              [](const Record& a, const Record& b) { return a.identifier < b.identifier; });
    // What a process that ended mid-write left: half-written records, and files of no record.
    std::set<std::string> kept;
    for (const Record& record : records)
        kept.insert(std::to_string(record.identifier));
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_, ec)) {
        const fs::path& path = entry.path();
        bool partial = path.filename().string().find(PartialFileMarker) != std::string::npos;
        bool orphan = (path.extension() == ".partial" || path.extension() == ".download") &&
                      !kept.count(path.stem().string());
        if (partial || orphan)
            fs::remove(path, ec);
    }
    return records;
}

std::uint64_t URLSessionStore::reserveIdentifier() {
    std::lock_guard lock(mutex_);
    std::uint64_t identifier = next_++;
    // Unsaved, the counter may hand out an identifier again after a restart; the record files
    // found by load() still move it past every identifier in use.
    if (lockFd_ >= 0)
        (void)files::writeAtomically(folder_ / "next-identifier", std::to_string(next_));
    return identifier;
}

ErrorPtr URLSessionStore::save(const Record& record) {
    std::lock_guard lock(mutex_);
    if (lockFd_ < 0)
        return nullptr;
    return files::writeAtomically(recordFile(record.identifier), toJson(record, notKept_).dump());
}

void URLSessionStore::remove(std::uint64_t identifier) {
    std::lock_guard lock(mutex_);
    if (lockFd_ < 0) {
        return;
    }
    std::error_code ec;
    fs::remove(recordFile(identifier), ec);
    fs::remove(partialFile(identifier), ec);
    fs::remove(finishedFile(identifier), ec);
}

fs::path URLSessionStore::partialFile(std::uint64_t identifier) const {
    return folder_ / (std::to_string(identifier) + ".partial");
}

fs::path URLSessionStore::finishedFile(std::uint64_t identifier) const {
    return folder_ / (std::to_string(identifier) + ".download");
}

fs::path URLSessionStore::recordFile(std::uint64_t identifier) const {
    return folder_ / (std::to_string(identifier) + ".json");
}

}  // namespace quarra
