#pragma once
// Questions a host or the sign-in screen asks of any error: a user's cancellation, a failure the
// server reported with a message of its own, an error of the single sign-on client.
#include <optional>
#include <string>

#include "quarra/Error.h"

namespace quarra {

// An authorization error -5 or -8: the user cancelled the operation.
bool isUserCanceledOperationError(const Error& error);
// The error carries the server's own message (TVKQuarraServerErrorMessageKey).
bool isQuarraServerError(const Error& error);
// For a server error: its description, a line break, the host's text for "Quarra Response: ", one
// blank and the server's message. None for any other error.
std::optional<std::string> quarraServerErrorMessage(const Error& error);
// The error comes from the single sign-on client (not from its resource-server requests).
bool isOAuthError(const Error& error);
// The error's full description when isOAuthError, else none.
std::optional<std::string> debugOAuthErrorMessage(const Error& error);

}  // namespace quarra
