#include "storage/crypt/FCCryptorEngine.h"

#include <openssl/evp.h>

#include <climits>

namespace quarra {
namespace {

constexpr std::size_t kAESBlockSize = 16;

const EVP_CIPHER* aesCBC(std::size_t keySize) {
    switch (keySize) {
        case 16:
            return EVP_aes_128_cbc();
        case 24:
            return EVP_aes_192_cbc();
        case 32:
            return EVP_aes_256_cbc();
        default:
            return nullptr;
    }
}

}  // namespace

void FCCryptorEngine::Free::operator()(EVP_CIPHER_CTX* ctx) const {
    EVP_CIPHER_CTX_free(ctx);
}

Result<FCCryptorEngine> FCCryptorEngine::make(Operation operation,
                                              const FCCryptorSettings& settings, ByteView key,
                                              ByteView IV) {
    const EVP_CIPHER* cipher = aesCBC(key.size());
    // Only AES in CBC mode is known; option bit 2 (ECB) and other algorithms are refused.
    if (settings.algorithm != 0 || settings.blockSize != kAESBlockSize ||
        (settings.options & ~1u) || !cipher || IV.size() != kAESBlockSize) {
        return fcError(kFCCryptorParamError);
    }
    FCCryptorEngine engine(EVP_CIPHER_CTX_new());
    if (!engine.ctx_) {
        return fcError(kFCCryptorMemoryFailure);
    }
    int encrypt = operation == Operation::Encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(engine.ctx_.get(), cipher, nullptr, key.data(), IV.data(), encrypt) !=
            1 ||
        EVP_CIPHER_CTX_set_padding(engine.ctx_.get(), settings.options & 1) != 1) {
        return fcError(kFCCryptorParamError);
    }
    return engine;
}

ErrorPtr FCCryptorEngine::addData(ByteView data, Bytes& out) {
    // The library takes int lengths; feed very large inputs in slices.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    while (!data.empty()) {
        ByteView slice = data.first(std::min(data.size(), kSlice));
        std::size_t start = out.size();
        out.resize(start + slice.size() + kAESBlockSize);
        int produced = 0;
        if (EVP_CipherUpdate(ctx_.get(), out.data() + start, &produced, slice.data(),
                             static_cast<int>(slice.size())) != 1) {
            out.resize(start);
            return fcError(kFCCryptorParamError);
        }
        out.resize(start + static_cast<std::size_t>(produced));
        data = data.subspan(slice.size());
    }
    return nullptr;
}

ErrorPtr FCCryptorEngine::finish(Bytes& out) {
    std::size_t start = out.size();
    out.resize(start + kAESBlockSize);
    int produced = 0;
    if (EVP_CipherFinal_ex(ctx_.get(), out.data() + start, &produced) != 1) {
        out.resize(start);
        return fcError(kFCCryptorDecodeError);
    }
    out.resize(start + static_cast<std::size_t>(produced));
    return nullptr;
}

}  // namespace quarra
