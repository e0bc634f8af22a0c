#include "support/ClientLogEndpoint.h"

namespace quarra::test {

ClientLogEndpoint::ClientLogEndpoint(QuarraTestService& service, std::uint64_t quarraId) {
    service.addEndpoint(quarraId, "client/log",
                        [this](const RecordedRequest& request, const QuarraTestService::User&) {
                            Json batch = Json::parse(request.body, nullptr, false);
                            std::lock_guard lock(mutex_);
                            batches_.push_back(batch);
                            if (!replies_.empty()) {
                                Reply reply = std::move(replies_.front());
                                replies_.pop_front();
                                return reply;
                            }
                            if (batch.is_array()) {
                                for (const Json& record : batch)
                                    accepted_.push_back(record);
                            }
                            return QuarraTestService::success();
                        });
}

void ClientLogEndpoint::queueReplies(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    for (auto& reply : replies)
        replies_.push_back(std::move(reply));
}

Reply ClientLogEndpoint::payloadTooLarge() {
    return QuarraTestService::failure("OPERATION_NOT_ALLOWED", "payload length exceeds 2MB limit");
}

std::vector<Json> ClientLogEndpoint::batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
}

std::vector<Json> ClientLogEndpoint::acceptedRecords() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t ClientLogEndpoint::batchCount() const {
    std::lock_guard lock(mutex_);
    return batches_.size();
}

}  // namespace quarra::test
