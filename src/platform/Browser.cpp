#include "quarra/Browser.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/Process.h"

namespace quarra {
namespace {

class CommandBrowser : public Browser {
  public:
    explicit CommandBrowser(std::vector<std::string> command) : command_(std::move(command)) {}

    bool openURL(const Url& url) override {
        if (command_.empty() || url.empty())
            return false;
        std::vector<std::string> arguments = command_;
        arguments.push_back(url.string());
        return spawnDetached(std::move(arguments));
    }

  private:
    const std::vector<std::string> command_;
};

// Never destroyed: a page may still be opened from another thread while the process exits.
std::mutex gMutex;
std::shared_ptr<Browser>& gShared = *new std::shared_ptr<Browser>();

}  // namespace

std::shared_ptr<Browser> Browser::command(std::vector<std::string> command) {
    return std::make_shared<CommandBrowser>(std::move(command));
}

std::shared_ptr<Browser> Browser::shared() {
    std::lock_guard lock(gMutex);
    if (!gShared)
        gShared = command({"xdg-open"});
    return gShared;
}

void Browser::setShared(std::shared_ptr<Browser> browser) {
    std::lock_guard lock(gMutex);
    gShared = std::move(browser);
}

bool Browser::programExists(const std::string& program) {
    if (program.empty())
        return false;
    if (program.find('/') != std::string::npos)
        return access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::filesystem::path dir = dirs.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        if (access((dir / program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace quarra
