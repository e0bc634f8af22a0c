#pragma once
// The server's "client/log" on a Quarra of a test service: records every batch of log records it
// receives and answers with the replies a test queues (success once the queue is empty).
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "quarra/Json.h"
#include "support/QuarraTestService.h"

namespace quarra::test {

class ClientLogEndpoint {
  public:
    ClientLogEndpoint(QuarraTestService& service, std::uint64_t quarraId);

    // The next batches get these replies, in order.
    void queueReplies(std::vector<Reply> replies);
    // The payload-limit failure of the server.
    static Reply payloadTooLarge();

    // Each batch as received (a JSON array), also those answered with a failure.
    std::vector<Json> batches() const;
    // The records of the batches answered with success, in order.
    std::vector<Json> acceptedRecords() const;
    std::size_t batchCount() const;

  private:
    // Shared with the service's reply, so an upload still in flight when a test ends finds it.
    struct State {
        std::mutex mutex;
        std::deque<Reply> replies;
        std::vector<Json> batches;
        std::vector<Json> accepted;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quarra::test
