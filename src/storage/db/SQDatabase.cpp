#include "storage/db/SQDatabase.h"

#include <fcntl.h>
#include <sqlcipher/sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <stdexcept>

#include "storage/db/SQSupport.h"

namespace quarra {
namespace {

std::string format(const char* pattern, auto... values) {
    int size = std::snprintf(nullptr, 0, pattern, values...);
    std::string text(static_cast<size_t>(size), '\0');
    std::snprintf(text.data(), text.size() + 1, pattern, values...);
    return text;
}

std::string addressOf(const void* object) {
    return format("%p", object);
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Bytes of an empty blob: a non-null pointer, so the engine stores a zero-length blob and not NULL.
const char kEmpty[] = "";

}  // namespace

// Marks the connection busy for the length of an engine call, so that re-entry from an SQL
// function's block on the same connection is refused instead of nesting a statement.
struct SQDatabase::Guard {
    explicit Guard(SQDatabase& db) : db(db) { db.isExecutingStatement_ = true; }
    ~Guard() { db.isExecutingStatement_ = false; }
    SQDatabase& db;
};

std::string SQDBUserVersion() {
    return "2.7.4";
}

std::uint32_t SQDBVersion() {
    static const std::uint32_t version = [] {
        std::string text = SQDBUserVersion();
        size_t dots = 0;
        for (char c : text)
            dots += c == '.';
        if (dots < 2)
            text += ".0";
        std::string digits;
        for (char c : text) {
            if (c != '.')
                digits += c;
        }
        return static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
    }();
    return version;
}

SQDatabase::SQDatabase(Path path) : databasePath_(std::move(path)) {
    // A build fault, not a run-time condition: connections move between threads.
    if (!sqlite3_threadsafe()) {
        throw std::logic_error("sqlite3_threadsafe()");
    }
}

std::shared_ptr<SQDatabase> SQDatabase::databaseWithPath(Path path) {
    return std::shared_ptr<SQDatabase>(new SQDatabase(std::move(path)));
}

std::shared_ptr<SQDatabase> SQDatabase::databaseWithURL(const std::optional<Url>& url) {
    if (!url || url->empty()) {
        return databaseWithPath(std::nullopt);
    }
    return databaseWithPath(url->filePath().string());
}

SQDatabase::~SQDatabase() {
    close();
}

std::string SQDatabase::sqliteLibVersion() {
    return sqlite3_libversion();
}

bool SQDatabase::isSQLiteThreadSafe() {
    return sqlite3_threadsafe() != 0;
}

std::optional<Url> SQDatabase::databaseURL() const {
    if (!databasePath_) {
        return std::nullopt;
    }
    return Url::fileUrl(*databasePath_);
}

std::string SQDatabase::sqlitePath() const {
    return databasePath_ ? *databasePath_ : ":memory:";
}

std::string SQDatabase::description() const {
    return "<SQDatabase: " + addressOf(this) + ">";
}

// ---- Opening and closing

bool SQDatabase::open() {
    return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

namespace {

// A database file is its user's alone, and so are its journals: the engine gives a journal the
// mode of its database file. Made 0600 before the engine would create it under the process's
// umask; a file left readable by others is narrowed. A failure is the engine's to report when it
// opens the file.
void makeDatabaseFilePrivate(const std::string& path, int flags) {
    if (path.empty() || path == ":memory:" || path.rfind("file:", 0) == 0) {
        return;
    }
    const int create = (flags & SQLITE_OPEN_CREATE) ? O_CREAT : 0;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | create, 0600);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0 &&
        info.st_uid == ::geteuid()) {
        (void)::fchmod(fd, info.st_mode & 0700);
    }
    ::close(fd);
}

}  // namespace

bool SQDatabase::openWithFlags(int flags, const char* vfsName) {
    if (isOpen_) {
        return true;
    }
    if (db_) {
        close();
    }
    if (!(flags & SQLITE_OPEN_READONLY)) {
        makeDatabaseFilePrivate(sqlitePath(), flags);
    }
    sqlite3* handle = nullptr;
    int result = sqlite3_open_v2(sqlitePath().c_str(), &handle, flags, vfsName);
    {
        std::lock_guard lock(handleMutex_);
        db_ = handle;
        handleAlive_ = std::make_shared<int>(0);
    }
    if (result != SQLITE_OK) {
        sqdb::log(format("error opening!: %d", result));
        return false;
    }
    if (maxBusyRetryTimeInterval_ > 0) {
        setMaxBusyRetryTimeInterval(maxBusyRetryTimeInterval_);
    }
    isOpen_ = true;
    return true;
}

bool SQDatabase::close() {
    clearCachedStatements();
    closeOpenResultSets();
    if (!db_) {
        return true;
    }
    // interrupt() from another thread must not reach a handle being released.
    std::lock_guard lock(handleMutex_);
    int result = sqlite3_close(db_);
    if (result == SQLITE_BUSY || result == SQLITE_LOCKED) {
        bool finalized = false;
        while (sqlite3_stmt* leaked = sqlite3_next_stmt(db_, nullptr)) {
            sqdb::log("Closing leaked statement");
            sqlite3_finalize(leaked);
            finalized = true;
        }
        if (finalized) {
            result = sqlite3_close(db_);
        }
    }
    if (result != SQLITE_OK) {
        sqdb::log(format("error closing!: %d", result));
        // Whatever still holds the handle (a backup, say), the engine releases it when that ends.
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    handleAlive_.reset();
    isOpen_ = false;
    return true;
}

bool SQDatabase::goodConnection() {
    if (!isOpen_) {
        return false;
    }
    auto resultSet = executeQuery("select name from sqlite_master where type='table'");
    if (!resultSet) {
        return false;
    }
    resultSet->close();
    return true;
}

bool SQDatabase::databaseExists() {
    if (!isOpen_) {
        sqdb::log("The SQDatabase " + description() + " is not open.");
        return false;
    }
    return true;
}

bool SQDatabase::interrupt() {
    std::lock_guard lock(handleMutex_);
    if (!db_) {
        return false;
    }
    sqlite3_interrupt(db_);
    return true;
}

// ---- Keying

bool SQDatabase::setKey(const std::optional<std::string>& key) {
    return key && setKeyWithData(toBytes(*key));
}

bool SQDatabase::setKeyWithData(const std::optional<Bytes>& key) {
    if (!key) {
        return false;
    }
    return sqlite3_key(db_, key->data(), static_cast<int>(key->size())) == SQLITE_OK;
}

bool SQDatabase::rekey(const std::optional<std::string>& key) {
    return key && rekeyWithData(toBytes(*key));
}

bool SQDatabase::rekeyWithData(const std::optional<Bytes>& key) {
    if (!key) {
        return false;
    }
    int result = sqlite3_rekey(db_, key->data(), static_cast<int>(key->size()));
    if (result != SQLITE_OK) {
        sqdb::log(format("error on rekey: %d", result));
        sqdb::log(lastErrorMessage());
        return false;
    }
    return true;
}

// ---- Busy waiting

void SQDatabase::setMaxBusyRetryTimeInterval(double seconds) {
    maxBusyRetryTimeInterval_ = seconds;
    if (!db_) {
        return;
    }
    if (seconds > 0) {
        sqlite3_busy_handler(db_, &SQDatabase::busyHandler, this);
    } else {
        sqlite3_busy_handler(db_, nullptr, nullptr);
    }
}

int SQDatabase::busyRetryTimeout() {
    sqdb::log(format("%s:%d", __func__, __LINE__));
    sqdb::log("SQDB: busyRetryTimeout no longer works, please use maxBusyRetryTimeInterval");
    return -1;
}

void SQDatabase::setBusyRetryTimeout(int) {
    sqdb::log(format("%s:%d", __func__, __LINE__));
    sqdb::log("SQDB: setBusyRetryTimeout does nothing, please use setMaxBusyRetryTimeInterval:");
}

int SQDatabase::busyHandler(void* context, int count) {
    auto* self = static_cast<SQDatabase*>(context);
    if (count == 0) {
        self->startBusyRetryTime_ = now();
        return 1;
    }
    if (now() - self->startBusyRetryTime_ >= self->maxBusyRetryTimeInterval_) {
        return 0;
    }
    thread_local std::minstd_rand random{std::random_device{}()};
    int requested = 50 + static_cast<int>(random() % 50);
    int actual = sqlite3_sleep(requested);
    if (actual != requested) {
        sqdb::log(
            format("WARNING: Requested sleep of %i milliseconds, but SQLite returned %i. Maybe "
                   "SQLite wasn't built with HAVE_USLEEP=1?",
                   requested, actual));
    }
    return 1;
}

// ---- Errors

std::string SQDatabase::lastErrorMessage() const {
    return sqlite3_errmsg(db_);
}

int SQDatabase::lastErrorCode() const {
    return sqlite3_errcode(db_);
}

int SQDatabase::lastExtendedErrorCode() const {
    return sqlite3_extended_errcode(db_);
}

bool SQDatabase::hadError() const {
    int code = lastErrorCode();
    return code > SQLITE_OK && code < SQLITE_ROW;
}

ErrorPtr SQDatabase::errorWithMessage(std::string_view message) const {
    return Error::make(SQDatabaseErrorDomain, lastErrorCode(), message);
}

ErrorPtr SQDatabase::lastError() const {
    return errorWithMessage(lastErrorMessage());
}

void SQDatabase::warnInUse() const {
    sqdb::log("The SQDatabase " + description() + " is currently in use.");
}

void SQDatabase::logError(std::string_view sql) const {
    if (!logsErrors_) {
        return;
    }
    sqdb::log(format("DB Error: %d \"%s\"", lastErrorCode(), lastErrorMessage().c_str()));
    sqdb::log("DB Query: " + std::string(sql));
    sqdb::log("DB Path: " + (databasePath_ ? *databasePath_ : std::string("(null)")));
}

// ---- Running statements

ErrorPtr SQDatabase::canRunStatement() {
    if (!databaseExists()) {
        // The engine has no code for this: without a handle it would report a misuse anyway.
        return Error::make(SQDatabaseErrorDomain, SQLITE_MISUSE,
                           "The SQDatabase " + description() + " is not open.");
    }
    if (isExecutingStatement_) {
        warnInUse();
        return Error::make(SQDatabaseErrorDomain, SQLITE_MISUSE,
                           "The SQDatabase " + description() + " is currently in use.");
    }
    return nullptr;
}

Result<sqlite3_stmt*> SQDatabase::prepare(std::string_view sql, const SQArguments& arguments,
                                          const SQDictionary* parameters,
                                          std::shared_ptr<SQStatement>& cached, bool forQuery) {
    auto compiled = compile(sql, cached, forQuery);
    if (!compiled) {
        return compiled;
    }
    sqlite3_stmt* stmt = *compiled;
    BindCounts counts = bind(stmt, arguments, parameters, forQuery);
    if (counts.bound == counts.parameters) {
        return stmt;
    }
    ErrorPtr error;
    if (forQuery) {
        std::string message =
            "Error: the bind count is not correct for the # of variables (executeQuery)";
        sqdb::log(message);
        error = errorWithMessage(message);
    } else {
        std::string message = format(
            "Error: the bind count (%d) is not correct for the # of variables in the query (%d) "
            "(%s) "
            "(executeUpdate)",
            counts.bound, counts.parameters, std::string(sql).c_str());
        if (logsErrors_) {
            sqdb::log(message);
        }
        error = errorWithMessage(message);
    }
    // A cached statement stays cached for the next caller; a new one goes.
    if (cached) {
        sqlite3_reset(stmt);
        cached->setInUse(false);
    } else {
        sqlite3_finalize(stmt);
    }
    return error;
}

Result<sqlite3_stmt*> SQDatabase::compile(std::string_view sql,
                                          std::shared_ptr<SQStatement>& cached, bool forQuery) {
    if (traceExecution_) {
        sqdb::log(description() + (forQuery ? " executeQuery: " : " executeUpdate: ") +
                  std::string(sql));
    }
    if (shouldCacheStatements_) {
        cached = cachedStatementForQuery(sql);
        if (cached) {
            cached->reset();
            return cached->statement();
        }
    }
    sqlite3_stmt* stmt = nullptr;
    // Only the first statement of the text is compiled.
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) !=
        SQLITE_OK) {
        logError(sql);
        ErrorPtr error = lastError();
        sqlite3_finalize(stmt);
        if (crashOnErrors_) {
            throw std::logic_error("DB Error: " + lastErrorMessage() + " in " + std::string(sql));
        }
        return error;
    }
    return stmt;
}

