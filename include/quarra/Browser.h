#pragma once
// The desktop's web browser, as far as a native program needs it: open a URL in it. The page and
// what the person does there are the browser's matter; the program learns the outcome through a
// redirect (a loopback listener or its own URL scheme). The process-wide browser is replaceable, so
// tests and hosts without a display put a browser of their own in its place.
// Every member is safe to call from any thread.
#include <memory>
#include <string>
#include <vector>

#include "quarra/Url.h"

namespace quarra {

class Browser {
  public:
    virtual ~Browser() = default;

    // True when the browser was started with the URL; false when it could not be started.
    virtual bool openURL(const Url& url) = 0;

    // Runs `command` (a program looked up on PATH and its first arguments) with the URL as its last
    // argument, without a shell and without waiting for it.
    static std::shared_ptr<Browser> command(std::vector<std::string> command);
    // The process-wide browser: "xdg-open" until replaced.
    static std::shared_ptr<Browser> shared();
    // Null restores "xdg-open".
    static void setShared(std::shared_ptr<Browser> browser);
    // Whether `program` names an executable file, directly or on PATH.
    static bool programExists(const std::string& program);
};

}  // namespace quarra
