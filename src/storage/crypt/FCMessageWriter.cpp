#include "storage/crypt/FCMessageWriter.h"

namespace quarra {
namespace {

// Cipher and HMAC take turns over slices of this size, so the HMAC reads ciphertext still in cache.
constexpr std::size_t kWriteSlice = 64 * 1024;

}  // namespace

Result<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                              std::string_view password) {
    auto IV = fcRandomDataOfLength(settings.IVSize);
    if (!IV) {
        return IV.error();
    }
    auto encryptionSalt = fcRandomDataOfLength(settings.keySettings.saltSize);
    if (!encryptionSalt) {
        return encryptionSalt.error();
    }
    auto HMACSalt = fcRandomDataOfLength(settings.HMACKeySettings.saltSize);
    if (!HMACSalt) {
        return HMACSalt.error();
    }
    return make(settings, password, *IV, *encryptionSalt, *HMACSalt);
}

Result<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                              std::string_view password, ByteView IV,
                                              ByteView encryptionSalt, ByteView HMACSalt) {
    auto encryptionKey = fcKeyForPassword(password, encryptionSalt, settings.keySettings);
    if (!encryptionKey) {
        return encryptionKey.error();
    }
    auto HMACKey = fcKeyForPassword(password, HMACSalt, settings.HMACKeySettings);
    if (!HMACKey) {
        fcCleanse(*encryptionKey);
        return HMACKey.error();
    }
    auto writer = make(settings, *encryptionKey, *HMACKey, IV);
    fcCleanse(*encryptionKey);
    fcCleanse(*HMACKey);
    if (writer) {
        writer->options_ |= kFCCryptorOptionHasPassword;
        writer->encryptionSalt_.assign(encryptionSalt.begin(), encryptionSalt.end());
        writer->HMACSalt_.assign(HMACSalt.begin(), HMACSalt.end());
    }
    return writer;
}

Result<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                              ByteView encryptionKey, ByteView HMACKey) {
    auto IV = fcRandomDataOfLength(settings.IVSize);
    if (!IV) {
        return IV.error();
    }
    return make(settings, encryptionKey, HMACKey, *IV);
}

Result<FCMessageWriter> FCMessageWriter::make(const FCCryptorSettings& settings,
                                              ByteView encryptionKey, ByteView HMACKey,
                                              ByteView IV) {
    std::optional<FCHMAC> hmac;
    if (!HMACKey.empty()) {
        auto made = FCHMAC::make(settings.HMACAlgorithm, HMACKey, settings.HMACLength);
        if (!made) {
            return made.error();
        }
        hmac = std::move(*made);
    }
    auto engine =
        FCCryptorEngine::make(FCCryptorEngine::Operation::Encrypt, settings, encryptionKey, IV);
    if (!engine) {
        return engine.error();
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
        ByteView slice = plaintext.first(std::min(plaintext.size(), kWriteSlice));
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
            return tag.error();
        }
        out.insert(out.end(), tag->begin(), tag->end());
    }
    return nullptr;
}

}  // namespace quarra
