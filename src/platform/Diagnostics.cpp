#include "platform/Diagnostics.h"

#include <atomic>

namespace quarra {
namespace {

constinit std::atomic<DiagnosticHandler> handler{nullptr};
constinit thread_local bool reporting = false;

}  // namespace

DiagnosticHandler setDiagnosticHandler(DiagnosticHandler next) {
    return handler.exchange(next, std::memory_order_acq_rel);
}

void reportDiagnostic(DiagnosticLevel level, std::string_view message,
                      const std::source_location& where) {
    DiagnosticHandler current = handler.load(std::memory_order_acquire);
    if (!current || reporting)
        return;
    reporting = true;
    current(level, message, where);
    reporting = false;
}

}  // namespace quarra
