#include "storage/crypt/FCMessageWriter.h"

namespace quarra {
namespace {

// Cipher and HMAC take turns over slices of this size, so the HMAC reads ciphertext still in cache.
constexpr std::size_t kSlice = 64 * 1024;

}  // namespace

std::optional<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                                     std::string_view password, ErrorPtr* error) {
    auto IV = fcRandomDataOfLength(settings.IVSize, error);
    if (!IV) {
        return std::nullopt;
    }
    auto encryptionSalt = fcRandomDataOfLength(settings.keySettings.saltSize, error);
    if (!encryptionSalt) {
        return std::nullopt;
    }
    auto HMACSalt = fcRandomDataOfLength(settings.HMACKeySettings.saltSize, error);
    if (!HMACSalt) {
        return std::nullopt;
    }
    return make(settings, password, *IV, *encryptionSalt, *HMACSalt, error);
}

std::optional<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                                     std::string_view password, ByteView IV,
                                                     ByteView encryptionSalt, ByteView HMACSalt,
                                                     ErrorPtr* error) {
    auto encryptionKey = fcKeyForPassword(password, encryptionSalt, settings.keySettings, error);
    if (!encryptionKey) {
        return std::nullopt;
    }
    auto HMACKey = fcKeyForPassword(password, HMACSalt, settings.HMACKeySettings, error);
    if (!HMACKey) {
        fcCleanse(*encryptionKey);
        return std::nullopt;
    }
    auto writer = make(settings, *encryptionKey, *HMACKey, IV, error);
    fcCleanse(*encryptionKey);
    fcCleanse(*HMACKey);
    if (writer) {
        writer->options_ |= kFCCryptorOptionHasPassword;
        writer->encryptionSalt_.assign(encryptionSalt.begin(), encryptionSalt.end());
        writer->HMACSalt_.assign(HMACSalt.begin(), HMACSalt.end());
    }
    return writer;
}

std::optional<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                                     ByteView encryptionKey, ByteView HMACKey,
                                                     ErrorPtr* error) {
    auto IV = fcRandomDataOfLength(settings.IVSize, error);
    if (!IV) {
        return std::nullopt;
    }
    return make(settings, encryptionKey, HMACKey, *IV, error);
}

std::optional<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                                     ByteView encryptionKey, ByteView HMACKey,
                                                     ByteView IV, ErrorPtr* error) {
    std::optional<FCHMAC> hmac;
    if (!HMACKey.empty()) {
        hmac = FCHMAC::make(settings.HMACAlgorithm, HMACKey, settings.HMACLength, error);
        if (!hmac) {
            return std::nullopt;
        }
    }
    auto engine = FCCryptorEngine::make(FCCryptorEngine::Operation::Encrypt, settings,
                                        encryptionKey, IV, error);
    if (!engine) {
        return std::nullopt;
    }
    return FCMessageWriter(std::move(*engine), std::move(hmac), Bytes(IV.begin(), IV.end()));
}

Bytes FCMessageWriter::header() const {
    Bytes header{kFCCryptorFileVersion, options_};
    if (options_ & kFCCryptorOptionHasPassword) {
        header.insert(header.end(), encryptionSalt_.begin(), encryptionSalt_.end());
        header.insert(header.end(), HMACSalt_.begin(), HMACSalt_.end());
    }
    header.insert(header.end(), IV_.begin(), IV_.end());
    return header;
}

std::size_t FCMessageWriter::messageSize(std::size_t plaintextSize) const {
    constexpr std::size_t kBlock = 16;
    return header().size() + (plaintextSize / kBlock + 1) * kBlock + HMACLength();
}

void FCMessageWriter::writeHeader(Bytes& out) {
    Bytes bytes = header();
    if (hmac_) {
        hmac_->update(bytes);
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    haveWrittenHeader_ = true;
}

ErrorPtr FCMessageWriter::update(ByteView plaintext, Bytes& out) {
    if (finished_) {
        return fcError(kFCCryptorParamError);
    }
    if (!haveWrittenHeader_) {
        writeHeader(out);
    }
    while (!plaintext.empty()) {
        ByteView slice = plaintext.first(std::min(plaintext.size(), kSlice));
        std::size_t start = out.size();
        if (ErrorPtr error = engine_.addData(slice, out)) {
            return error;
        }
        if (hmac_) {
            hmac_->update(ByteView(out).subspan(start));
        }
        plaintext = plaintext.subspan(slice.size());
    }
    return nullptr;
}

ErrorPtr FCMessageWriter::finish(Bytes& out) {
    if (finished_) {
        return fcError(kFCCryptorParamError);
    }
    finished_ = true;
    if (!haveWrittenHeader_) {
        writeHeader(out);
    }
    std::size_t start = out.size();
    if (ErrorPtr error = engine_.finish(out)) {
        return error;
    }
    if (hmac_) {
        hmac_->update(ByteView(out).subspan(start));
        auto tag = hmac_->final();
        if (!tag) {
            return fcError(kFCCryptorParamError);
        }
        out.insert(out.end(), tag->begin(), tag->end());
    }
    return nullptr;
}

}  // namespace quarra