void SQDatabase::bindValue(const SQValue& value, int index, sqlite3_stmt* stmt, bool copy) {
    // A cursor steps after the call that bound it returned: what it reads must outlive the
    // caller's values unless the statement keeps them itself.
    auto* lifetime = copy ? SQLITE_TRANSIENT : SQLITE_STATIC;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, SQNull>) {
                sqlite3_bind_null(stmt, index);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                sqlite3_bind_int64(stmt, index, v);
            } else if constexpr (std::is_same_v<T, double>) {
                sqlite3_bind_double(stmt, index, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                sqlite3_bind_text(stmt, index, v.data(), static_cast<int>(v.size()), lifetime);
            } else if constexpr (std::is_same_v<T, Bytes>) {
                const void* bytes = v.empty() ? static_cast<const void*>(kEmpty) : v.data();
                sqlite3_bind_blob(stmt, index, bytes, static_cast<int>(v.size()), lifetime);
            } else if constexpr (std::is_same_v<T, SQDate>) {
                if (dateFormat_) {
                    std::string text = dateFormat_->stringFromDate(v);
                    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                                      SQLITE_TRANSIENT);
                } else {
                    sqlite3_bind_double(stmt, index, v.time_since_epoch().count());
                }
            }
        },
        value.storage());
}

// Binds, and answers how many parameters got a value and how many there are. A key without a
// parameter is only logged: the count mismatch is the failure the caller reports.
SQDatabase::BindCounts SQDatabase::bind(sqlite3_stmt* stmt, const SQArguments& arguments,
                                        const SQDictionary* parameters, bool forQuery) {
    const int parameterCount = sqlite3_bind_parameter_count(stmt);
    int bound = 0;
    if (parameters) {
        for (const auto& [key, value] : *parameters) {
            std::string name = ":" + key;
            if (traceExecution_) {
                sqdb::log(name + " = " + value.description());
            }
            int index = sqlite3_bind_parameter_index(stmt, name.c_str());
            if (index > 0) {
                bindValue(value, index, stmt, true);
                ++bound;
                continue;
            }
            if (logsErrors_ || forQuery) {
                sqdb::log("Could not find index for " + key);
            }
        }
        return {bound, parameterCount};
    }
    while (bound < parameterCount && bound < static_cast<int>(arguments.size())) {
        const SQValue& value = arguments[static_cast<size_t>(bound)];
        if (traceExecution_) {
            sqdb::log(value.blob() ? format("data: %ld bytes", long(value.blob()->size()))
                                   : "obj: " + value.description());
        }
        ++bound;
        bindValue(value, bound, stmt, false);
    }
    return {bound, parameterCount};
}

