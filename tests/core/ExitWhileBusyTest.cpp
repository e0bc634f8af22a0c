// A host that returns from main while signed in, with an upload, a request and a log upload under
// way, ends without a crash: nothing the SDK's threads still use is torn down by exit().
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/ClientLogEndpoint.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

using test::QuarraTestService;
using test::RecordedRequest;
using test::Reply;
using test::SignInTestBed;

// Runs the host once in a data folder of its own; its wait status.
int runHost(const std::string& authority, const std::string& upload, int waitMs) {
    test::TempDir data;
    std::string host = QUARRA_EXIT_HOST;
    std::string quarra = std::to_string(SignInTestBed::FirstQuarra);
    std::string wait = std::to_string(waitMs);
    std::string file = upload;
    std::string authorityArg = authority;
    char* argv[] = {host.data(), authorityArg.data(), quarra.data(), file.data(), wait.data(),
                    nullptr};
    // The child's own environment: setenv here would race with the test server's threads.
    std::vector<std::string> variables;
    std::string asan = "ASAN_OPTIONS=";
    for (char** v = environ; *v; ++v) {
        if (std::strncmp(*v, "ASAN_OPTIONS=", 13) == 0)
            asan = std::string(*v) + ":";
        else if (std::strncmp(*v, "XDG_DATA_HOME=", 14) != 0)
            variables.emplace_back(*v);
    }
    variables.push_back("XDG_DATA_HOME=" + data.path().string());
    // The host leaves on purpose while its requests are in flight: what they hold then is not a
    // leak. A sanitizer build still catches every use of freed memory on the way out.
    variables.push_back(asan + "detect_leaks=0");
    std::vector<char*> envp;
    for (auto& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    pid_t child;
    if (posix_spawn(&child, host.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    // A host that hangs in exit() is a failure too, not a stuck suite.
    int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd exited{ended, POLLIN, 0};
    if (ended < 0 || poll(&exited, 1, 120'000) != 1)
        kill(child, SIGKILL);
    if (ended >= 0)
        close(ended);
    int status = 0;
    return waitpid(child, &status, 0) == child ? status : -1;
}

std::string describe(int status) {
    if (status == -1)
        return "not started";
    if (WIFSIGNALED(status))
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

TEST(ExitWhileBusy, HostReturningFromMainWhileSignedInNeverCrashes) {
    SignInTestBed bed;
    test::ClientLogEndpoint logEndpoint(bed.service, SignInTestBed::FirstQuarra);
    // The upload and the request are still unanswered when the host ends.
    auto stalled = [](const RecordedRequest&, const QuarraTestService::User&) {
        Reply reply = QuarraTestService::success();
        reply.stallBeforeHead = true;
        return reply;
    };
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, "objects/documents", stalled);
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, "objects/documents/7", stalled);
    test::TempDir dir;
    test::writeFile(dir / "upload.bin", std::string(1 << 20, 'u'));
    const std::string authority = "127.0.0.1:" + std::to_string(bed.first.port());

    // Each run ends at another moment: right away, or while the work goes on.
    for (int run = 0; run < 20; ++run) {
        int status = runHost(authority, (dir / "upload.bin").string(), run * 5);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ": " << describe(status);
    }
    bed.first.releaseStalls();
}

}  // namespace
}  // namespace quarra
