// Blocks as scalar SQL functions, and the value and result calls such a block uses.
#include <sqlcipher/sqlite3.h>

#include "storage/db/SQDatabase.h"

namespace quarra {
namespace {

void callBlock(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (auto* block = static_cast<SQDatabase::FunctionBlock*>(sqlite3_user_data(context))) {
        (*block)(context, argc, argv);
    }
}

}  // namespace

ErrorPtr SQDatabase::makeFunctionNamed(const std::string& name, int arguments,
                                       FunctionBlock block) {
    if (ErrorPtr refused = canRunStatement()) {
        return refused;
    }
    // The engine keeps only a pointer: the connection holds every block for its own lifetime.
    auto held = std::make_shared<FunctionBlock>(std::move(block));
    if (sqlite3_create_function(db_, name.c_str(), arguments, SQLITE_UTF8, held.get(), &callBlock,
                                nullptr, nullptr) != SQLITE_OK) {
        return lastError();
    }
    openFunctions_.push_back(held);
    return nullptr;
}

int SQDatabase::valueType(sqlite3_value* value) {
    return sqlite3_value_type(value);
}

int SQDatabase::valueInt(sqlite3_value* value) {
    return sqlite3_value_int(value);
}

std::int64_t SQDatabase::valueLong(sqlite3_value* value) {
    return sqlite3_value_int64(value);
}

double SQDatabase::valueDouble(sqlite3_value* value) {
    return sqlite3_value_double(value);
}

std::optional<Bytes> SQDatabase::valueData(sqlite3_value* value) {
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_value_blob(value));
    if (!bytes) {
        return std::nullopt;
    }
    return Bytes(bytes, bytes + sqlite3_value_bytes(value));
}

std::optional<std::string> SQDatabase::valueString(sqlite3_value* value) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    if (!text) {
        return std::nullopt;
    }
    return std::string(text, static_cast<size_t>(sqlite3_value_bytes(value)));
}

void SQDatabase::resultNullInContext(sqlite3_context* context) {
    sqlite3_result_null(context);
}

void SQDatabase::resultInt(int value, sqlite3_context* context) {
    sqlite3_result_int(context, value);
}

void SQDatabase::resultLong(std::int64_t value, sqlite3_context* context) {
    sqlite3_result_int64(context, value);
}

void SQDatabase::resultDouble(double value, sqlite3_context* context) {
    sqlite3_result_double(context, value);
}

void SQDatabase::resultData(const Bytes& value, sqlite3_context* context) {
    // An empty buffer is an empty blob, not NULL: hand the engine a non-null pointer.
    const void* bytes = value.empty() ? static_cast<const void*>("") : value.data();
    sqlite3_result_blob(context, bytes, static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

void SQDatabase::resultString(std::string_view value, sqlite3_context* context) {
    sqlite3_result_text(context, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

void SQDatabase::resultError(std::string_view message, sqlite3_context* context) {
    sqlite3_result_error(context, message.data(), static_cast<int>(message.size()));
}

void SQDatabase::resultErrorCode(int code, sqlite3_context* context) {
    sqlite3_result_error_code(context, code);
}

void SQDatabase::resultErrorNoMemoryInContext(sqlite3_context* context) {
    sqlite3_result_error_nomem(context);
}

void SQDatabase::resultErrorTooBigInContext(sqlite3_context* context) {
    sqlite3_result_error_toobig(context);
}

}  // namespace quarra
