// Encryption at rest against its practical limit: the same AES-256-CBC and HMAC-SHA256 work done
// directly with OpenSSL over the same bytes, without the message framing. 256 MiB in memory and as
// a file-to-file streaming copy in 32 KiB chunks; also the key derivation paid once per message.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "BenchScratch.h"
#include "BenchSignIn.h"
#include "BenchSmoke.h"
#include "quarra/RunLoop.h"
#include "storage/crypt/FCDecryptor.h"
#include "storage/crypt/FCEncryptor.h"
#include "storage/crypt/TVKCryptFiles.h"
#include "storage/crypt/TVKCryptStream.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace {

using namespace quarra;
namespace fs = std::filesystem;

const std::size_t kSize = bench::smokeOr(std::size_t{256} << 20, std::size_t{1} << 20);
// The signed-in user's key: the password of every message below.
const std::string& password() {
    static const std::string key = [] {
        auto* server = new test::QuarraTestServer();
        auto* service = new test::QuarraTestService();
        bench::signInBenchUser(*server, *service);
        Result<std::string> key = TVKQuarraCryptManager::sharedInstance().getFileEncryptionKey();
        if (!key) {
            std::fprintf(stderr, "no file-encryption key: %s\n",
                         key.error()->description().c_str());
            std::exit(1);
        }
        return std::move(*key);
    }();
    return key;
}
const Bytes kKey(32, 0x11);
const Bytes kHMACKey(32, 0x22);
const Bytes kIV(16, 0x33);

const Bytes& plaintext() {
    static const Bytes data = [] {
        Bytes d(kSize);
        for (std::size_t i = 0; i < d.size(); ++i) {
            d[i] = static_cast<std::uint8_t>(i * 31 + (i >> 12));
        }
        return d;
    }();
    return data;
}

const Bytes& message() {
    static const Bytes data =
        *FCEncryptor::encryptData(plaintext(), kFCCryptorAES256Settings, password());
    return data;
}

// The reference: one cipher context and one HMAC context, nothing else.
struct Reference {
    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* hmac = EVP_MAC_CTX_new(mac);

    explicit Reference(bool encrypt) {
        EVP_CipherInit_ex(cipher, EVP_aes_256_cbc(), nullptr, kKey.data(), kIV.data(), encrypt);
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
            OSSL_PARAM_construct_end()};
        EVP_MAC_init(hmac, kHMACKey.data(), kHMACKey.size(), params);
    }
    ~Reference() {
        EVP_MAC_CTX_free(hmac);
        EVP_MAC_free(mac);
        EVP_CIPHER_CTX_free(cipher);
    }
    // Encrypts (HMAC over the output) or decrypts (HMAC over the input) one chunk into `out`.
    std::size_t update(const std::uint8_t* in, std::size_t size, std::uint8_t* out, bool encrypt) {
        int n = 0;
        if (!encrypt) {
            EVP_MAC_update(hmac, in, size);
        }
        EVP_CipherUpdate(cipher, out, &n, in, static_cast<int>(size));
        if (encrypt) {
            EVP_MAC_update(hmac, out, static_cast<std::size_t>(n));
        }
        return static_cast<std::size_t>(n);
    }
    std::size_t finish(std::uint8_t* out, bool encrypt) {
        int n = 0;
        EVP_CipherFinal_ex(cipher, out, &n);
        if (encrypt) {
            EVP_MAC_update(hmac, out, static_cast<std::size_t>(n));
        }
        std::uint8_t tag[32];
        std::size_t tagSize = 0;
        EVP_MAC_final(hmac, tag, &tagSize, sizeof tag);
        return static_cast<std::size_t>(n);
    }
};

