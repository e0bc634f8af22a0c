#include "log/LDLogMessage.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>

#include "quarra/Dispatch.h"

namespace quarra {
namespace {

const std::string& currentThreadID() {
    // A thread's id never changes, so it is formatted once per thread.
    thread_local const std::string id = [] {
        char buffer[24];
        auto tid = static_cast<unsigned long long>(syscall(SYS_gettid));
        auto end = std::to_chars(buffer, buffer + sizeof buffer, tid).ptr;
        return std::string(buffer, end);
    }();
    return id;
}

// Read once per thread: asking the kernel at every message would cost a system call, and threads
// take their names when they start.
const std::string& currentThreadName() {
    thread_local const std::string name = [] {
        char buffer[16] = {};  // the kernel keeps at most 15 bytes
        return pthread_getname_np(pthread_self(), buffer, sizeof buffer) == 0 ? std::string(buffer)
                                                                              : std::string();
    }();
    return name;
}

}  // namespace

LDLogMessage::LDLogMessage(std::string message, std::uint64_t level, std::uint64_t flag,
                           std::int64_t context, std::string_view file, std::string_view function,
                           std::uint64_t line, LDLogTag tag, std::int64_t options,
                           std::optional<LDLogTimestamp> timestamp)
    : message_(std::move(message)),
      level_(level),
      flag_(flag),
      context_(context),
      file_(file),
      function_(function),
      line_(line),
      tag_(std::move(tag)),
      options_(options),
      timestamp_(timestamp ? *timestamp : std::chrono::system_clock::now()),
      threadID_(currentThreadID()),
      threadName_(currentThreadName()),
      queueLabel_(DispatchQueue::currentLabel()) {
    if (options & (LDLogMessageCopyFile | LDLogMessageCopyFunction)) {
        auto copies = std::make_shared<Copies>();
        if (options & LDLogMessageCopyFile) {
            copies->file = file;
            file_ = copies->file;
        }
        if (options & LDLogMessageCopyFunction) {
            copies->function = function;
            function_ = copies->function;
        }
        copies_ = std::move(copies);
    }
    fileName_ = LDExtractFileNameWithoutExtension(file_);
}

std::string_view LDExtractFileNameWithoutExtension(std::string_view path) {
    auto slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

std::optional<std::string_view> LDExtractFileNameWithoutExtension(const char* path) {
    if (path == nullptr) {
        return std::nullopt;
    }
    return LDExtractFileNameWithoutExtension(std::string_view(path));
}

}  // namespace quarra
