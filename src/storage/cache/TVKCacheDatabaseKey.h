#pragma once
// Keys for the cache database files without paying the engine's passphrase derivation at every
// opening. The engine turns a passphrase into the page key with PBKDF2-HMAC-SHA1, 64,000 rounds,
// over the 16-byte salt that starts the file; that costs tens of milliseconds, and every cache
// operation opens and keys its file anew. Here the derivation runs once per file, passphrase and
// process, and later openings hand the engine the derived key as raw key data ("x'<hex>'"), which
// it takes as it stands. The file format does not change: the stock shell still opens a file with
// the passphrase.
//
// Derived keys are kept in process memory only (as the engine keeps them itself), indexed by the
// file path and a digest of the passphrase, never by the passphrase. Safe to call from any thread.
#include <filesystem>
#include <optional>
#include <string>

namespace quarra {

class TVKCacheDatabaseKey {
  public:
    TVKCacheDatabaseKey() = delete;

    // The key text to give the connection of `path` for `passphrase`: raw key data when the file
    // already holds its salt, else the passphrase itself (a new or empty file gets its salt from
    // the engine when first written).
    static std::string keyForDatabase(const std::filesystem::path& path,
                                      const std::string& passphrase);
    // Forgets every derived key (tests and benchmarks measure the first opening with it).
    static void forgetDerivedKeys();
};

}  // namespace quarra
