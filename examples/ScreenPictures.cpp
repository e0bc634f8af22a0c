// Draws the SDK's lock screen in each mode and the sign-in screen's two steps into PNG files (the
// pictures in docs/):
//
//     quarra_screen_pictures [folder]      default: docs
#include <stdlib.h>

#include <filesystem>

#include "PasscodeTerminal.h"
#include "SignInTerminal.h"
#include "quarra/Bundle.h"

int main(int argc, char** argv) {
    if (!getenv("QUARRA_HOST_BUNDLE_ID"))
        quarra::Bundle::setMainBundle("com.example.quarra-example",
                                      {{"com.tovik.PasscodeEnabled", false}});
    std::filesystem::path folder = argc >= 2 ? argv[1] : "docs";
    return drawLockScreenPictures(folder) || drawSignInPictures(folder);
}
