#pragma once
// One connection to one SQLCipher (SQLite) database: open, key, run SQL with bound arguments, hand
// out result-set cursors, transactions and savepoints, busy waiting, an optional prepared-statement
// cache, SQL functions, single-value and schema helpers, in-memory copies and full-text tokenizer
// hooks.
//
// Thread safety: a connection belongs to one thread at a time; share it through SQDatabaseQueue or
// SQDatabasePool. Only interrupt() may be called from another thread. Failures are reported through
// the return value and lastError() (domain "SQDatabase", the engine's result code); log lines go to
// the platform's diagnostics (the SDK's log, at debug level).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "quarra/Url.h"
#include "platform/DateFormatter.h"
#include "storage/db/SQResultSet.h"
#include "storage/db/SQStatement.h"
#include "quarra/SQValue.h"

struct sqlite3;
struct sqlite3_context;
struct Mem;
typedef struct Mem sqlite3_value;  // as the engine's header spells it

namespace quarra {

class SQResultSet;
class SQTokenizerDelegate;

inline constexpr const char* SQDatabaseErrorDomain = "SQDatabase";

// How a transaction begins: "begin exclusive", "begin deferred" or "begin immediate transaction".
enum class SQTransactionKind { Exclusive = 0, Deferred = 1, Immediate = 2 };

// Open flags used throughout the SDK: read-write (2) plus create (4).
inline constexpr int SQOpenReadWriteCreate = 6;

// The library's own version, "2.7.4", and the same as a number (0x274).
std::string SQDBUserVersion();
std::uint32_t SQDBVersion();

class SQDatabase : public std::enable_shared_from_this<SQDatabase> {
  public:
    // No path: a private in-memory database (":memory:"); an empty path: the engine's private
    // temporary on-disk database; otherwise a file path.
    using Path = std::optional<std::string>;
    using FunctionBlock =
        std::function<void(sqlite3_context* context, int argc, sqlite3_value** argv)>;
    using ResultBlock = std::function<int(const SQDictionary& row)>;
    // Blocks of the queue and the pool; the connection is null when none could be had.
    using DatabaseBlock = std::function<void(SQDatabase* db)>;
    using TransactionBlock = std::function<void(SQDatabase* db, bool& rollback)>;

    // Creates a closed connection; opens nothing. A queue or pool subclass may construct subclasses
    // through std::make_shared and the protected constructor.
    static std::shared_ptr<SQDatabase> databaseWithPath(Path path = std::nullopt);
    // The URL's file path; no URL (or an empty one) is an in-memory database.
    static std::shared_ptr<SQDatabase> databaseWithURL(const std::optional<Url>& url);
    virtual ~SQDatabase();
    SQDatabase(const SQDatabase&) = delete;
    SQDatabase& operator=(const SQDatabase&) = delete;

    static std::string sqliteLibVersion();
    static bool isSQLiteThreadSafe();

    const Path& databasePath() const { return databasePath_; }
    std::optional<Url> databaseURL() const;
    // The text handed to the engine: ":memory:", "" or the file path.
    std::string sqlitePath() const;
    sqlite3* sqliteHandle() const { return db_; }
    std::string description() const;

    bool isOpen() const { return isOpen_; }
    void setIsOpen(bool open) { isOpen_ = open; }
    bool logsErrors() const { return logsErrors_; }
    void setLogsErrors(bool logs) { logsErrors_ = logs; }
    // Compile and checkpoint failures become std::logic_error (after logging) when set.
    bool crashOnErrors() const { return crashOnErrors_; }
    void setCrashOnErrors(bool crash) { crashOnErrors_ = crash; }
    bool traceExecution() const { return traceExecution_; }
    void setTraceExecution(bool trace) { traceExecution_ = trace; }
    bool checkedOut() const { return checkedOut_; }
    void setCheckedOut(bool checkedOut) { checkedOut_ = checkedOut; }
    bool isInTransaction() const { return isInTransaction_; }
    bool inTransaction() const { return isInTransaction_; }