ErrorPtr SQDatabase::updateWorker(std::string_view sql, SQArguments arguments,
                                  const SQDictionary* parameters) {
    if (ErrorPtr refused = canRunStatement()) {
        return refused;
    }
    Guard guard(*this);
    std::shared_ptr<SQStatement> cached;
    auto prepared = prepare(sql, arguments, parameters, cached, false);
    if (!prepared) {
        return prepared.error();
    }
    sqlite3_stmt* stmt = *prepared;

    ErrorPtr error;
    int result = sqlite3_step(stmt);
    if (result == SQLITE_DONE) {
        // success
    } else if (result == SQLITE_INTERRUPT) {
        error = lastError();
        if (logsErrors_) {
            sqdb::log(format(
                "Error calling sqlite3_step. Query was interrupted (%d: %s) SQLITE_INTERRUPT",
                result, lastErrorMessage().c_str()));
            sqdb::log("DB Query: " + std::string(sql));
        }
    } else if (result == SQLITE_ROW) {
        std::string message =
            "A executeUpdate is being called with a query string '" + std::string(sql) + "'";
        if (logsErrors_) {
            sqdb::log(message);
            sqdb::log("DB Query: " + std::string(sql));
        }
        error = errorWithMessage(message);
    } else {
        error = lastError();
        if (logsErrors_) {
            const char* kind =
                result == SQLITE_ERROR    ? "Error calling sqlite3_step (%d: %s) SQLITE_ERROR"
                : result == SQLITE_MISUSE ? "Error calling sqlite3_step (%d: %s) SQLITE_MISUSE"
                                          : "Unknown error calling sqlite3_step (%d: %s) eu";
            sqdb::log(format(kind, result, lastErrorMessage().c_str()));
            sqdb::log("DB Query: " + std::string(sql));
        }
    }

    if (shouldCacheStatements_ && !cached) {
        cached = std::make_shared<SQStatement>(stmt, handleAlive_);
        setCachedStatement(cached, sql);
    }
    int closeResult;
    if (cached) {
        cached->setUseCount(cached->useCount() + 1);
        closeResult = sqlite3_reset(stmt);
        cached->setInUse(false);
    } else {
        closeResult = sqlite3_finalize(stmt);
    }
    if (closeResult != SQLITE_OK && logsErrors_) {
        sqdb::log(format("Unknown error finalizing or resetting statement (%d: %s)", closeResult,
                         lastErrorMessage().c_str()));
        sqdb::log("DB Query: " + std::string(sql));
    }
    return error;
}

