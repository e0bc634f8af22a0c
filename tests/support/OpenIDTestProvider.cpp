#include "support/OpenIDTestProvider.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace quarra::test {
namespace {

// The provider starts in well under a second; this bound only keeps a broken install from
// hanging a test for good.
constexpr int kStartLimitMs = 120'000;

Json fetchJson(const std::string& issuer, const std::string& path) {
    httplib::Client client(issuer);
    auto result = client.Get(path);
    if (!result || result->status != 200)
        throw std::runtime_error("the OpenID test provider did not answer " + path);
    return Json::parse(result->body);
}

}  // namespace

std::string OpenIDTestProvider::directory() {
    if (const char* dir = getenv("QUARRA_OIDC_PROVIDER_DIR"))
        return dir;
    return QUARRA_OIDC_PROVIDER_DIR;
}

OpenIDTestProvider::OpenIDTestProvider(Options options) {
    const std::string dir = directory();
    if (!std::filesystem::exists(std::filesystem::path(dir) / "node_modules" / "oidc-provider")) {
        throw std::runtime_error("the OpenID test provider is not installed in " + dir +
                                 " (run scripts/install-deps)");
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string script = dir + "/provider.mjs";
    std::string ttl = std::to_string(options.accessTokenLifetime.count());
    std::vector<std::string> arguments = {"node", script, "--access-token-ttl", ttl};
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int status = posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    if (status != 0) {
        close(out[0]);
        close(stdinFd_);
        pid_ = -1;
        throw std::runtime_error("node could not be started");
    }
    // The readiness line, "READY <issuer>".
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos) {
        pollfd fd = {out[0], POLLIN, 0};
        int ready = poll(&fd, 1, kStartLimitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t n = ready > 0 ? read(out[0], &c, 1) : 0;
        if (n <= 0)
            break;
        line += c;
    }
    close(out[0]);
    if (line.rfind("READY ", 0) != 0) {
        stop();
        throw std::runtime_error("the OpenID test provider did not start");
    }
    issuer_ = line.substr(6, line.find('\n') - 6);
}

OpenIDTestProvider::~OpenIDTestProvider() {
    stop();
}

Url OpenIDTestProvider::url(const std::string& path) const {
    return *Url::parse(issuer_ + path);
}

Json OpenIDTestProvider::metadata() const {
    return fetchJson(issuer_, "/.well-known/openid-configuration");
}

Json OpenIDTestProvider::jwks() const {
    return fetchJson(issuer_, "/jwks");
}

void OpenIDTestProvider::stop() {
    if (pid_ <= 0)
        return;
    // Closing its input ends it too; the signal makes sure.
    close(stdinFd_);
    stdinFd_ = -1;
    kill(pid_, SIGTERM);
    int ignored = 0;
    while (waitpid(pid_, &ignored, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace quarra::test
