// The encrypted data format: fixed vectors made with the openssl command line, round trips in every
// chunking, tampering, truncation, and the queue-and-handler form of the cryptors.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/Hex.h"
#include "quarra/Dispatch.h"
#include "storage/crypt/FCDecryptor.h"
#include "storage/crypt/FCEncryptor.h"

namespace quarra {
namespace {

Bytes unhex(std::string_view text) {
    return *dataFromHexString(text);
}

const Bytes kEncryptionSalt = unhex("0102030405060708");
const Bytes kHMACSalt = unhex("0807060504030201");
const Bytes kIV = unhex("000102030405060708090a0b0c0d0e0f");

Bytes patternBytes(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return data;
}

long errorCode(const ErrorPtr& error) {
    return error ? error->code() : 0;
}

// Messages derived by hand: `openssl kdf ... PBKDF2` (SHA1, 10000 rounds) for both keys,
// `openssl enc -aes-256-cbc -K -iv` for the ciphertext, `openssl dgst -sha256 -mac HMAC` over
// header and ciphertext for the tag.
struct Vector {
    const char* name;
    std::string password;
    std::string plaintext;
    const char* message;
};

const Vector kVectors[] = {
    {"empty", "thepassword", "",
     "030101020304050607080807060504030201000102030405060708090a0b0c0d0e0f4493e6b8ecfd1f47ba58a794a"
     "4"
     "b8916925035a913653b5de2ce8dd285dc9208e91e86160729b8407f1ab29e07fdbf770"},
    {"one block", "thepassword", "Hello, World!",
     "030101020304050607080807060504030201000102030405060708090a0b0c0d0e0fdde200c741a84e5391d2b79c5"
     "0"
     "2634c8243a0df959ba000a99fcece63f3284d97c1777e063cb156f12417aebdc2d9ba0"},
    {"three blocks", "thepassword", "The quick brown fox jumps over the lazy dog",
     "030101020304050607080807060504030201000102030405060708090a0b0c0d0e0fce6f0edf919e5fac9b1005005"
     "2"
     "9d49be66462e585e793ee30f7af06d54d2307991d2e633383a7420b8fc8ebf944954967146efbdc43e99e45088be1"
     "f"
     "597e72b7531652c3accbc0ac4c381b76c93d5770"},
    // A non-ASCII password takes its full UTF-8 bytes in version 3.
    {"non-ASCII password", "p\u00e4ssw\u00f6rd", "Hello, World!",
     "030101020304050607080807060504030201000102030405060708090a0b0c0d0e0f02ffb04f07b2f4e33ca8d8d66"
     "0"
     "c837c8127298af2946456f5a20eea182b94fee12af737e29207089b36d0fa914e8dc46"},
};

TEST(EncryptedDataFormat, FixedIVAndSaltsGiveTheVectorAndTheVectorDecrypts) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        auto message = FCEncryptor::encryptData(toBytes(v.plaintext), kFCCryptorAES256Settings,
                                                v.password, kIV, kEncryptionSalt, kHMACSalt);
        ASSERT_TRUE(message) << message.error()->description();
        EXPECT_EQ(hexString(*message), hexString(unhex(v.message)));
        auto plaintext = FCDecryptor::decryptData(unhex(v.message), v.password);
        ASSERT_TRUE(plaintext);
        EXPECT_EQ(toString(*plaintext), v.plaintext);
    }
}

TEST(EncryptedDataFormat, VersionTwoTakesThePasswordTruncatedToItsUTF16Length) {
    // Keys from the first 8 UTF-8 bytes of the 8-character password "pässwörd" (10 bytes).
    const Bytes v2 = unhex(
        "020101020304050607080807060504030201000102030405060708090a0b0c0d0e0f6b95b85a3cc5d4ad3e1c7d"
        "6f"
        "d09f933c259d530fdff985158721e408e08e17c9bfbdb80014a0b05a247f115096ba2a79");
    auto plaintext = FCDecryptor::decryptData(v2, "p\u00e4ssw\u00f6rd");
    ASSERT_TRUE(plaintext) << plaintext.error()->description();
    EXPECT_EQ(toString(*plaintext), "Hello, World!");

    FCCryptorKeyDerivationSettings v2Rule = kFCCryptorAES256Settings.keySettings;
    v2Rule.hasV2Password = true;
    auto truncated = FCCryptor::keyForPassword("p\u00e4ssw\u00f6rd", kEncryptionSalt, v2Rule);
    auto first8 = FCCryptor::keyForPassword("p\u00e4ssw\u00f6", kEncryptionSalt,
                                            kFCCryptorAES256Settings.keySettings);
    auto full = FCCryptor::keyForPassword("p\u00e4ssw\u00f6rd", kEncryptionSalt,
                                          kFCCryptorAES256Settings.keySettings);
    ASSERT_TRUE(truncated && first8 && full);
    EXPECT_EQ(*truncated, *first8);
    EXPECT_NE(*truncated, *full);
}