std::shared_ptr<SQResultSet> SQDatabase::queryWorker(std::string_view sql, SQArguments arguments,
                                                     const SQDictionary* parameters) {
    if (canRunStatement()) {
        return nullptr;
    }
    Guard guard(*this);
    std::shared_ptr<SQStatement> cached;
    auto prepared = prepare(sql, arguments, parameters, cached, true);
    if (!prepared) {
        return nullptr;
    }
    sqlite3_stmt* stmt = *prepared;
    if (!cached) {
        cached = std::make_shared<SQStatement>(stmt, handleAlive_);
        if (shouldCacheStatements_) {
            setCachedStatement(cached, sql);
        }
    }
    // The cursor steps later, so the bound text and blob bytes stay with the statement (values
    // bound by name were copied by the engine).
    cached->keepBoundValues(std::move(arguments));
    auto resultSet = SQResultSet::resultSetWithStatement(cached, shared_from_this());
    resultSet->setQuery(std::string(sql));
    openResultSets_.insert(resultSet.get());
    cached->setUseCount(cached->useCount() + 1);
    return resultSet;
}

bool SQDatabase::executeUpdate(std::string_view sql, const SQArguments& arguments) {
    return !updateWorker(sql, arguments, nullptr);
}

ErrorPtr SQDatabase::executeUpdateValues(std::string_view sql, const SQArguments& values) {
    return updateWorker(sql, values, nullptr);
}

