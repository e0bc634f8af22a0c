#include "TestBrowser.h"

#include <memory>

#include "quarra/Browser.h"
#include "support/ProviderTestDriver.h"

void letTestDriverUseBrowser(const std::string& login, const std::string& password) {
    quarra::Browser::setShared(std::make_shared<quarra::test::ProviderTestBrowser>(
        quarra::test::ProviderTestDriver::Options{.login = login, .password = password}));
}
