// Keyed archives as read from disk: any text either decodes to the allowed classes or gives an
// error.
#include <fstream>
#include <filesystem>
#include <unistd.h>

#include "FuzzSupport.h"
#include "platform/KeyedArchiver.h"
#include "sso/SSOAuthorizationResponse.h"
#include "sso/SSOTokenResponse.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Through the file reader, as the SDK reads archives.
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("quarra-fuzz-archive-" + std::to_string(getpid()));
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    auto document = KeyedUnarchiver::readDocument(file);
    std::filesystem::remove(file);
    if (!document)
        return 0;
    Json copy = *document;
    (void)KeyedUnarchiver::unarchivedObject<SSOAuthorizationResponse>(
        std::move(*document), SSOAuthorizationResponse::archiveClasses());
    (void)KeyedUnarchiver::unarchivedObject<SSOTokenResponse>(std::move(copy),
                                                              SSOTokenResponse::archiveClasses());
    return 0;
}
