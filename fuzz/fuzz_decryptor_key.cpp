// The decryptor's path from keys over any message. The password target derives its keys for every
// input and so gets through a few dozen a second; with fixed keys the message reading, the HMAC
// check and the decryption see many thousands. The seeds are sealed with these keys.
#include "FuzzSupport.h"
#include "storage/crypt/FCDecryptor.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes encryptionKey(32, 0x11);
    const Bytes HMACKey(32, 0x22);
    auto plain = FCDecryptor::decryptData(ByteView(data, size), encryptionKey, HMACKey);
    // A failure must say what failed.
    if (!plain && !plain.error())
        __builtin_trap();
    return 0;
}