void BM_InMemory_OpenSSL(benchmark::State& state) {
    bool encrypt = state.range(0) == 1;
    const Bytes& input = encrypt ? plaintext() : message();
    for (auto _ : state) {
        Reference ref(encrypt);
        Bytes out(input.size() + 16);
        std::size_t n = ref.update(input.data(), input.size(), out.data(), encrypt);
        n += ref.finish(out.data() + n, encrypt);
        out.resize(n);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_InMemory_SDK(benchmark::State& state) {
    bool encrypt = state.range(0) == 1;
    for (auto _ : state) {
        auto out = encrypt
                       ? FCEncryptor::encryptData(plaintext(), kFCCryptorAES256Settings, password())
                       : FCDecryptor::decryptData(message(), password());
        if (!out) {
            state.SkipWithError(out.error()->description().c_str());
            break;
        }
        benchmark::DoNotOptimize(out->data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

struct Files {
    fs::path folder = bench::scratchFolder() / "files";
    fs::path plain = folder / "plain";
    fs::path encrypted = folder / "encrypted";
    fs::path output = folder / "output";
    Files() {
        fs::create_directories(folder);
        std::ofstream(plain, std::ios::binary)
            .write(reinterpret_cast<const char*>(plaintext().data()),
                   static_cast<std::streamsize>(kSize));
        std::ofstream(encrypted, std::ios::binary)
            .write(reinterpret_cast<const char*>(message().data()),
                   static_cast<std::streamsize>(message().size()));
    }
    ~Files() { fs::remove_all(folder); }
};

Files& files() {
    static Files f;
    return f;
}

void BM_StreamingCopy_OpenSSL(benchmark::State& state) {
    bool encrypt = state.range(0) == 1;
    const fs::path& source = encrypt ? files().plain : files().encrypted;
    for (auto _ : state) {
        Reference ref(encrypt);
        int in = ::open(source.c_str(), O_RDONLY);
        int out = ::open(files().output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        Bytes chunk(cryptfiles::kChunkSize);
        Bytes result(cryptfiles::kChunkSize + 16);
        for (;;) {
            ssize_t count = ::read(in, chunk.data(), chunk.size());
            std::size_t n = count > 0 ? ref.update(chunk.data(), static_cast<std::size_t>(count),
                                                   result.data(), encrypt)
                                      : ref.finish(result.data(), encrypt);
            if (::write(out, result.data(), n) != static_cast<ssize_t>(n)) {
                state.SkipWithError("write failed");
            }
            if (count <= 0) {
                break;
            }
        }
        ::close(in);
        ::close(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

// The crypt manager's streaming copy, from the call to its handler on the main queue.
void BM_StreamingCopy_SDK(benchmark::State& state) {
    bool encrypt = state.range(0) == 1;
    const fs::path& source = encrypt ? files().plain : files().encrypted;
    password();
    for (auto _ : state) {
        bool done = false;
        ErrorPtr error;
        TVKQuarraCryptManager::sharedInstance().createFileAtPath(files().output, source, nullptr,
                                                                 encrypt, [&](ErrorPtr e) {
                                                                     error = e;
                                                                     done = true;
                                                                 });
        RunLoop::main().runUntil([&] { return done; }, std::chrono::minutes(5));
        if (error) {
            state.SkipWithError(error->description().c_str());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

// An upload reading the decrypting stream in 32 KiB pieces, against the plain file read alike.
void BM_UploadRead_PlainFile(benchmark::State& state) {
    Bytes buffer(cryptfiles::kChunkSize);
    for (auto _ : state) {
        int fd = ::open(files().plain.c_str(), O_RDONLY);
        while (::read(fd, buffer.data(), buffer.size()) > 0) {
        }
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_UploadRead_CryptStream(benchmark::State& state) {
    password();
    Bytes buffer(cryptfiles::kChunkSize);
    for (auto _ : state) {
        auto stream = TVKQuarraCryptManager::sharedInstance().streamFromEncryptedFileAtPath(
            files().encrypted);
        stream->open();
        long n;
        while ((n = stream->read(buffer.data(), buffer.size())) > 0) {
        }
        if (n < 0) {
            state.SkipWithError(stream->error()->description().c_str());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_KeyDerivationPerMessage(benchmark::State& state) {
    const Bytes salt(8, 0x44);
    for (auto _ : state) {
        auto a = FCCryptor::keyForPassword(password(), salt, kFCCryptorAES256Settings.keySettings);
        auto b =
            FCCryptor::keyForPassword(password(), salt, kFCCryptorAES256Settings.HMACKeySettings);
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
    }
}

// Argument 1 encrypts, 0 decrypts; reference and SDK side by side.
BENCHMARK(BM_InMemory_OpenSSL)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));
BENCHMARK(BM_InMemory_SDK)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));
BENCHMARK(BM_StreamingCopy_OpenSSL)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::minTimeOr(2))
    ->UseRealTime();
BENCHMARK(BM_StreamingCopy_SDK)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::minTimeOr(2))
    ->UseRealTime();
BENCHMARK(BM_UploadRead_PlainFile)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));
BENCHMARK(BM_UploadRead_CryptStream)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));
BENCHMARK(BM_KeyDerivationPerMessage)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The benchmark's user and key live in a keychain of its own, never the user's.
    std::string home = bench::scratchFolder() / "home";
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(home);
    return 0;
}
