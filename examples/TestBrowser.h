#pragma once
// Nobody can see a browser: the test provider's driver plays the person at its pages, logging in
// with `login` and `password`, in place of the desktop's browser. Part of the example's embedded
// test servers, not of the host.
#include <string>

void letTestDriverUseBrowser(const std::string& login, const std::string& password);