    // ---- Opening and closing

    // True when the connection is (now) open. The default flags are read-write and create.
    bool open();
    bool openWithFlags(int flags, const char* vfsName = nullptr);
    // Finalizes cached statements, closes open result sets and releases the handle. Always true.
    bool close();
    // Open and able to read the schema.
    bool goodConnection();
    // Open; otherwise logs that it is not and answers false.
    bool databaseExists();
    // Stops a statement running on another thread. False when there is no handle.
    bool interrupt();

    // ---- Keying: between open and the first statement. A wrong key shows at the first read.

    bool setKey(const std::optional<std::string>& key);
    bool setKeyWithData(const std::optional<Bytes>& key);
    bool rekey(const std::optional<std::string>& key);
    bool rekeyWithData(const std::optional<Bytes>& key);

    // ---- Busy waiting: how long a statement retries while another connection holds a lock.

    double maxBusyRetryTimeInterval() const { return maxBusyRetryTimeInterval_; }
    // <= 0 turns retrying off.
    void setMaxBusyRetryTimeInterval(double seconds);
    // Obsolete: they only log that the interval above replaces them.
    int busyRetryTimeout();
    void setBusyRetryTimeout(int timeout);

    // ---- Updates: true when the statement ran to completion. Extra arguments are ignored; too few
    // fail with the bind-count message. A statement that yields a row is not an update and fails.
    // The forms returning an ErrorPtr say why (null on success); the others leave it to lastError().

    template <class... Args>
    requires(std::convertible_to<Args, SQValue>&&...) bool executeUpdate(std::string_view sql,
                                                                         Args&&... args) {
        return !updateWorker(sql, SQArguments{SQValue(std::forward<Args>(args))...}, nullptr);
    }
    bool executeUpdate(std::string_view sql, const SQArguments& arguments);
    [[nodiscard]] ErrorPtr executeUpdateValues(std::string_view sql, const SQArguments& values);
    // Each key binds the parameter ":key".
    bool executeUpdate(std::string_view sql, const SQDictionary& parameters);
    template <class... Args>
    requires(std::convertible_to<Args, SQValue>&&...) [[nodiscard]] ErrorPtr
        executeUpdateWithErrorAndBindings(std::string_view sql, Args&&... args) {
        return updateWorker(sql, SQArguments{SQValue(std::forward<Args>(args))...}, nullptr);
    }
    // printf-like: each conversion becomes a "?" bound to its argument ("%@" takes any value and a
    // null one becomes an inline NULL; "%s" a C string; "%d", "%ld", "%llu", "%f"... numbers).
    // Throws std::invalid_argument when the arguments do not match the conversions.
    template <class... Args>
    bool executeUpdateWithFormat(std::string_view format, Args&&... args) {
        auto [sql, arguments] = extractSQL(format, {SQValue(std::forward<Args>(args))...});
        return executeUpdate(sql, arguments);
    }

    // Runs every statement of `sql`; `block` receives each result row (column name to text or NULL)
    // and stops the run by answering non-zero.
    bool executeStatements(const std::string& sql, const ResultBlock& block = nullptr);

    // ---- Queries: a cursor positioned before the first row, or null on failure.

    template <class... Args>
    requires(std::convertible_to<Args, SQValue>&&...) std::shared_ptr<SQResultSet> executeQuery(
        std::string_view sql, Args&&... args) {
        return queryWorker(sql, SQArguments{SQValue(std::forward<Args>(args))...}, nullptr);
    }
    std::shared_ptr<SQResultSet> executeQuery(std::string_view sql, const SQArguments& arguments);
    // The cursor, or lastError() when there is none.
    Result<std::shared_ptr<SQResultSet>> executeQueryValues(std::string_view sql,
                                                            const SQArguments& values);
    std::shared_ptr<SQResultSet> executeQuery(std::string_view sql, const SQDictionary& parameters);
    template <class... Args>
    std::shared_ptr<SQResultSet> executeQueryWithFormat(std::string_view format, Args&&... args) {
        auto [sql, arguments] = extractSQL(format, {SQValue(std::forward<Args>(args))...});
        return executeQuery(sql, arguments);
    }

