#include "support/ClientLogEndpoint.h"

namespace quarra::test {

ClientLogEndpoint::ClientLogEndpoint(QuarraTestService& service, std::uint64_t quarraId) {
    service.addEndpoint(quarraId, "client/log",
                        [state = state_](const RecordedRequest& request,
                                         const QuarraTestService::User&) {
                            Json batch = Json::parse(request.body, nullptr, false);
                            std::lock_guard lock(state->mutex);
                            state->batches.push_back(batch);
                            if (!state->replies.empty()) {
                                Reply reply = std::move(state->replies.front());
                                state->replies.pop_front();
                                return reply;
                            }
                            if (batch.is_array()) {
                                for (const Json& record : batch)
                                    state->accepted.push_back(record);
                            }
                            return QuarraTestService::success();
                        });
}

void ClientLogEndpoint::queueReplies(std::vector<Reply> replies) {
    std::lock_guard lock(state_->mutex);
    for (auto& reply : replies)
        state_->replies.push_back(std::move(reply));
}

Reply ClientLogEndpoint::payloadTooLarge() {
    return QuarraTestService::failure("OPERATION_NOT_ALLOWED", "payload length exceeds 2MB limit");
}

std::vector<Json> ClientLogEndpoint::batches() const {
    std::lock_guard lock(state_->mutex);
    return state_->batches;
}

std::vector<Json> ClientLogEndpoint::acceptedRecords() const {
    std::lock_guard lock(state_->mutex);
    return state_->accepted;
}

std::size_t ClientLogEndpoint::batchCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->batches.size();
}

}  // namespace quarra::test
