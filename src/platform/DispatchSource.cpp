#include "platform/DispatchSource.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Files.h"

namespace quarra {

// One inotify descriptor for the process, read by one thread that hands events to the sources.
// Watches of the same file share the kernel's watch descriptor.
class FileWatcher {
  public:
    static FileWatcher& shared() {
        static auto* watcher = new FileWatcher();
        return *watcher;
    }

    // The watch descriptor that now reports to `source`.
    Result<int> add(const std::filesystem::path& path, unsigned long mask,
                    const std::shared_ptr<DispatchSource>& source) {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) {
            fd_ = inotify_init1(IN_CLOEXEC);
            if (fd_ < 0)
                return posixError(errno, "inotify_init1");
            std::thread([this, fd = fd_] { loop(fd); }).detach();
        }
        uint32_t events = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_MASK_ADD;
        if (mask & DispatchVnodeWrite)
            events |= IN_MODIFY;
        int wd = inotify_add_watch(fd_, path.c_str(), events);
        if (wd < 0)
            return posixError(errno, "inotify_add_watch " + path.string());
        watches_[wd].push_back(source);
        return wd;
    }

    void remove(int wd, const DispatchSource* source) {
        std::lock_guard lock(mutex_);
        auto it = watches_.find(wd);
        if (it == watches_.end())
            return;
        auto& list = it->second;
        for (auto s = list.begin(); s != list.end();) {
            auto locked = s->lock();
            s = (!locked || locked.get() == source) ? list.erase(s) : s + 1;
        }
        if (list.empty()) {
            inotify_rm_watch(fd_, wd);
            watches_.erase(it);
        }
    }

  private:
    void loop(int fd) {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                return;
            }
            for (char* p = buffer; p < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(p);
                dispatch(*event);
                p += sizeof(inotify_event) + event->len;
            }
        }
    }

    void dispatch(const inotify_event& event) {
        std::vector<std::shared_ptr<DispatchSource>> sources;
        {
            std::lock_guard lock(mutex_);
            auto it = watches_.find(event.wd);
            if (it == watches_.end())
                return;
            for (const auto& weak : it->second) {
                if (auto source = weak.lock())
                    sources.push_back(std::move(source));
            }
            if (event.mask & IN_IGNORED)
                watches_.erase(it);
        }
        for (const auto& source : sources) {
            unsigned long bits = 0;
            if (event.mask & IN_DELETE_SELF)
                bits |= DispatchVnodeDelete;
            if (event.mask & IN_MOVE_SELF)
                bits |= DispatchVnodeRename;
            if (event.mask & IN_MODIFY)
                bits |= DispatchVnodeWrite;
            if (event.mask & IN_ATTRIB) {
                // Unlinking an open file only changes its link count: the file is gone by name.
                std::lock_guard lock(source->mutex_);
                struct stat st;
                if (!source->cancelled_ && fstat(source->fd_, &st) == 0 && st.st_nlink == 0)
                    bits |= DispatchVnodeDelete;
            }
            if (bits)
                source->signal(bits, 0);
        }
    }

    std::mutex mutex_;
    int fd_ = -1;
    std::map<int, std::vector<std::weak_ptr<DispatchSource>>> watches_;
};

DispatchSource::DispatchSource(Kind kind, DispatchQueuePtr queue)
    : kind_(kind), queue_(std::move(queue)) {}

DispatchSource::~DispatchSource() {
    if (watch_ >= 0)
        FileWatcher::shared().remove(watch_, this);
}

std::shared_ptr<DispatchSource> DispatchSource::timer(DispatchQueuePtr queue) {
    return std::shared_ptr<DispatchSource>(new DispatchSource(Kind::Timer, std::move(queue)));
}

