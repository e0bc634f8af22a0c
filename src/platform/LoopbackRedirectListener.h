#pragma once
// Takes a browser's redirect back into a native program over loopback (RFC 8252 section 7.3): an
// HTTP listener on the loopback address a redirect URI names (127.0.0.1, ::1, or both for
// "localhost", since a browser may resolve that name to either) that waits for GETs of a given
// path and hands each whole redirect URL over together with the browser's connection, so that the
// browser is answered only once the redirect has been judged; it goes on listening until closed,
// since any local program can send a redirect that is not the real one. Requests for other paths
// (a browser asks for its icon) get 404 and change nothing. Connections are served side by side,
// each with one time limit for its whole request, so a client that sends nothing, or a byte now and
// then, cannot hold the real redirect up. The listener serves on a thread of its own and never
// outlives close() or its last owner. Every member is safe to call from any thread.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "quarra/Url.h"

namespace quarra {

class LoopbackRedirectListener : public std::enable_shared_from_this<LoopbackRedirectListener> {
  public:
    // The browser's connection that brought the redirect, waiting for its page. The first answer
    // counts; one never given is a failure page when the last owner lets go.
    class Reply {
      public:
        explicit Reply(int connection) : connection_(connection) {}
        ~Reply();
        Reply(const Reply&) = delete;
        Reply& operator=(const Reply&) = delete;

        // The redirect was taken: the person is sent back to the application, where the sign-in
        // ends.
        void succeeded();
        // `reason` is shown to the person as text.
        void failed(const std::string& reason);

      private:
        void send(int status, const std::string& title, const std::string& text);

        std::mutex mutex_;
        int connection_;
    };

    // A redirect URL that arrived and its browser's reply; nothing (and no reply) once the
    // listener has closed.
    using Completion = std::function<void(const std::optional<Url>& redirect,
                                          const std::shared_ptr<Reply>& reply)>;

    // Which loopback addresses a URI's host names, in any spelling a browser takes: 127.0.0.1
    // ("127.1", "0x7f.0.0.1"), ::1 ("0:0:0:0:0:0:0:1", with or without brackets), or "localhost"
    // (in any case) for both.
    enum class Loopback { None, IPv4, IPv6, Both };
    static Loopback loopbackOf(const std::string& host);

    // Listens on `host`:`port` (0 takes a free port), a host loopbackOf() knows, where "localhost"
    // on a host without IPv6 gets 127.0.0.1 alone. Fails when the port cannot be had (the error's
    // code is the errno: EADDRINUSE for a port another program has) or the host is no loopback
    // name (EINVAL).
    static Result<std::shared_ptr<LoopbackRedirectListener>> listen(const std::string& host,
                                                                    int port);
    // The error domain of listen().
    static const char* const ErrorDomain;
    ~LoopbackRedirectListener();
    LoopbackRedirectListener(const LoopbackRedirectListener&) = delete;
    LoopbackRedirectListener& operator=(const LoopbackRedirectListener&) = delete;

    int port() const { return port_; }

    // Starts waiting for GETs of `path`; `completion` runs on the listener's thread for each, with
    // the redirect ("http://<host as given to listen>:<port>" and the request target), and once
    // more with nothing when the listener closes. REQUIRES: called once.
    void start(std::string path, Completion completion);
    // Stops listening; the completion gets nothing. Idempotent.
    void close();

  private:
    struct Connection;
    LoopbackRedirectListener(std::vector<int> sockets, std::string authority, int port,
                             int wakeRead, int wakeWrite);
    void serve(const std::string& path);
    void deliver(const Url& redirect, const std::shared_ptr<Reply>& reply);
    void finish();

    const std::vector<int> sockets_;
    // The host as the redirect URI writes it, brackets included.
    const std::string authority_;
    const int port_;
    const int wakeRead_;
    const int wakeWrite_;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    Completion completion_;
    std::thread thread_;
};

}  // namespace quarra