bool SQDatabase::executeUpdate(std::string_view sql, const SQDictionary& parameters) {
    return !updateWorker(sql, {}, &parameters);
}

std::shared_ptr<SQResultSet> SQDatabase::executeQuery(std::string_view sql,
                                                      const SQArguments& arguments) {
    return queryWorker(sql, arguments, nullptr);
}

Result<std::shared_ptr<SQResultSet>> SQDatabase::executeQueryValues(std::string_view sql,
                                                                     const SQArguments& values) {
    if (auto resultSet = queryWorker(sql, values, nullptr)) {
        return resultSet;
    }
    return lastError();
}

std::shared_ptr<SQResultSet> SQDatabase::executeQuery(std::string_view sql,
                                                      const SQDictionary& parameters) {
    return queryWorker(sql, {}, &parameters);
}

bool SQDatabase::executeStatements(const std::string& sql, const ResultBlock& block) {
    struct Context {
        const ResultBlock* block;
    } context{&block};
    auto callback = [](void* raw, int columns, char** values, char** names) -> int {
        auto* ctx = static_cast<Context*>(raw);
        if (!*ctx->block) {
            return SQLITE_OK;
        }
        SQDictionary row;
        for (int i = 0; i < columns; ++i) {
            row[names[i]] = values[i] ? SQValue(values[i]) : SQValue(SQNull{});
        }
        return (*ctx->block)(row);
    };
    char* errorMessage = nullptr;
    int result = sqlite3_exec(db_, sql.c_str(), callback, &context, &errorMessage);
    if (errorMessage) {
        if (logsErrors_) {
            sqdb::log(std::string("Error inserting batch: ") + errorMessage);
        }
        sqlite3_free(errorMessage);
    }
    return result == SQLITE_OK;
}

