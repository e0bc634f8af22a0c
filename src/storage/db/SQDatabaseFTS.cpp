// The full-text tokenizer module: the engine calls these functions, which forward each text to the
// SQTokenizerDelegate registered under the key the table names.
#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "storage/db/SQDatabase.h"
#include "storage/db/SQTokenizer.h"

namespace quarra {
namespace {

// The engine's tokenizer interface (version 0), as its full-text documentation defines it; the
// engine ships no header for it.
struct EngineTokenizer;
struct EngineTokenizerModule {
    int iVersion;
    int (*xCreate)(int argc, const char* const* argv, EngineTokenizer** tokenizer);
    int (*xDestroy)(EngineTokenizer* tokenizer);
    int (*xOpen)(EngineTokenizer* tokenizer, const char* input, int bytes,
                 SQTokenizerCursorHeader** cursor);
    int (*xClose)(SQTokenizerCursorHeader* cursor);
    int (*xNext)(SQTokenizerCursorHeader* cursor, const char** token, int* bytes, int* start,
                 int* end, int* position);
};
struct EngineTokenizer {
    const EngineTokenizerModule* module;  // filled in by the engine
    std::shared_ptr<SQTokenizerDelegate> delegate;
};

constexpr const char* kDefaultKey = "DefaultTokenizerDelegateKey";

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, std::weak_ptr<SQTokenizerDelegate>> tokenizers;

    static Registry& shared() {
        static Registry* registry = new Registry();
        return *registry;
    }
};

int tokenizerCreate(int argc, const char* const* argv, EngineTokenizer** out) {
    std::string key = argc > 0 && argv[0] ? argv[0] : kDefaultKey;
    std::shared_ptr<SQTokenizerDelegate> delegate;
    {
        Registry& registry = Registry::shared();
        std::lock_guard lock(registry.mutex);
        auto it = registry.tokenizers.find(key);
        if (it != registry.tokenizers.end())
            delegate = it->second.lock();
    }
    if (!delegate) {
        return SQLITE_ERROR;
    }
    // The table holds its tokenizer for as long as the engine keeps the table open.
    *out = new (std::nothrow) EngineTokenizer{nullptr, std::move(delegate)};
    return *out ? SQLITE_OK : SQLITE_NOMEM;
}

int tokenizerDestroy(EngineTokenizer* tokenizer) {
    delete tokenizer;
    return SQLITE_OK;
}

int tokenizerOpen(EngineTokenizer* tokenizer, const char* input, int bytes,
                  SQTokenizerCursorHeader** out) {
    auto* cursor = new (std::nothrow) SQTokenizerCursor();
    if (!cursor) {
        return SQLITE_NOMEM;
    }
    if (input && *input) {
        cursor->input =
            bytes < 0 ? std::string_view(input) : std::string_view(input, size_t(bytes));
    }
    cursor->owner.cursor = cursor;
    tokenizer->delegate->openTokenizerCursor(*cursor);
    *out = &cursor->owner;
    return SQLITE_OK;
}

SQTokenizerCursor& cursorOf(SQTokenizerCursorHeader* header) {
    return *header->cursor;
}

SQTokenizerDelegate& delegateOf(SQTokenizerCursor& cursor) {
    return *static_cast<EngineTokenizer*>(cursor.owner.tokenizer)->delegate;
}

int tokenizerClose(SQTokenizerCursorHeader* header) {
    SQTokenizerCursor& cursor = cursorOf(header);
    delegateOf(cursor).closeTokenizerCursor(cursor);
    delete &cursor;
    return SQLITE_OK;
}

int tokenizerNext(SQTokenizerCursorHeader* header, const char** token, int* bytes, int* start,
                  int* end, int* position) {
    SQTokenizerCursor& cursor = cursorOf(header);
    if (delegateOf(cursor).nextTokenForCursor(cursor)) {
        return SQLITE_DONE;
    }
    // Offsets always cover the whole word in the input, even when the token handed over is cut
    // short.
    size_t length = std::min(cursor.token.size(), sizeof cursor.output);
    std::memcpy(cursor.output, cursor.token.data(), length);
    *token = cursor.output;
    *bytes = static_cast<int>(length);
    *start = static_cast<int>(cursor.tokenRange.location);
    *end = static_cast<int>(cursor.tokenRange.location + cursor.tokenRange.length);
    *position = cursor.position++;
    return SQLITE_OK;
}

const EngineTokenizerModule kModule = {
    0, tokenizerCreate, tokenizerDestroy, tokenizerOpen, tokenizerClose, tokenizerNext};

}  // namespace

void SQDatabase::registerTokenizer(const std::shared_ptr<SQTokenizerDelegate>& tokenizer,
                                   const std::string& key) {
    Registry& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    registry.tokenizers[key] = tokenizer;
}

bool SQDatabase::installTokenizerModuleWithName(const std::string& name) {
    if (!databaseExists()) {
        return false;
    }
    // Registering a module address from SQL is switched off by default, since any SQL could then
    // hand the engine a pointer; it is allowed only for this one statement.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 1, nullptr);
    const EngineTokenizerModule* module = &kModule;
    Bytes address(sizeof module);
    std::memcpy(address.data(), &module, sizeof module);
    auto resultSet = executeQuery("SELECT fts3_tokenizer(?, ?)", name, std::move(address));
    bool installed = resultSet && resultSet->next();
    if (resultSet)
        resultSet->close();
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
    return installed;
}

bool SQDatabase::issueCommand(std::string_view command, std::string_view table) {
    // The table name is an identifier here: quoted, so that it cannot splice SQL.
    std::string quoted = "\"";
    for (char c : table) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    quoted += '"';
    return executeUpdate("INSERT INTO " + quoted + "(" + quoted + ") VALUES (?)", command);
}

}  // namespace quarra