TEST(EncryptedDataFormat, KeyBasedMessageHasNoSaltsAndOptionsZero) {
    const Bytes encryptionKey =
        unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes HMACKey = unhex("202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");
    const Bytes IV = unhex("0f0e0d0c0b0a09080706050403020100");
    const std::string expected =
        "03000f0e0d0c0b0a090807060504030201007003d430ea00c516e41b5858c4e93dbb1ef87061ec336d0ee298db"
        "f6"
        "addc60232a9e39dc043e1417f03a6fe4bad3842a";
    auto message = FCEncryptor::encryptData(toBytes("Hello, World!"), kFCCryptorAES256Settings,
                                            encryptionKey, HMACKey, IV);
    ASSERT_TRUE(message);
    EXPECT_EQ(hexString(*message), hexString(unhex(expected)));
    auto plaintext = FCDecryptor::decryptData(*message, encryptionKey, HMACKey);
    ASSERT_TRUE(plaintext);
    EXPECT_EQ(toString(*plaintext), "Hello, World!");
}

// Feeds `input` to a synchronous core in chunks of `chunk` bytes (0: all at once).
template <class Core>
Bytes feed(Core& core, const Bytes& input, std::size_t chunk) {
    Bytes out;
    ByteView rest(input);
    do {
        std::size_t n = chunk == 0 ? rest.size() : std::min(chunk, rest.size());
        EXPECT_EQ(core.update(rest.first(n), out), nullptr);
        rest = rest.subspan(n);
    } while (!rest.empty());
    EXPECT_EQ(core.finish(out), nullptr);
    return out;
}

TEST(EncryptedDataFormat, RoundTripsInEveryChunking) {
    const std::size_t sizes[] = {0, 1, 15, 16, 17, 32767, 32768, 32769, 1 << 20};
    const std::size_t chunks[] = {1, 16, 32768, 0};
    for (std::size_t size : sizes) {
        Bytes plaintext = patternBytes(size);
        auto whole = FCEncryptor::encryptData(plaintext, kFCCryptorAES256Settings, "pw", kIV,
                                              kEncryptionSalt, kHMACSalt);
        ASSERT_TRUE(whole);
        ASSERT_EQ(whole->size(), 34 + (size / 16 + 1) * 16 + 32);
        for (std::size_t chunk : chunks) {
            SCOPED_TRACE("size " + std::to_string(size) + " chunk " + std::to_string(chunk));
            auto writer = FCMessageWriter::make(kFCCryptorAES256Settings, "pw", kIV,
                                                kEncryptionSalt, kHMACSalt);
            ASSERT_TRUE(writer);
            EXPECT_TRUE(feed(*writer, plaintext, chunk) == *whole);
            FCMessageReader reader("pw");
            EXPECT_TRUE(feed(reader, *whole, chunk) == plaintext);
        }
    }
}

TEST(EncryptedDataFormat, EncryptionsOfTheSamePlaintextDiffer) {
    auto a = FCEncryptor::encryptData(toBytes("same"), kFCCryptorAES256Settings, "pw");
    auto b = FCEncryptor::encryptData(toBytes("same"), kFCCryptorAES256Settings, "pw");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->size(), b->size());
    // Salts, IV, ciphertext and tag all differ.
    for (auto [begin, end] : {std::pair{2, 10}, {10, 18}, {18, 34}, {34, 50}, {50, 82}}) {
        EXPECT_FALSE(std::equal(a->begin() + begin, a->begin() + end, b->begin() + begin));
    }
}