Result<std::int64_t> SQDatabase::lastInsertRowId() {
    if (ErrorPtr refused = canRunStatement()) {
        return refused;
    }
    return sqlite3_last_insert_rowid(db_);
}

Result<int> SQDatabase::changes() {
    if (ErrorPtr refused = canRunStatement()) {
        return refused;
    }
    return sqlite3_changes(db_);
}

// ---- Format path

std::pair<std::string, SQArguments> SQDatabase::extractSQL(std::string_view format,
                                                           SQArguments arguments) {
    std::string sql;
    SQArguments collected;
    size_t next = 0;
    auto take = [&]() -> const SQValue& {
        if (next >= arguments.size()) {
            throw std::invalid_argument("too few arguments for the SQL format");
        }
        return arguments[next++];
    };
    auto integer = [&]() -> std::int64_t {
        const SQValue& value = take();
        if (!value.integer()) {
            throw std::invalid_argument(
                "an integer conversion of the SQL format got another value");
        }
        return *value.integer();
    };
    auto real = [&]() -> double {
        const SQValue& value = take();
        if (value.real())
            return *value.real();
        if (value.integer())
            return static_cast<double>(*value.integer());
        throw std::invalid_argument(
            "a floating-point conversion of the SQL format got another value");
    };
    auto collect = [&](SQValue value) {
        sql += '?';
        collected.push_back(std::move(value));
    };
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%') {
            sql += c;
            continue;
        }
        if (++i >= format.size()) {
            break;
        }
        c = format[i];
        auto peek = [&](size_t ahead) {
            return i + ahead < format.size() ? format[i + ahead] : '\0';
        };
        switch (c) {
            case '@': {
                const SQValue& value = take();
                if (value.isNull()) {
                    sql += "NULL";
                } else {
                    collect(value);
                }
                break;
            }
            case 'c':
                collect(std::string(1, static_cast<char>(integer())));
                break;
            case 's': {
                const SQValue& value = take();
                if (!value.text()) {
                    throw std::invalid_argument("%s of the SQL format needs text");
                }
                collect(value);
                break;
            }
            case 'd':
            case 'D':
            case 'i':
                collect(static_cast<int>(integer()));
                break;
            case 'u':
            case 'U':
                collect(static_cast<unsigned>(integer()));
                break;
            case 'f':
                collect(real());
                break;
            case 'g':
                collect(static_cast<float>(real()));
                break;
            case '%':
                sql += '%';
                break;
            case 'h':
                if (peek(1) == 'i') {
                    collect(static_cast<short>(integer()));
                    ++i;
                } else if (peek(1) == 'u') {
                    collect(static_cast<unsigned short>(integer()));
                    ++i;
                }
                break;
            case 'q':
                if (peek(1) == 'i' || peek(1) == 'u') {
                    collect(integer());
                    ++i;
                }
                break;
            case 'l': {
                size_t skip = peek(1) == 'l' ? 2 : 1;
                if (peek(skip) == 'd' || peek(skip) == 'u') {
                    collect(integer());
                    i += skip;
                }
                break;
            }
            default:
                sql += c;
                break;
        }
    }
    return {std::move(sql), std::move(collected)};
}

