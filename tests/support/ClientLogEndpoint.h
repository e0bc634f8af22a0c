#pragma once
// The server's "client/log" on a Quarra of a test service: records every batch of log records it
// receives and answers with the replies a test queues (success once the queue is empty).
#include <cstdint>
#include <deque>
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
    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    std::vector<Json> batches_;
    std::vector<Json> accepted_;
};

}  // namespace quarra::test
