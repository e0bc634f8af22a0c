#include "platform/Diagnostics.h"
#include "platform/MemoryPressure.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace quarra::test {
namespace {

std::filesystem::path& sandboxPath() {
    static std::filesystem::path path;
    return path;
}

}  // namespace

const std::filesystem::path& sandbox() { return sandboxPath(); }

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = sandbox() / ("tmp" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path sourceDir() {
    const char* dir = getenv("QUARRA_TEST_SOURCE_DIR");
    return dir ? dir : std::filesystem::current_path();
}

namespace {

std::mutex& recordedMutex() {
    static std::mutex& mutex = *new std::mutex();
    return mutex;
}
std::string& recorded() {
    static std::string& text = *new std::string();
    return text;
}
DiagnosticHandler replacedHandler = nullptr;

void record(DiagnosticLevel, std::string_view message, const std::source_location&) {
    std::lock_guard lock(recordedMutex());
    recorded().append(message).push_back('\n');
}

}  // namespace

DiagnosticsRecorder::DiagnosticsRecorder() {
    {
        std::lock_guard lock(recordedMutex());
        recorded().clear();
    }
    replacedHandler = setDiagnosticHandler(&record);
}

DiagnosticsRecorder::~DiagnosticsRecorder() {
    setDiagnosticHandler(replacedHandler);
}

std::string DiagnosticsRecorder::text() const {
    std::lock_guard lock(recordedMutex());
    return recorded();
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

const char* envValue(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

void appendLine(const std::filesystem::path& path, const std::string& line) {
    std::string text = line + "\n";
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!::write(fd, text.data(), text.size());
        ::close(fd);
    }
}

pid_t spawnTestProcess(const std::string& filter, std::string_view dropPrefix,
                       const std::vector<std::string>& extra,
                       const posix_spawn_file_actions_t* actions) {
    std::vector<std::string> variables;
    for (char** v = environ; *v; ++v) {
        if (!std::string_view(*v).starts_with(dropPrefix))
            variables.emplace_back(*v);
    }
    variables.insert(variables.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filterArgument = "--gtest_filter=" + filter;
    char* argv[] = {self.data(), filterArgument.data(), nullptr};
    pid_t child = -1;
    if (posix_spawn(&child, self.c_str(), actions, nullptr, argv, envp.data()) != 0)
        return -1;
    return child;
}

}  // namespace quarra::test

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const char* tmp = getenv("TMPDIR");
    const fs::path base = tmp && *tmp ? tmp : "/tmp";
    // A test program that crashed or was killed left its sandbox: those of programs no longer
    // running go first.
    std::error_code swept;
    for (const auto& entry : fs::directory_iterator(base, swept)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("quarra-test-", 0) != 0)
            continue;
        // Only names of this form ("quarra-test-<pid>-<random>"): another naming's random part
        // must never read as the number of a dead process.
        char* end = nullptr;
        long pid = strtol(name.c_str() + 12, &end, 10);
        if (pid > 0 && *end == '-' && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            fs::remove_all(entry.path(), swept);
    }
    std::string pattern = (base / ("quarra-test-" + std::to_string(getpid()) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        perror("mkdtemp");
        return 2;
    }
    quarra::test::sandboxPath() = pattern;
    fs::create_directories(fs::path(pattern) / "data");
    fs::create_directories(fs::path(pattern) / "tmp");
    setenv("HOME", pattern.c_str(), 1);
    setenv("XDG_DATA_HOME", (fs::path(pattern) / "data").c_str(), 1);
    setenv("TMPDIR", (fs::path(pattern) / "tmp").c_str(), 1);
    // Never the desktop's own keyring: tests that want a Secret Service start a private one.
    setenv("QUARRA_KEYCHAIN", "file", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    // A busy machine's memory stalls would empty the caches that tests look into: memory warnings
    // come only from the tests themselves.
    quarra::watchMemoryPressure(quarra::MemoryPressureWatch::Sources{});

    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    std::error_code ec;
    if (!getenv("QUARRA_KEEP_SANDBOX")) fs::remove_all(pattern, ec);
    return result;
}