    // An error without an open handle or while a statement of this connection is running
    // (re-entry from an SQL function).
    Result<std::int64_t> lastInsertRowId();
    Result<int> changes();

    // ---- Errors of the last engine call on this handle.

    std::string lastErrorMessage() const;
    int lastErrorCode() const;
    int lastExtendedErrorCode() const;
    bool hadError() const;
    ErrorPtr lastError() const;
    ErrorPtr errorWithMessage(std::string_view message) const;

    // ---- Transactions: true when the statement succeeded; isInTransaction() follows only
    // successes.

    bool beginTransaction();
    bool beginExclusiveTransaction();
    bool beginDeferredTransaction();
    bool beginImmediateTransaction();
    bool commit();
    bool rollback();

    [[nodiscard]] ErrorPtr startSavePointWithName(std::string_view name);
    [[nodiscard]] ErrorPtr releaseSavePointWithName(std::string_view name);
    [[nodiscard]] ErrorPtr rollbackToSavePointWithName(std::string_view name);
    // Runs `block` inside a fresh savepoint, rolled back to when the block sets its flag. Null on
    // success, otherwise the error of the last step that failed.
    [[nodiscard]] ErrorPtr inSavePoint(const std::function<void(bool& rollback)>& block);

    // The transaction and savepoint protocol of the queue and the pool: begin, the block, then
    // commit or (when the block sets its flag) roll back. Null on success, otherwise the failed
    // step's error; a failed begin runs no block and a failed commit is rolled back.
    [[nodiscard]] ErrorPtr runTransaction(SQTransactionKind kind, const TransactionBlock& block);
    [[nodiscard]] ErrorPtr runSavePoint(const std::string& name, const TransactionBlock& block);

    // Write-ahead-log checkpoint; mode 0 passive, 1 full, 2 restart, 3 truncate. No name: every
    // database. The counts are filled in when given.
    [[nodiscard]] ErrorPtr checkpoint(int mode);
    [[nodiscard]] ErrorPtr checkpoint(int mode, const std::optional<std::string>& name);
    [[nodiscard]] ErrorPtr checkpoint(int mode, const std::optional<std::string>& name,
                                      int* logFrameCount, int* checkpointCount);

    // ---- Statement cache (off by default): several compiled copies per text, one per open cursor.

    bool shouldCacheStatements() const { return shouldCacheStatements_; }
    void setShouldCacheStatements(bool cache);
    void clearCachedStatements();
    std::shared_ptr<SQStatement> cachedStatementForQuery(std::string_view sql) const;
    void setCachedStatement(const std::shared_ptr<SQStatement>& statement, std::string_view sql);
    using StatementCache =
        std::map<std::string, std::vector<std::shared_ptr<SQStatement>>, std::less<>>;
    const StatementCache& cachedStatements() const { return cachedStatements_; }
    void setCachedStatements(StatementCache cache) { cachedStatements_ = std::move(cache); }

    // ---- Open result sets

    bool hasOpenResultSets() const { return !openResultSets_.empty(); }
    void closeOpenResultSets();
    // Called by a closing result set.
    void resultSetDidClose(SQResultSet* resultSet);

    // ---- Dates: with a formatter dates are stored as text, otherwise as seconds since 1970
    // (REAL).

    // A formatter of `format` in the "en_US" locale and GMT; null for a pattern ICU rejects.
    static std::shared_ptr<const DateFormatter> storeableDateFormat(std::string format);
    void setDateFormat(std::shared_ptr<const DateFormatter> formatter) {
        dateFormat_ = std::move(formatter);
    }
    bool hasDateFormatter() const { return dateFormat_ != nullptr; }
    std::optional<SQDate> dateFromString(std::string_view text) const;
    std::optional<std::string> stringFromDate(SQDate date) const;