Result<std::shared_ptr<DispatchSource>> DispatchSource::fileWatch(int fd,
                                                                  const std::filesystem::path& path,
                                                                  unsigned long mask,
                                                                  DispatchQueuePtr queue) {
    struct stat byPath, byFd;
    if (fstat(fd, &byFd) != 0 || ::stat(path.c_str(), &byPath) != 0 ||
        byPath.st_ino != byFd.st_ino || byPath.st_dev != byFd.st_dev) {
        return posixError(errno ? errno : ENOENT, "watch " + path.string());
    }
    std::shared_ptr<DispatchSource> source(new DispatchSource(Kind::FileWatch, std::move(queue)));
    source->fd_ = fd;
    // Only the events asked for reach the handler.
    source->mask_ = mask;
    auto watch = FileWatcher::shared().add(path, mask, source);
    if (!watch)
        return watch.error();
    std::lock_guard lock(source->mutex_);
    source->watch_ = *watch;
    return source;
}

void DispatchSource::setEventHandler(Block handler) {
    std::lock_guard lock(mutex_);
    eventHandler_ = std::move(handler);
}

void DispatchSource::setCancelHandler(Block handler) {
    std::lock_guard lock(mutex_);
    cancelHandler_ = std::move(handler);
}

void DispatchSource::setTimer(Clock::duration delay, std::optional<Clock::duration> interval,
                              Clock::duration) {
    std::lock_guard lock(mutex_);
    if (cancelled_ || kind_ != Kind::Timer)
        return;
    ++generation_;
    due_ = Clock::now() + delay;
    interval_ = interval;
    if (interval_ && *interval_ <= Clock::duration::zero())
        interval_ = std::chrono::milliseconds(1);
    armTimerLocked();
}

void DispatchSource::armTimerLocked() {
    std::weak_ptr<DispatchSource> weak = weak_from_this();
    auto generation = generation_;
    auto delay = std::max(Clock::duration::zero(), *due_ - Clock::now());
    // The firing is checked against the generation, so a replaced or cancelled setting is ignored.
    queue_->after(delay, [weak, generation] {
        if (auto self = weak.lock())
            self->signal(1, generation);
    });
}

void DispatchSource::signal(unsigned long bits, std::uint64_t generation) {
    std::unique_lock lock(mutex_);
    if (cancelled_)
        return;
    if (kind_ == Kind::Timer) {
        if (generation != generation_ || !due_)
            return;
        if (interval_) {
            auto now = Clock::now();
            do {
                *due_ += *interval_;
            } while (*due_ <= now);
            armTimerLocked();
        } else {
            due_.reset();
        }
        pending_ += bits;
    } else {
        bits &= mask_;
        if (!bits)
            return;
        pending_ |= bits;
    }
    deliverLocked(lock);
}

void DispatchSource::deliverLocked(std::unique_lock<std::mutex>&) {
    if (suspendCount_ > 0 || pending_ == 0 || cancelled_)
        return;
    unsigned long bits = pending_;
    pending_ = 0;
    queue_->async([self = shared_from_this(), bits] {
        Block handler;
        {
            std::lock_guard lock(self->mutex_);
            if (self->cancelled_)
                return;
            self->delivered_ = bits;
            handler = self->eventHandler_;
        }
        if (handler)
            handler();
    });
}

void DispatchSource::resume() {
    std::unique_lock lock(mutex_);
    if (suspendCount_ == 0)
        throw std::logic_error("DispatchSource resumed more often than suspended");
    if (--suspendCount_ == 0)
        deliverLocked(lock);
}

void DispatchSource::suspend() {
    std::lock_guard lock(mutex_);
    ++suspendCount_;
}

void DispatchSource::cancel() {
    Block cancelHandler;
    int watch;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.exchange(true))
            return;
        ++generation_;
        cancelHandler = std::move(cancelHandler_);
        eventHandler_ = nullptr;
        watch = std::exchange(watch_, -1);
    }
    if (watch >= 0)
        FileWatcher::shared().remove(watch, this);
    if (cancelHandler)
        queue_->async(std::move(cancelHandler));
}

unsigned long DispatchSource::data() const {
    std::lock_guard lock(mutex_);
    return delivered_;
}

}  // namespace quarra
