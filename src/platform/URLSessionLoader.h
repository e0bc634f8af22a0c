#pragma once
// Internal to the URL loading system: the worker thread of one session, which runs every transfer
// of the session on libcurl's multi interface. Redirects, server trust, replies and body streams go
// to the delegate through the task's event queue; the worker waits for the answers without blocking
// other transfers, except for a server-trust answer, which the TLS handshake needs at once.
// Commands may be posted from any thread.
//
// A transfer (URLSessionTransfer.h) goes through hops, one request and its reply each: a hop starts
// in beginHop, its reply head decides its phase (receiving, redirecting, restarting without a
// range), and hopDone either ends the task or starts the next hop. libcurl's callbacks live in
// URLSessionCallbacks.cpp.
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "platform/URLSession.h"
#include "platform/URLSessionStore.h"

namespace quarra {

class URLSessionLoader : public std::enable_shared_from_this<URLSessionLoader> {
  public:
    // Starts the worker thread. `store` is the background session's folder, or null.
    static std::shared_ptr<URLSessionLoader> start(std::weak_ptr<URLSession> session,
                                                   const URLSessionConfiguration& configuration,
                                                   std::shared_ptr<URLSessionStore> store,
                                                   bool delegateDecidesTrust);
    ~URLSessionLoader();
    URLSessionLoader(const URLSessionLoader&) = delete;
    URLSessionLoader& operator=(const URLSessionLoader&) = delete;

    // `record`: the task is kept in the store (and may have been adopted from an earlier process).
    void startTask(const URLSessionTaskPtr& task,
                   std::optional<URLSessionStore::Record> record = std::nullopt);
    // `resumeData`, when set, hears the resume data of a download (or why there is none).
    void cancelTask(const URLSessionTaskPtr& task,
                    URLSessionTask::ResumeDataCompletion resumeData = nullptr);
    void suspendTask(const URLSessionTaskPtr& task);
    void resumeTask(const URLSessionTaskPtr& task);
    // The worker ends once no transfer is left.
    void stop();

    // Posts a task's last events: the finished download (removed after the event; `store` is told
    // it was delivered) and the completion.
    static void postFinish(const URLSessionTaskPtr& task,
                           std::optional<std::filesystem::path> location,
                           std::shared_ptr<URLSessionStore> store,
                           std::optional<URLSessionStore::Record> record, ErrorPtr error);

    struct Transfer;

  private:
    struct Command;
    URLSessionLoader(std::weak_ptr<URLSession> session,
                     const URLSessionConfiguration& configuration,
                     std::shared_ptr<URLSessionStore> store, bool delegateDecidesTrust);
    void post(Command command);
    void run();
    void handle(Command& command);
    void askForBodyStream(Transfer& t, bool firstSend);
    void beginHop(Transfer& t);
    bool prepareBody(Transfer& t);
    bool prepareDownloadFile(Transfer& t);
    bool openTemporaryDownload(Transfer& t);
    // Goes on as the download task the delegate turned the data task into.
    bool becomeDownload(Transfer& t, const URLSessionTaskPtr& download, const Bytes& pending);
    void applyDisposition(Transfer& t, Command& command);
    void hopDone(Transfer& t, int curlCode);
    void redirect(Transfer& t);
    void follow(Transfer& t, UrlRequest request);
    void refuseRedirect(Transfer& t);
    void announceResponse(Transfer& t);
    void detach(Transfer& t);
    void fail(Transfer& t, ErrorPtr error);
    void finish(Transfer& t, ErrorPtr error);
    void applyPause(Transfer& t);
    // Answers a data task from the cache when it may (true: the task is done), or notes the kept
    // reply to revalidate.
    bool answerFromCache(Transfer& t);
    // The hop's reply came whole: the kept body after a 304, or the offer to keep this one.
    void settleCache(Transfer& t);
    // Keeps a cancelled download's partial file and describes it, or says why it cannot go on.
    Result<Bytes> produceResumeData(Transfer& t);
    void keepConnectionsFor(const Url& url);
    void checkTimeouts();
    long nextWakeMs();
    Transfer* find(const URLSessionTaskPtr& task);

    friend struct TransferCallbacks;

    const std::weak_ptr<URLSession> session_;
    const URLSessionConfiguration configuration_;
    const std::shared_ptr<URLSessionStore> store_;
    const bool delegateDecidesTrust_;
    void* multi_ = nullptr;  // CURLM*, kept out of this header

    std::mutex mutex_;
    std::deque<Command> commands_;
    bool exited_ = false;

    // Worker thread only.
    bool stopping_ = false;
    bool connectionFreed_ = false;  // a transfer left curl since the last wait
    std::unordered_map<std::uint64_t, std::unique_ptr<Transfer>> transfers_;
    std::unordered_set<std::string> origins_;  // hosts (with scheme and port) talked to
};

}  // namespace quarra