    // ---- SQL functions: `block` runs for every call of `name` in SQL on this handle (argc -1: any
    // number of arguments). The registration belongs to the open handle: register again after
    // reopening.

    // Null on success; the engine's error, or SQLITE_MISUSE without an open handle.
    [[nodiscard]] ErrorPtr makeFunctionNamed(const std::string& name, int arguments,
                                             FunctionBlock block);
    static int valueType(sqlite3_value* value);
    static int valueInt(sqlite3_value* value);
    static std::int64_t valueLong(sqlite3_value* value);
    static double valueDouble(sqlite3_value* value);
    static std::optional<Bytes> valueData(sqlite3_value* value);
    static std::optional<std::string> valueString(sqlite3_value* value);
    static void resultNullInContext(sqlite3_context* context);
    static void resultInt(int value, sqlite3_context* context);
    static void resultLong(std::int64_t value, sqlite3_context* context);
    static void resultDouble(double value, sqlite3_context* context);
    static void resultData(const Bytes& value, sqlite3_context* context);
    static void resultString(std::string_view value, sqlite3_context* context);
    static void resultError(std::string_view message, sqlite3_context* context);
    static void resultErrorCode(int code, sqlite3_context* context);
    static void resultErrorNoMemoryInContext(sqlite3_context* context);
    static void resultErrorTooBigInContext(sqlite3_context* context);

    // ---- Single-value queries: column 0 of the first row; the "no row" value when there is none
    // or the query failed.

