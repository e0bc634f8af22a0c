#pragma once
// A statement that runs until it is interrupted, and a signal that it is running: an interrupt that
// comes before a statement starts does nothing, so a test interrupts only once it has the signal.
#include <future>
#include <mutex>

#include "storage/db/SQDatabase.h"

namespace quarra::test {

class EndlessStatement {
  public:
    static constexpr const char* kSQL =
        "with recursive c(x) as (select 1 union all select running(x) + 1 from c) "
        "select count(*) from c where x < 0";

    // Registers the statement's signal on `db`, the handle that will run it.
    void registerOn(SQDatabase* db) {
        db->makeFunctionNamed("running", 1,
                              [this](sqlite3_context* context, int, sqlite3_value** argv) {
                                  std::call_once(once_, [this] { running_.set_value(); });
                                  SQDatabase::resultLong(SQDatabase::valueLong(argv[0]), context);
                              });
    }
    // Blocks until the statement runs.
    void waitUntilRunning() { future_.wait(); }

  private:
    std::promise<void> running_;
    std::future<void> future_ = running_.get_future();
    std::once_flag once_;
};

}  // namespace quarra::test
