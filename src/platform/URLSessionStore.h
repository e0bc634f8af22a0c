#pragma once
// Internal to the URL loading system: the folder in which a background session keeps its tasks, so
// that a later process can finish them. One JSON record per task (written atomically), the partial
// or finished download file beside it, and the next task identifier. A lock file keeps two live
// sessions (in any processes) from sharing the folder. Used on several threads, under its own lock.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/URLSessionTask.h"

namespace quarra {

class URLSessionStore {
  public:
    struct Record {
        std::uint64_t identifier = 0;
        URLSessionTaskKind kind = URLSessionTaskKind::Download;
        UrlRequest request;
        std::filesystem::path bodyFile;  // uploads: the file sent
        std::string description;
        // Download validators, so a resumed download is only appended to the same resource.
        std::string entityTag, lastModified;
        bool completed = false;
        bool fileDelivered = false;  // the finished download reached the delegate
        HttpResponsePtr response;
        // Uploads: the reply's body, while it is no larger than ReplyBodyLimit.
        Bytes replyBody;
        bool replyBodyTooLarge = false;
        ErrorPtr error;
    };
    static constexpr std::size_t ReplyBodyLimit = 1 << 20;

    // Opens (making it when needed) and locks `folder`; null when another session holds it or it
    // cannot be made.
    // Request header fields in `notKept` are left out of every record written.
    static std::unique_ptr<URLSessionStore> open(const std::filesystem::path& folder,
                                                 std::vector<std::string> notKept = {});
    ~URLSessionStore();
    URLSessionStore(const URLSessionStore&) = delete;
    URLSessionStore& operator=(const URLSessionStore&) = delete;

    // Every readable record, by identifier; unreadable ones are removed.
    std::vector<Record> load();
    // The next free task identifier; reserving it persists the one after.
    std::uint64_t reserveIdentifier();
    // Writes the record atomically; null on success (a failure leaves the last saved record).
    ErrorPtr save(const Record& record);
    // Drops the record and its files.
    void remove(std::uint64_t identifier);

    // Unlocks the folder; the store does nothing from then on.
    void close();

    std::filesystem::path partialFile(std::uint64_t identifier) const;
    std::filesystem::path finishedFile(std::uint64_t identifier) const;

  private:
    URLSessionStore(std::filesystem::path folder, int lockFd, std::vector<std::string> notKept);
    std::filesystem::path recordFile(std::uint64_t identifier) const;

    const std::filesystem::path folder_;
    const std::vector<std::string> notKept_;
    int lockFd_;
    std::mutex mutex_;
    std::uint64_t next_ = 1;
};

}  // namespace quarra