TEST(EncryptedDataFormat, AnyChangedByteOrWrongPasswordFailsTheHMAC) {
    Bytes message = *FCEncryptor::encryptData(patternBytes(40), kFCCryptorAES256Settings, "pw");
    struct Region {
        const char* name;
        std::size_t offset;
    };
    const Region regions[] = {{"options", 1},     {"encryption salt", 5},
                              {"HMAC salt", 12},  {"IV", 20},
                              {"ciphertext", 40}, {"last block", 81},
                              {"tag", 82},        {"last tag byte", message.size() - 1}};
    for (const Region& region : regions) {
        SCOPED_TRACE(region.name);
        Bytes damaged = message;
        damaged[region.offset] ^= 0x80;
        ErrorPtr error = FCDecryptor::decryptData(damaged, "pw").error();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(errorCode(error), kFCCryptorHMACMismatch);
        EXPECT_EQ(error->domain(), kFCCryptorErrorDomain);
        EXPECT_EQ(error->localizedDescription(), "HMAC Mismatch");
    }
    EXPECT_EQ(errorCode(FCDecryptor::decryptData(message, "other").error()),
              kFCCryptorHMACMismatch);
}

// A first-version message: the same bytes, but the tag covers the ciphertext alone.
Bytes withHeaderlessTag(const Bytes& message, std::string_view password) {
    const auto& settings = kFCCryptorAES256Settings;
    auto key = FCCryptor::keyForPassword(password, ByteView(message).subspan(10, 8),
                                         settings.HMACKeySettings);
    auto hmac = FCHMAC::make(settings.HMACAlgorithm, *key, settings.HMACLength);
    hmac->update(ByteView(message).subspan(34, message.size() - 34 - 32));
    Bytes result(message.begin(), message.end() - 32);
    Bytes tag = *hmac->final();
    result.insert(result.end(), tag.begin(), tag.end());
    return result;
}

