#include "quarra/ui/Sounds.h"

#include <mutex>

namespace quarra::ui {
namespace {

struct Record {
    std::mutex mutex;
    std::vector<unsigned> played;
    std::function<void(unsigned)> observer;
};

Record& record() {
    static Record* instance = new Record();
    return *instance;
}

}  // namespace

void Sounds::playSystemSound(unsigned soundId) {
    std::function<void(unsigned)> observer;
    {
        std::lock_guard lock(record().mutex);
        record().played.push_back(soundId);
        observer = record().observer;
    }
    if (observer)
        observer(soundId);
}

std::vector<unsigned> Sounds::played() {
    std::lock_guard lock(record().mutex);
    return record().played;
}

void Sounds::clear() {
    std::lock_guard lock(record().mutex);
    record().played.clear();
}

void Sounds::setObserver(std::function<void(unsigned)> observer) {
    std::lock_guard lock(record().mutex);
    record().observer = std::move(observer);
}

}  // namespace quarra::ui
