#pragma once
// What the platform layer and the generic layers above it (transport, database) have to tell a
// developer: a refused certificate, a route table that cannot be watched, a database trace. They
// never print; the library's log installs the one handler that takes these messages, and without
// a handler they are dropped.
#include <source_location>
#include <string_view>

namespace quarra {

enum class DiagnosticLevel { Error, Warning, Info, Debug };

// Called on the reporting thread; it must not block for long. `where` names the reporting code
// (its strings have static storage).
using DiagnosticHandler = void (*)(DiagnosticLevel level, std::string_view message,
                                   const std::source_location& where);

// Returns the handler it replaces.
DiagnosticHandler setDiagnosticHandler(DiagnosticHandler handler);

// Hands `message` to the handler. A message reported while the handler runs on the same thread
// (the log itself touching something that reports) is dropped rather than looping.
void reportDiagnostic(DiagnosticLevel level, std::string_view message,
                      const std::source_location& where = std::source_location::current());

}  // namespace quarra
