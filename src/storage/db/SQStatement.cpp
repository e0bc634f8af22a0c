#include "storage/db/SQStatement.h"

#include <sqlcipher/sqlite3.h>

#include <cstdio>

namespace quarra {

SQStatement::SQStatement(sqlite3_stmt* statement, std::weak_ptr<void> handleAlive)
    : statement_(statement), handleAlive_(std::move(handleAlive)) {}

SQStatement::~SQStatement() {
    close();
}

sqlite3_stmt* SQStatement::statement() const {
    return handleAlive_.expired() ? nullptr : statement_;
}

void SQStatement::close() {
    if (sqlite3_stmt* stmt = statement()) {
        sqlite3_finalize(stmt);
    }
    statement_ = nullptr;
    inUse_ = false;
}

void SQStatement::reset() {
    if (sqlite3_stmt* stmt = statement()) {
        sqlite3_reset(stmt);
    }
    inUse_ = false;
}

std::string SQStatement::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<SQStatement: ") + address + "> " + std::to_string(useCount_) +
           " hit(s) for query " + query_;
}

}  // namespace quarra
