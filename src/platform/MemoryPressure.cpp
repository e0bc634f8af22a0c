#include "platform/MemoryPressure.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Diagnostics.h"
#include "quarra/MemoryPressure.h"
#include "quarra/NotificationCenter.h"

namespace quarra {
namespace {

// 150 ms of stall in a 2 s window: unprivileged processes may only set windows in whole multiples
// of 2 s.
constexpr char kTrigger[] = "some 150000 2000000";

// The counts of memory.events that mean the cgroup ran out of room; "low" only means it was
// reclaimed below its protection.
// None when the file holds no counts (being rewritten, or gone).
std::optional<unsigned long long> pressureEventCount(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string name;
    unsigned long long value = 0;
    std::optional<unsigned long long> total;
    while (in >> name >> value) {
        if (name == "high" || name == "max" || name == "oom" || name == "oom_kill")
            total = total.value_or(0) + value;
    }
    return total;
}

// The file opened with the trigger set, or none (reported).
FileDescriptor stallTrigger(const std::filesystem::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    struct statfs where {};
    if (fd && ::fstatfs(fd.get(), &where) == 0) {
        // Only the kernel's own files take a trigger; a plain file would take the text as data.
        if (where.f_type != PROC_SUPER_MAGIC && where.f_type != CGROUP2_SUPER_MAGIC)
            errno = EINVAL;
        // The trigger's text goes with its terminating zero, as the kernel expects.
        else if (::write(fd.get(), kTrigger, sizeof kTrigger) == ssize_t(sizeof kTrigger))
            return fd;
    }
    reportDiagnostic(DiagnosticLevel::Info, "MemoryPressure: no trigger on " + file.string() +
                                                ": " + std::strerror(errno));
    return FileDescriptor();
}

std::filesystem::path cgroupEventsFile() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        // cgroup v2 has the single line "0::<path>".
        if (line.rfind("0::", 0) == 0) {
            std::filesystem::path file =
                std::filesystem::path("/sys/fs/cgroup") / line.substr(4) / "memory.events";
            std::error_code ec;
            if (std::filesystem::is_regular_file(file, ec))
                return file;
        }
    }
    return {};
}

}  // namespace

void postMemoryWarning() {
    NotificationCenter::defaultCenter().post(
        Notification{ApplicationDidReceiveMemoryWarningNotification, nullptr, {}});
}

MemoryPressureWatch::Sources MemoryPressureWatch::Sources::system() {
    return Sources{"/proc/pressure/memory", cgroupEventsFile()};
}

std::unique_ptr<MemoryPressureWatch> MemoryPressureWatch::start(Sources sources,
                                                                std::function<void()> onPressure) {
    std::unique_ptr<MemoryPressureWatch> watch(new MemoryPressureWatch());
    watch->onPressure_ =
        onPressure ? std::move(onPressure) : std::function<void()>(postMemoryWarning);
    if (!sources.pressureStall.empty())
        watch->pressure_ = stallTrigger(sources.pressureStall);
    if (!sources.cgroupEvents.empty()) {
        FileDescriptor fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (fd && ::inotify_add_watch(fd.get(), sources.cgroupEvents.c_str(), IN_MODIFY) >= 0) {
            watch->events_ = std::move(fd);
            watch->eventsFile_ = sources.cgroupEvents;
            watch->eventCount_ = pressureEventCount(sources.cgroupEvents).value_or(0);
        } else {
            reportDiagnostic(DiagnosticLevel::Info, "MemoryPressure: cannot watch " +
                                                        sources.cgroupEvents.string() + ": " +
                                                        std::strerror(errno));
        }
    }
    if (!watch->pressure_ && !watch->events_)
        return nullptr;
    watch->wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!watch->wake_)
        return nullptr;
    watch->thread_ = std::thread([raw = watch.get()] { raw->run(); });
    return watch;
}

MemoryPressureWatch::~MemoryPressureWatch() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof one);
        thread_.join();
    }
}

bool MemoryPressureWatch::eventsRose() {
    char buffer[4096];
    while (::read(events_.get(), buffer, sizeof buffer) > 0) {
    }
    auto count = pressureEventCount(eventsFile_);
    if (!count)
        return false;
    bool rose = *count > eventCount_;
    eventCount_ = *count;
    return rose;
}

void MemoryPressureWatch::run() {
    pollfd fds[3] = {{wake_.get(), POLLIN, 0},
                     {pressure_.valid() ? pressure_.get() : -1, POLLPRI, 0},
                     {events_.valid() ? events_.get() : -1, POLLIN, 0}};
    for (;;) {
        // Waits for the kernel, or for the destructor's wake-up: there is nothing else to do.
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            reportDiagnostic(DiagnosticLevel::Error,
                             std::string("MemoryPressure: poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents)
            return;
        bool pressed = false;
        if (fds[1].revents & (POLLERR | POLLNVAL)) {
            fds[1].fd = -1;  // the trigger went away with its file
        } else if (fds[1].revents & POLLPRI) {
            pressed = true;
        }
        if (fds[2].revents & POLLIN)
            pressed = eventsRose() || pressed;
        if (pressed)
            onPressure_();
    }
}

void watchMemoryPressure(std::optional<MemoryPressureWatch::Sources> sources) {
    static std::once_flag once;
    std::call_once(once, [&sources] {
        // Kept for the process: its thread may still be in poll() while the process exits.
        (void)MemoryPressureWatch::start(sources ? std::move(*sources)
                                                 : MemoryPressureWatch::Sources::system())
            .release();
    });
}

}  // namespace quarra