TEST(EncryptedDataFormat, FirstVersionTagLeavesTheHeaderOutOnlyWhenAskedTo) {
    Bytes plaintext = patternBytes(40);
    Bytes current = *FCEncryptor::encryptData(plaintext, kFCCryptorAES256Settings, "pw");
    Bytes firstVersion = withHeaderlessTag(current, "pw");
    struct Case {
        const char* name;
        const Bytes& message;
        bool hasV1HMAC;
        long code;
    } cases[] = {
        {"current tag, flag off", current, false, 0},
        {"current tag, flag on", current, true, kFCCryptorHMACMismatch},
        {"first-version tag, flag off", firstVersion, false, kFCCryptorHMACMismatch},
        {"first-version tag, flag on", firstVersion, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto decryptor = FCDecryptor::make("pw", nullptr);
        EXPECT_FALSE(decryptor->hasV1HMAC());
        decryptor->setHasV1HMAC(c.hasV1HMAC);
        auto result = FCCryptor::synchronousResultForCryptor(decryptor, c.message);
        EXPECT_EQ(errorCode(result.error()), c.code);
        if (result) {
            EXPECT_TRUE(*result == plaintext);
        }
    }
    // The flag does not let a changed header through: the key still comes from the salts.
    Bytes damaged = firstVersion;
    damaged[12] ^= 0x80;
    auto decryptor = FCDecryptor::make("pw", nullptr);
    decryptor->setHasV1HMAC(true);
    EXPECT_EQ(errorCode(FCCryptor::synchronousResultForCryptor(decryptor, damaged).error()),
              kFCCryptorHMACMismatch);
}

TEST(EncryptedDataFormat, UnknownVersionIsRefused) {
    Bytes message = *FCEncryptor::encryptData(patternBytes(40), kFCCryptorAES256Settings, "pw");
    for (std::uint8_t version : {0, 1, 4, 255}) {
        message[0] = version;
        ErrorPtr error = FCDecryptor::decryptData(message, "pw").error();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(errorCode(error), kFCCryptorUnknownHeader);
        EXPECT_EQ(error->localizedDescription(), "Unknown header");
    }
}

TEST(EncryptedDataFormat, TruncatedMessagesAreErrorsNeverEmptyPlaintext) {
    Bytes message = *FCEncryptor::encryptData(patternBytes(40), kFCCryptorAES256Settings, "pw");
    for (std::size_t length = 0; length < message.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(
            errorCode(FCDecryptor::decryptData(ByteView(message).first(length), "pw").error()),
            kFCCryptorHMACMismatch);
    }
}

TEST(EncryptedDataFormat, ConstantTimeComparisonChecksLengthsFirst) {
    const Bytes tag(32, 0xAB);
    struct Case {
        Bytes receiver, argument;
        bool equal;
    };
    const Case cases[] = {{tag, tag, true},
                          {tag, {}, false},
                          {{}, tag, false},
                          {{}, {}, true},
                          {tag, Bytes(31, 0xAB), false},
                          {tag, Bytes(64, 0xAB), false},
                          {Bytes(32, 0), Bytes(32, 1), false}};
    for (const Case& c : cases) {
        EXPECT_EQ(fc_isEqualInConsistentTime(c.receiver, c.argument), c.equal);
    }
}

TEST(EncryptedDataFormat, UnsupportedSettingsAreErrors) {
    FCCryptorSettings settings = kFCCryptorAES256Settings;
    settings.keySettings.rounds = 0;
    EXPECT_EQ(errorCode(FCEncryptor::encryptData(patternBytes(1), settings, "pw").error()),
              kFCCryptorParamError);

    settings = kFCCryptorAES256Settings;
    settings.HMACLength = 64;  // longer than SHA-256
    EXPECT_EQ(errorCode(FCEncryptor::encryptData(patternBytes(1), settings, "pw").error()),
              kFCCryptorParamError);

    EXPECT_EQ(errorCode(FCEncryptor::encryptData(patternBytes(1), kFCCryptorAES256Settings, Bytes(5, 1),
                                                 Bytes(32, 2))
                            .error()),
              kFCCryptorParamError);
}

// The queue-and-handler form.

struct Collector {
    std::mutex mutex;
    std::vector<Bytes> deliveries;
    std::atomic<int> finishedCalls{0};
    ErrorPtr error;
    DispatchSemaphore done;
    std::string queueLabel;

    FCCryptor::Handler handler() {
        return [this](FCCryptor& cryptor, const Bytes& data) {
            std::lock_guard lock(mutex);
            deliveries.push_back(data);
            queueLabel = DispatchQueue::currentLabel();
            if (cryptor.isFinished()) {
                error = cryptor.error();
                ++finishedCalls;
                done.signal();
            }
        };
    }
    Bytes joined() {
        Bytes all;
        for (const Bytes& d : deliveries) {
            all.insert(all.end(), d.begin(), d.end());
        }
        return all;
    }
};

TEST(Cryptors, EncryptorDeliversHeaderWithFirstChunkAndTagWithTheLast) {
    Collector c;
    auto encryptor = FCEncryptor::make(kFCCryptorAES256Settings, "pw", kIV, kEncryptionSalt,
                                       kHMACSalt, c.handler());
    ASSERT_TRUE(encryptor);
    Bytes plaintext = patternBytes(100);
    encryptor->addData(Bytes(plaintext.begin(), plaintext.begin() + 40));
    encryptor->addData(Bytes(plaintext.begin() + 40, plaintext.end()));
    encryptor->finish();
    ASSERT_TRUE(c.done.wait(std::chrono::seconds(10)));
    std::lock_guard lock(c.mutex);
    ASSERT_EQ(c.deliveries.size(), 3u);
    EXPECT_EQ(c.deliveries[0].size(), 34u + 32u);  // header and the first two whole blocks
    EXPECT_EQ(c.deliveries[2].size(), 16u + 32u);  // padding block and tag
    EXPECT_EQ(c.queueLabel, "net.skelwyn.response.FCEncryptor");
    EXPECT_EQ(c.finishedCalls, 1);
    EXPECT_EQ(c.error, nullptr);
    EXPECT_TRUE(encryptor->haveWrittenHeader());
    EXPECT_EQ(hexString(encryptor->header()).substr(0, 4), "0301");
    EXPECT_TRUE(c.joined() == *FCEncryptor::encryptData(plaintext, kFCCryptorAES256Settings, "pw",
                                                        kIV, kEncryptionSalt, kHMACSalt));
}

TEST(Cryptors, FinishAloneGivesTheWholeEmptyMessageAndLaterInputIsIgnored) {
    Collector c;
    auto encryptor = FCEncryptor::make(kFCCryptorAES256Settings, "pw", c.handler());
    ASSERT_TRUE(encryptor);
    encryptor->finish();
    ASSERT_TRUE(c.done.wait(std::chrono::seconds(10)));
    encryptor->addData(patternBytes(10));
    encryptor->finish();
    std::lock_guard lock(c.mutex);
    ASSERT_EQ(c.deliveries.size(), 1u);
    EXPECT_EQ(c.deliveries[0].size(), 82u);
    EXPECT_TRUE(encryptor->isFinished());
    auto plaintext = FCDecryptor::decryptData(c.deliveries[0], "pw");
    ASSERT_TRUE(plaintext);
    EXPECT_TRUE(plaintext->empty());
}

TEST(Cryptors, DecryptorReportsTheHMACMismatchInItsCompletion) {
    Bytes message = *FCEncryptor::encryptData(patternBytes(1000), kFCCryptorAES256Settings, "pw");
    message[500] ^= 1;
    Collector c;
    auto decryptor = FCDecryptor::make("pw", c.handler());
    for (std::size_t i = 0; i < message.size(); i += 100) {
        decryptor->addData(
            Bytes(message.begin() + i, message.begin() + std::min(i + 100, message.size())));
    }
    decryptor->finish();
    ASSERT_TRUE(c.done.wait(std::chrono::seconds(10)));
    EXPECT_EQ(errorCode(c.error), kFCCryptorHMACMismatch);
    EXPECT_EQ(c.finishedCalls, 1);
    EXPECT_EQ(decryptor->options(), 1);
}

TEST(Cryptors, SynchronousRunMatchesTheCoreAndReportsErrors) {
    Bytes plaintext = patternBytes(70000);
    auto encryptor =
        FCEncryptor::make(kFCCryptorAES256Settings, "pw", kIV, kEncryptionSalt, kHMACSalt, nullptr);
    auto message = FCCryptor::synchronousResultForCryptor(encryptor, plaintext);
    ASSERT_TRUE(message);
    EXPECT_TRUE(*message == *FCEncryptor::encryptData(plaintext, kFCCryptorAES256Settings, "pw",
                                                      kIV, kEncryptionSalt, kHMACSalt));
    auto decrypted =
        FCCryptor::synchronousResultForCryptor(FCDecryptor::make("pw", nullptr), *message);
    ASSERT_TRUE(decrypted);
    EXPECT_TRUE(*decrypted == plaintext);

    EXPECT_EQ(errorCode(FCCryptor::synchronousResultForCryptor(FCDecryptor::make("wrong", nullptr),
                                                               *message)
                            .error()),
              kFCCryptorHMACMismatch);
    // A cryptor that could not be made, or one that has finished, cannot hang the caller.
    EXPECT_EQ(errorCode(FCCryptor::synchronousResultForCryptor(nullptr, plaintext).error()),
              kFCCryptorParamError);
    EXPECT_FALSE(FCCryptor::synchronousResultForCryptor(encryptor, plaintext));
}

TEST(Cryptors, EncryptorThatCannotBeMadeReportsThroughItsHandler) {
    Collector c;
    auto encryptor =
        FCEncryptor::make(kFCCryptorAES256Settings, Bytes(5, 1), Bytes(32, 2), c.handler());
    EXPECT_EQ(encryptor, nullptr);
    ASSERT_TRUE(c.done.wait(std::chrono::seconds(10)));
    EXPECT_EQ(errorCode(c.error), kFCCryptorParamError);
    EXPECT_EQ(c.finishedCalls, 1);
}

TEST(HexConversion, HexStringAndBack) {
    EXPECT_EQ(hexString(Bytes{0x00, 0xAB, 0x7F}), "00AB7F");
    EXPECT_EQ(hexString(Bytes{}), "");
    struct Case {
        std::string text;
        std::optional<Bytes> bytes;
    };
    const Case cases[] = {
        {"00AB7F", Bytes{0x00, 0xAB, 0x7F}},
        {"00ab7f", Bytes{0x00, 0xAB, 0x7F}},
        {"0aB", std::nullopt},
        {"", Bytes{}},
        {"zz", std::nullopt},
        {"  ", Bytes{0}},
        {":?", Bytes{0xAF}},
        {"G0", std::nullopt},
        {"@0", std::nullopt},
        {std::string("AB\0CD", 5), Bytes{0xAB}},
        {"\xc3\xa4", Bytes{0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(dataFromHexString(c.text), c.bytes);
    }
}

}  // namespace
}  // namespace quarra
