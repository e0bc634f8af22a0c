#pragma once
// Helpers shared by every test program. The test main gives each process a private sandbox: HOME,
// XDG_DATA_HOME and TMPDIR point into a fresh folder that is removed when the process ends.
#include <spawn.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quarra::test {

// The process's sandbox folder.
const std::filesystem::path& sandbox();

// A fresh empty folder inside the sandbox, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The source tree's root, for fixtures checked into tests/.
std::filesystem::path sourceDir();

// While it lives, the platform's diagnostics (and the database's lines) are kept here instead of
// reaching the log. One at a time.
class DiagnosticsRecorder {
  public:
    DiagnosticsRecorder();
    ~DiagnosticsRecorder();
    DiagnosticsRecorder(const DiagnosticsRecorder&) = delete;
    DiagnosticsRecorder& operator=(const DiagnosticsRecorder&) = delete;

    // Every message so far, each followed by a newline.
    std::string text() const;
};

// Whole-file helpers for fixtures.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

// The value of an environment variable, "" when it is not set.
const char* envValue(const char* name);

// Appends `line` and a newline to `path` in one write: a process killed meanwhile leaves whole
// lines only.
void appendLine(const std::filesystem::path& path, const std::string& line);

// Starts this test program again to run the test `filter` names ("Suite.Test"), in this process's
// environment without the variables whose names begin with `dropPrefix`, plus `extra`
// ("NAME=value"). -1 when it cannot be started.
pid_t spawnTestProcess(const std::string& filter, std::string_view dropPrefix,
                       const std::vector<std::string>& extra,
                       const posix_spawn_file_actions_t* actions = nullptr);

}  // namespace quarra::test
