#pragma once
// The one folder a benchmark writes to: $TMPDIR/quarra-bench-<pid>, removed at exit and when the run
// is interrupted (SIGINT, SIGTERM, SIGHUP). A run that dies harder leaves it behind; the next run of
// any benchmark removes the folders of runs no longer alive before it starts. It is made before
// main() and TMPDIR points into it, so whatever else the run writes to the temporary directory (the
// test server's files, say) goes with it.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace quarra::bench {

inline constexpr const char* kScratchPrefix = "quarra-bench-";

inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path* folder = [] {
        namespace fs = std::filesystem;
        const fs::path temp = fs::temp_directory_path();
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(temp, ec)) {
            std::string name = entry.path().filename().string();
            if (name.rfind(kScratchPrefix, 0) != 0)
                continue;
            char* end = nullptr;
            long pid = std::strtol(name.c_str() + std::string(kScratchPrefix).size(), &end, 10);
            if (pid > 0 && *end == '\0' && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                fs::remove_all(entry.path(), ec);
        }
        auto* path = new fs::path(temp / (kScratchPrefix + std::to_string(::getpid())));
        fs::create_directories(*path, ec);
        if (ec) {
            std::fprintf(stderr, "cannot create %s: %s\n", path->c_str(), ec.message().c_str());
            std::exit(1);
        }
        ::setenv("TMPDIR", (*path / "tmp").c_str(), 1);
        fs::create_directories(*path / "tmp", ec);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*folder, ignored);
        });
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::signal(signal, [](int received) {
                std::error_code ignored;
                std::filesystem::remove_all(*folder, ignored);
                ::signal(received, SIG_DFL);
                ::raise(received);
            });
        }
        return path;
    }();
    return *folder;
}

inline const bool scratchFolderMade = !scratchFolder().empty();

}  // namespace quarra::bench
