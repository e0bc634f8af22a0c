#include "quarra/HTProgressViewTaskProgress.h"

#include <atomic>
#include <utility>
#include <vector>

#include "quarra/Dispatch.h"

namespace quarra {
namespace {

const char stateKey = 0;

// What a progress view keeps of the tasks it follows.
struct ProgressViewState {
    bool uploadAnimated = false;
    bool downloadAnimated = false;
    // Observations still registered on tasks; ended with the view.
    std::vector<std::pair<std::weak_ptr<URLSessionTask>, std::uint64_t>> observations;

    ~ProgressViewState() {
        for (auto& [weak, token] : observations) {
            if (auto task = weak.lock())
                task->removeChangeObserver(token);
        }
    }
};

const ProgressViewState* findState(const ui::ProgressView& view) {
    return view.associatedObject<ProgressViewState>(&stateKey).get();
}

ProgressViewState& stateOf(ui::ProgressView& view) {
    return view.associatedObjectOrMake<ProgressViewState>(&stateKey);
}

void follow(const std::shared_ptr<ui::ProgressView>& view, const URLSessionTaskPtr& task,
            bool upload, bool animated) {
    if (!task || task->state() == URLSessionTaskState::Completed)
        return;
    ProgressViewState& state = stateOf(*view);
    (upload ? state.uploadAnimated : state.downloadAnimated) = animated;
    // Observations of tasks that have ended are gone already.
    std::erase_if(state.observations, [](const auto& entry) {
        auto task = entry.first.lock();
        return !task || task->state() == URLSessionTaskState::Completed;
    });

    std::weak_ptr<ui::ProgressView> weakView = view;
    auto token = std::make_shared<std::atomic<std::uint64_t>>(0);
    const auto bytesPath = upload ? URLSessionTask::KeyPath::CountOfBytesSent
                                  : URLSessionTask::KeyPath::CountOfBytesReceived;
    auto observer = [weakView, token, bytesPath, upload](URLSessionTask& task,
                                                         URLSessionTask::KeyPath keyPath) {
        if (keyPath == URLSessionTask::KeyPath::State) {
            if (task.state() == URLSessionTaskState::Completed)
                task.removeChangeObserver(token->load());
            return;
        }
        if (keyPath != bytesPath)
            return;
        std::int64_t done = upload ? task.countOfBytesSent() : task.countOfBytesReceived();
        std::int64_t expected =
            upload ? task.countOfBytesExpectedToSend() : task.countOfBytesExpectedToReceive();
        if (expected <= 0)
            return;
        float progress = static_cast<float>(static_cast<double>(done) / expected);
        DispatchQueue::main()->async([weakView, progress, upload] {
            auto view = weakView.lock();
            if (!view)
                return;
            const ProgressViewState* state = findState(*view);
            bool animated = state && (upload ? state->uploadAnimated : state->downloadAnimated);
            view->setProgress(progress, animated);
        });
    };
    token->store(task->addChangeObserver(std::move(observer)));
    state.observations.emplace_back(task, token->load());
    // Completed between the check above and the registration: the observer never hears it.
    if (task->state() == URLSessionTaskState::Completed)
        task->removeChangeObserver(token->load());
}

}  // namespace

void setProgressWithUploadProgressOfTask(const std::shared_ptr<ui::ProgressView>& view,
                                         const URLSessionTaskPtr& task, bool animated) {
    follow(view, task, true, animated);
}

void setProgressWithDownloadProgressOfTask(const std::shared_ptr<ui::ProgressView>& view,
                                           const URLSessionTaskPtr& task, bool animated) {
    follow(view, task, false, animated);
}

bool ht_uploadProgressAnimated(const ui::ProgressView& view) {
    const ProgressViewState* state = findState(view);
    return state && state->uploadAnimated;
}

void ht_setUploadProgressAnimated(ui::ProgressView& view, bool animated) {
    stateOf(view).uploadAnimated = animated;
}

bool ht_downloadProgressAnimated(const ui::ProgressView& view) {
    const ProgressViewState* state = findState(view);
    return state && state->downloadAnimated;
}

void ht_setDownloadProgressAnimated(ui::ProgressView& view, bool animated) {
    stateOf(view).downloadAnimated = animated;
}

}  // namespace quarra
