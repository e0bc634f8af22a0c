#pragma once
// One prepared statement, shared by a connection's statement cache and the result set stepping it.
// Belongs to its connection's thread, like the connection.
#include <cstdint>
#include <memory>
#include <string>

#include "quarra/SQValue.h"

struct sqlite3_stmt;

namespace quarra {

class SQStatement {
  public:
    // `handleAlive` expires when the connection's engine handle closes: from then on the engine has
    // finalized the statement itself and this object must not touch it.
    SQStatement(sqlite3_stmt* statement, std::weak_ptr<void> handleAlive);
    ~SQStatement();
    SQStatement(const SQStatement&) = delete;
    SQStatement& operator=(const SQStatement&) = delete;

    // Finalizes the statement (once); it is null afterwards.
    void close();
    // Rewinds the statement for another run; clears the in-use flag.
    void reset();

    // Null after `close` or once the connection's handle has gone.
    sqlite3_stmt* statement() const;
    void setStatement(sqlite3_stmt* statement) { statement_ = statement; }
    const std::string& query() const { return query_; }
    void setQuery(std::string query) { query_ = std::move(query); }
    std::int64_t useCount() const { return useCount_; }
    void setUseCount(std::int64_t count) { useCount_ = count; }
    bool inUse() const { return inUse_; }
    void setInUse(bool inUse) { inUse_ = inUse; }

    // Text and blob parameters are bound without a copy; their values live here until the next
    // bind.
    void keepBoundValues(SQArguments values) { boundValues_ = std::move(values); }

    std::string description() const;

  private:
    sqlite3_stmt* statement_;
    std::weak_ptr<void> handleAlive_;
    std::string query_;
    std::int64_t useCount_ = 0;
    bool inUse_ = false;
    SQArguments boundValues_;
};

}  // namespace quarra
