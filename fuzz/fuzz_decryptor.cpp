// The decryptor over any message: the plaintext or an error, never a crash or a read out of
// bounds.
#include "FuzzSupport.h"
#include "storage/crypt/FCDecryptor.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto plain = FCDecryptor::decryptData(ByteView(data, size), "fuzz password");
    // A failure must say what failed.
    if (!plain && !plain.error())
        __builtin_trap();
    return 0;
}
