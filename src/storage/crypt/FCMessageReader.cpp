#include "storage/crypt/FCMessageReader.h"

#include <openssl/crypto.h>

namespace quarra {
namespace {

constexpr std::size_t kPreambleSize = 2;
// HMAC and cipher take turns over slices of this size, so the cipher reads ciphertext still in
// cache.
constexpr std::size_t kReadSlice = 64 * 1024;

// Moves up to `wanted - into.size()` bytes from the front of `from` to `into`.
void take(Bytes& into, ByteView& from, std::size_t wanted) {
    std::size_t count = std::min(from.size(), wanted > into.size() ? wanted - into.size() : 0);
    into.insert(into.end(), from.begin(), from.begin() + static_cast<std::ptrdiff_t>(count));
    from = from.subspan(count);
}

}  // namespace

FCMessageReader::FCMessageReader(std::string_view password, const FCCryptorSettings& settings)
    : settings_(settings), password_(password), hasPassword_(true) {}

FCMessageReader::FCMessageReader(ByteView encryptionKey, ByteView HMACKey,
                                 const FCCryptorSettings& settings)
    : settings_(settings),
      hasPassword_(false),
      encryptionKey_(encryptionKey.begin(), encryptionKey.end()),
      HMACKey_(HMACKey.begin(), HMACKey.end()) {}

FCMessageReader::~FCMessageReader() {
    dropSecrets();
}

void FCMessageReader::dropSecrets() {
    if (!password_.empty()) {
        OPENSSL_cleanse(password_.data(), password_.size());
        password_.clear();
    }
    fcCleanse(encryptionKey_);
    fcCleanse(HMACKey_);
}

ErrorPtr FCMessageReader::fail(ErrorPtr error) {
    error_ = std::move(error);
    dropSecrets();
    return error_;
}

ErrorPtr FCMessageReader::readHeader(ByteView& message) {
    if (header_.empty() && !message.empty() && message[0] != 2 && message[0] != 3) {
        return fail(fcError(kFCCryptorUnknownHeader));
    }
    take(header_, message, kPreambleSize);
    if (header_.size() < kPreambleSize) {
        return nullptr;
    }
    if (headerSize_ == 0) {
        options_ = header_[1];
        if (header_[0] == 2) {
            settings_.keySettings.hasV2Password = true;
            settings_.HMACKeySettings.hasV2Password = true;
        }
        headerSize_ = kPreambleSize + settings_.IVSize;
        if (options_ & kFCCryptorOptionHasPassword) {
            headerSize_ += settings_.keySettings.saltSize + settings_.HMACKeySettings.saltSize;
        }
    }
    take(header_, message, headerSize_);
    return header_.size() < headerSize_ ? nullptr : startDecrypting();
}

ErrorPtr FCMessageReader::startDecrypting() {
    ByteView header(header_);
    if ((options_ & kFCCryptorOptionHasPassword) && hasPassword_) {
        ByteView encryptionSalt = header.subspan(kPreambleSize, settings_.keySettings.saltSize);
        ByteView HMACSalt = header.subspan(kPreambleSize + encryptionSalt.size(),
                                           settings_.HMACKeySettings.saltSize);
        auto encryptionKey = fcKeyForPassword(password_, encryptionSalt, settings_.keySettings);
        if (!encryptionKey) {
            return fail(encryptionKey.error());
        }
        auto HMACKey = fcKeyForPassword(password_, HMACSalt, settings_.HMACKeySettings);
        if (!HMACKey) {
            fcCleanse(*encryptionKey);
            return fail(HMACKey.error());
        }
        encryptionKey_ = std::move(*encryptionKey);
        HMACKey_ = std::move(*HMACKey);
    }
    ByteView IV = header.last(settings_.IVSize);
    auto engine =
        FCCryptorEngine::make(FCCryptorEngine::Operation::Decrypt, settings_, encryptionKey_, IV);
    if (!engine) {
        return fail(engine.error());
    }
    engine_ = std::move(*engine);
    if (!HMACKey_.empty()) {
        auto hmac = FCHMAC::make(settings_.HMACAlgorithm, HMACKey_, settings_.HMACLength);
        if (!hmac) {
            return fail(hmac.error());
        }
        hmac_ = std::move(*hmac);
        if (!hasV1HMAC_) {
            hmac_->update(header_);
        }
    }
    dropSecrets();
    return nullptr;
}

ErrorPtr FCMessageReader::decrypt(ByteView ciphertext, Bytes& out) {
    while (!ciphertext.empty()) {
        ByteView slice = ciphertext.first(std::min(ciphertext.size(), kReadSlice));
        if (hmac_) {
            hmac_->update(slice);
        }
        if (ErrorPtr error = engine_->addData(slice, out)) {
            return fail(error);
        }
        ciphertext = ciphertext.subspan(slice.size());
    }
    return nullptr;
}

ErrorPtr FCMessageReader::update(ByteView message, Bytes& out) {
    if (error_ || finished_) {
        return error_ ? error_ : fcError(kFCCryptorParamError);
    }
    if (!engine_) {
        if (ErrorPtr error = readHeader(message)) {
            return error;
        }
        if (!engine_) {
            return nullptr;
        }
    }
    // Hold back the last HMACLength() bytes seen: until the input ends they may be the tag.
    std::size_t hold = HMACLength();
    std::size_t total = trailer_.size() + message.size();
    if (total <= hold) {
        trailer_.insert(trailer_.end(), message.begin(), message.end());
        return nullptr;
    }
    std::size_t fromTrailer = std::min(trailer_.size(), total - hold);
    std::size_t fromMessage = total - hold - fromTrailer;
    if (ErrorPtr error = decrypt(ByteView(trailer_).first(fromTrailer), out)) {
        return error;
    }
    if (ErrorPtr error = decrypt(message.first(fromMessage), out)) {
        return error;
    }
    trailer_.erase(trailer_.begin(), trailer_.begin() + static_cast<std::ptrdiff_t>(fromTrailer));
    trailer_.insert(trailer_.end(), message.begin() + static_cast<std::ptrdiff_t>(fromMessage),
                    message.end());
    return nullptr;
}

ErrorPtr FCMessageReader::finish(Bytes& out) {
    if (error_ || finished_) {
        return error_ ? error_ : fcError(kFCCryptorParamError);
    }
    finished_ = true;
    if (!engine_) {
        // Too short to hold its header: nothing can be authenticated, so it is no message at all.
        bool checksHMAC = hasPassword_ || !HMACKey_.empty();
        return fail(fcError(checksHMAC ? kFCCryptorHMACMismatch : kFCCryptorDecodeError));
    }
    if (hmac_) {
        auto tag = hmac_->final();
        if (!tag) {
            return fail(tag.error());
        }
        if (trailer_.size() < hmac_->length() || !fc_isEqualInConsistentTime(*tag, trailer_)) {
            return fail(fcError(kFCCryptorHMACMismatch));
        }
    }
    if (ErrorPtr error = engine_->finish(out)) {
        return fail(error);
    }
    return nullptr;
}

}  // namespace quarra
