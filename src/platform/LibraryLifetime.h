#pragma once
// The C libraries the SDK's threads use must stay whole until the process is gone: a host may
// return from main while a connection, an upload or a log upload is still at work.

namespace quarra {

// Tells OpenSSL not to clean itself up at exit. It decides that the first time it starts, so this
// runs when the library is loaded and again before anything else of the SDK could start it.
void keepOpenSSLUntilProcessEnd();

// Starts libcurl (and OpenSSL as above) once for the process; it is never cleaned up.
void initializeCurlOnce();

}  // namespace quarra