// ---- Transactions and savepoints

ErrorPtr SQDatabase::runTransactionStatement(const char* sql,
                                             std::optional<bool> inTransactionOnSuccess) {
    ErrorPtr error = updateWorker(sql, {}, nullptr);
    if (!error && inTransactionOnSuccess) {
        isInTransaction_ = *inTransactionOnSuccess;
    }
    return error;
}

ErrorPtr SQDatabase::beginStatement(SQTransactionKind kind) {
    switch (kind) {
        case SQTransactionKind::Deferred:
            return runTransactionStatement("begin deferred transaction", true);
        case SQTransactionKind::Immediate:
            return runTransactionStatement("begin immediate transaction", true);
        case SQTransactionKind::Exclusive:
            break;
    }
    return runTransactionStatement("begin exclusive transaction", true);
}

bool SQDatabase::beginTransaction() {
    return !beginStatement(SQTransactionKind::Exclusive);
}

bool SQDatabase::beginExclusiveTransaction() {
    return beginTransaction();
}

bool SQDatabase::beginDeferredTransaction() {
    return !beginStatement(SQTransactionKind::Deferred);
}

bool SQDatabase::beginImmediateTransaction() {
    return !beginStatement(SQTransactionKind::Immediate);
}

bool SQDatabase::commit() {
    return !runTransactionStatement("commit transaction", false);
}

bool SQDatabase::rollback() {
    return !runTransactionStatement("rollback transaction", false);
}

ErrorPtr SQDatabase::savePointStatement(const char* verb, std::string_view name) {
    return updateWorker(std::string(verb) + " '" + sqdb::escapedLiteral(name) + "';", {}, nullptr);
}

ErrorPtr SQDatabase::startSavePointWithName(std::string_view name) {
    return savePointStatement("savepoint", name);
}

ErrorPtr SQDatabase::releaseSavePointWithName(std::string_view name) {
    return savePointStatement("release savepoint", name);
}

ErrorPtr SQDatabase::rollbackToSavePointWithName(std::string_view name) {
    return savePointStatement("rollback transaction to savepoint", name);
}

ErrorPtr SQDatabase::inSavePoint(const std::function<void(bool& rollback)>& block) {
    static std::atomic<long> counter{0};
    return runSavePoint("dbSavePoint" + std::to_string(counter++),
                        [&](SQDatabase*, bool& rollback) {
                            if (block)
                                block(rollback);
                        });
}

ErrorPtr SQDatabase::runTransaction(SQTransactionKind kind, const TransactionBlock& block) {
    if (ErrorPtr error = beginStatement(kind)) {
        // Without a transaction the block's statements would each commit on their own.
        return error;
    }
    bool shouldRollback = false;
    try {
        block(this, shouldRollback);
    } catch (...) {
        // The block's own failure is the one that matters; the rollback's is only logged.
        (void)rollback();
        throw;
    }
    if (shouldRollback) {
        return runTransactionStatement("rollback transaction", false);
    }
    if (ErrorPtr error = runTransactionStatement("commit transaction", false)) {
        // A transaction left open would hold its locks and swallow later statements. The commit's
        // failure is the one to report; the rollback's is only logged.
        (void)rollback();
        return error;
    }
    return nullptr;
}

