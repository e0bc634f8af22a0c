#pragma once
// Takes a browser's redirect back into a native program over loopback (RFC 8252 section 7.3): an
// HTTP listener on 127.0.0.1 that waits for one GET of a given path, answers it with a short page
// and hands the whole redirect URL over. Requests for other paths (a browser asks for its icon)
// get 404 and change nothing. The listener serves on a thread of its own and never outlives
// close() or its last owner. Every member is safe to call from any thread.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "quarra/Url.h"

namespace quarra {

class LoopbackRedirectListener : public std::enable_shared_from_this<LoopbackRedirectListener> {
  public:
    // The redirect URL that arrived; nothing when the listener closed first.
    using Completion = std::function<void(const std::optional<Url>& redirect)>;

    // Listens on 127.0.0.1:`port` (0 takes a free port). Fails when the port cannot be had.
    static Result<std::shared_ptr<LoopbackRedirectListener>> listen(int port);
    ~LoopbackRedirectListener();
    LoopbackRedirectListener(const LoopbackRedirectListener&) = delete;
    LoopbackRedirectListener& operator=(const LoopbackRedirectListener&) = delete;

    int port() const { return port_; }

    // Starts waiting for a GET of `path`; `completion` runs once, on the listener's thread, with
    // the redirect ("http://127.0.0.1:<port>" and the request target) or with nothing when the
    // listener is closed first. REQUIRES: called once.
    void start(std::string path, Completion completion);
    // Stops listening; a waiting completion gets nothing. Idempotent.
    void close();

  private:
    LoopbackRedirectListener(int socket, int port, int wakeRead, int wakeWrite);
    void serve(std::string path);
    // The request target of one connection's GET, answered; nothing for anything else.
    std::optional<std::string> answer(int connection, const std::string& path);
    void finish(const std::optional<Url>& redirect);

    const int socket_;
    const int port_;
    const int wakeRead_;
    const int wakeWrite_;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    Completion completion_;
    std::thread thread_;
};

}  // namespace quarra
