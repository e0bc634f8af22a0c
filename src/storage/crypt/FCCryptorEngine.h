#pragma once
// One block-cipher context of the encrypted data format: AES in CBC mode, with or without PKCS#7
// padding, encrypting or decrypting a stream of bytes fed in any chunking. Movable, not copyable;
// one thread at a time.
#include <memory>

#include "storage/crypt/FCCryptorFormat.h"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace quarra {

class FCCryptorEngine {
  public:
    enum class Operation { Encrypt = 0, Decrypt = 1 };

    // The key's length picks AES-128, -192 or -256. Unsupported settings, a key or IV of the wrong
    // size or a library failure give the error.
    static Result<FCCryptorEngine> make(Operation operation, const FCCryptorSettings& settings,
                                        ByteView key, ByteView IV);

    // Appends the output for `data` to `out` (whole blocks only; the rest waits for more input).
    [[nodiscard]] ErrorPtr addData(ByteView data, Bytes& out);
    // Appends the final output: the padding block when encrypting, the last plaintext bytes when
    // decrypting. A padding or length failure gives the decode error and appends nothing.
    [[nodiscard]] ErrorPtr finish(Bytes& out);

  private:
    struct Free {
        void operator()(EVP_CIPHER_CTX* ctx) const;
    };
    explicit FCCryptorEngine(EVP_CIPHER_CTX* ctx) : ctx_(ctx) {}
    std::unique_ptr<EVP_CIPHER_CTX, Free> ctx_;
};

}  // namespace quarra