ErrorPtr SQDatabase::runSavePoint(const std::string& name, const TransactionBlock& block) {
    if (ErrorPtr error = startSavePointWithName(name)) {
        return error;
    }
    bool shouldRollback = false;
    block(this, shouldRollback);
    ErrorPtr failure;
    if (shouldRollback) {
        failure = rollbackToSavePointWithName(name);
    }
    if (ErrorPtr error = releaseSavePointWithName(name)) {
        failure = error;
    }
    return failure;
}

ErrorPtr SQDatabase::checkpoint(int mode) {
    return checkpoint(mode, std::nullopt, nullptr, nullptr);
}

ErrorPtr SQDatabase::checkpoint(int mode, const std::optional<std::string>& name) {
    return checkpoint(mode, name, nullptr, nullptr);
}

ErrorPtr SQDatabase::checkpoint(int mode, const std::optional<std::string>& name,
                                int* logFrameCount, int* checkpointCount) {
    if (ErrorPtr refused = canRunStatement()) {
        return refused;
    }
    int result = sqlite3_wal_checkpoint_v2(db_, name ? name->c_str() : nullptr, mode, logFrameCount,
                                           checkpointCount);
    if (result == SQLITE_OK) {
        return nullptr;
    }
    ErrorPtr error = lastError();
    if (logsErrors_) {
        sqdb::log(lastErrorMessage());
    }
    if (crashOnErrors_) {
        throw std::logic_error("checkpoint failed: " + lastErrorMessage());
    }
    return error;
}

// ---- Statement cache

void SQDatabase::setShouldCacheStatements(bool cache) {
    shouldCacheStatements_ = cache;
    if (!cache) {
        // A statement still stepped by a cursor lives on with the cursor.
        cachedStatements_.clear();
    }
}

void SQDatabase::clearCachedStatements() {
    for (auto& [sql, statements] : cachedStatements_) {
        for (auto& statement : statements)
            statement->close();
    }
    cachedStatements_.clear();
}

std::shared_ptr<SQStatement> SQDatabase::cachedStatementForQuery(std::string_view sql) const {
    auto it = cachedStatements_.find(sql);
    if (it == cachedStatements_.end()) {
        return nullptr;
    }
    for (const auto& statement : it->second) {
        if (!statement->inUse())
            return statement;
    }
    return nullptr;
}

void SQDatabase::setCachedStatement(const std::shared_ptr<SQStatement>& statement,
                                    std::string_view sql) {
    statement->setQuery(std::string(sql));
    auto it = cachedStatements_.find(sql);
    if (it == cachedStatements_.end()) {
        it =
            cachedStatements_.emplace(std::string(sql), std::vector<std::shared_ptr<SQStatement>>{})
                .first;
    }
    it->second.push_back(statement);
}

// ---- Result sets

void SQDatabase::closeOpenResultSets() {
    if (openResultSets_.empty()) {
        return;
    }
    // The cursors may hold the last references to this connection.
    auto keepAlive = weak_from_this().lock();
    auto snapshot = openResultSets_;
    for (SQResultSet* resultSet : snapshot) {
        // Detached first, so that the cursor does not call back while the registry is walked.
        auto parent = std::move(resultSet->parentDB_);
        resultSet->close();
        openResultSets_.erase(resultSet);
    }
}

void SQDatabase::resultSetDidClose(SQResultSet* resultSet) {
    openResultSets_.erase(resultSet);
}

// ---- Dates

std::shared_ptr<const DateFormatter> SQDatabase::storeableDateFormat(std::string format) {
    return DateFormatter::make(format, "en_US", "GMT").valueOr(nullptr);
}

std::optional<SQDate> SQDatabase::dateFromString(std::string_view text) const {
    return dateFormat_ ? dateFormat_->dateFromString(text) : std::nullopt;
}

std::optional<std::string> SQDatabase::stringFromDate(SQDate date) const {
    if (!dateFormat_)
        return std::nullopt;
    return dateFormat_->stringFromDate(date);
}

}  // namespace quarra