    template <class... Args>
    std::optional<std::string> stringForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.stringForColumnIndex(0); });
    }
    template <class... Args>
    int intForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.intForColumnIndex(0); });
    }
    template <class... Args>
    std::int64_t longForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.longForColumnIndex(0); });
    }
    template <class... Args>
    bool boolForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.boolForColumnIndex(0); });
    }
    template <class... Args>
    double doubleForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.doubleForColumnIndex(0); });
    }
    template <class... Args>
    std::optional<Bytes> dataForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.dataForColumnIndex(0); });
    }
    template <class... Args>
    std::optional<SQDate> dateForQuery(std::string_view sql, Args&&... args) {
        return firstValue(sql, {SQValue(std::forward<Args>(args))...},
                          [](SQResultSet& rs) { return rs.dateForColumnIndex(0); });
    }

    // ---- Schema and header questions

    // Case-insensitive.
    bool tableExists(std::string_view tableName);
    // Every table, index, view and trigger (main and temp), ordered by table; the caller closes it.
    std::shared_ptr<SQResultSet> getSchema();
    // One row per column of the table ("cid", "name", "type", "notnull", "dflt_value", "pk").
    std::shared_ptr<SQResultSet> getTableSchema(std::string_view tableName);
    // Case-insensitive in both names.
    bool columnExists(std::string_view columnName, std::string_view tableName);
    // The older form of the same question, table first.
    bool columnExistsColumnName(std::string_view tableName, std::string_view columnName) {
        return columnExists(columnName, tableName);
    }
    std::uint32_t applicationID();
    void setApplicationID(std::uint32_t appID);
    std::uint32_t userVersion();
    void setUserVersion(std::uint32_t version);
    // Null when the engine compiles `sql`; runs nothing.
    [[nodiscard]] ErrorPtr validateSQL(const std::string& sql);

    // ---- Copies of a private in-memory database (created without a path) from or to an
    // unencrypted file.

    bool readFromFile(const std::string& filePath);
    bool writeToFile(const std::string& filePath);

    // ---- Full-text search: tokenizer objects by key, and the module that forwards to them.

    // Kept weakly: whoever registers a tokenizer keeps it alive while tables use it.
    static void registerTokenizer(const std::shared_ptr<SQTokenizerDelegate>& tokenizer,
                                  const std::string& key = "DefaultTokenizerDelegateKey");
    // Makes `name` usable as "USING fts4(..., tokenize=name key)" on this handle.
    bool installTokenizerModuleWithName(const std::string& name);
    bool installTokenizerModule() { return installTokenizerModuleWithName("sqdb"); }
    // One of kFTSCommand... ("optimize", "rebuild", "integrity-check", "merge=%u,%u",
    // "automerge=%u").
    bool issueCommand(std::string_view command, std::string_view table);

  protected:
    explicit SQDatabase(Path path);

  private:
    friend class SQResultSet;
    struct Guard;

    // Null when the statement ran to completion.
    [[nodiscard]] ErrorPtr updateWorker(std::string_view sql, SQArguments arguments,
                                        const SQDictionary* parameters);
    std::shared_ptr<SQResultSet> queryWorker(std::string_view sql, SQArguments arguments,
                                             const SQDictionary* parameters);
    // Null when open and not already running a statement; otherwise logs why and says so.
    [[nodiscard]] ErrorPtr canRunStatement();
    // Compiles (or takes from the cache) and binds; the error after logging on failure.
    Result<sqlite3_stmt*> prepare(std::string_view sql, const SQArguments& arguments,
                                  const SQDictionary* parameters,
                                  std::shared_ptr<SQStatement>& cached, bool forQuery);
    Result<sqlite3_stmt*> compile(std::string_view sql, std::shared_ptr<SQStatement>& cached,
                                  bool forQuery);
    struct BindCounts {
        int bound = 0;
        int parameters = 0;
    };
    BindCounts bind(sqlite3_stmt* stmt, const SQArguments& arguments,
                    const SQDictionary* parameters, bool forQuery);
    // `copy`: the engine keeps its own copy of text and bytes; otherwise they must outlive the
    // statement's use of them.
    void bindValue(const SQValue& value, int index, sqlite3_stmt* stmt, bool copy);
    static std::pair<std::string, SQArguments> extractSQL(std::string_view format,
                                                          SQArguments arguments);
    [[nodiscard]] ErrorPtr runTransactionStatement(const char* sql,
                                                   std::optional<bool> inTransactionOnSuccess);
    [[nodiscard]] ErrorPtr beginStatement(SQTransactionKind kind);
    [[nodiscard]] ErrorPtr savePointStatement(const char* verb, std::string_view name);
    void warnInUse() const;
    void logError(std::string_view sql) const;
    static int busyHandler(void* context, int count);
    bool copyInMemory(const std::string& filePath, bool save);

    // The cursor on its first row, or null when the query failed or has no row.
    std::shared_ptr<SQResultSet> firstRow(std::string_view sql, SQArguments arguments);
    template <class Read>
    auto firstValue(std::string_view sql, SQArguments arguments, Read read)
        -> decltype(read(std::declval<SQResultSet&>())) {
        auto resultSet = firstRow(sql, std::move(arguments));
        if (!resultSet) {
            return {};
        }
        auto value = read(*resultSet);
        resultSet->close();
        return value;
    }

    sqlite3* db_ = nullptr;
    // Expires when the handle closes, so statements of the old handle are never finalized twice.
    std::shared_ptr<int> handleAlive_;
    // Serialises releasing the handle against interrupt() from another thread.
    mutable std::mutex handleMutex_;
    bool isExecutingStatement_ = false;
    double startBusyRetryTime_ = 0;
    std::set<SQResultSet*> openResultSets_;
    std::vector<std::shared_ptr<FunctionBlock>> openFunctions_;
    std::shared_ptr<const DateFormatter> dateFormat_;
    bool shouldCacheStatements_ = false;
    bool traceExecution_ = false;
    bool checkedOut_ = false;
    bool crashOnErrors_ = false;
    bool logsErrors_ = true;
    bool isOpen_ = false;
    bool isInTransaction_ = false;
    double maxBusyRetryTimeInterval_ = 2.0;
    StatementCache cachedStatements_;
    Path databasePath_;
};

}  // namespace quarra
