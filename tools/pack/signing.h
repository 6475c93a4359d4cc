#pragma once

// The studio's signing keys and the signature file a signed publish writes.
//
// The secret key file is text, created owner-only and never overwritten:
//
//   brightwick-secret-key 1
//   ed25519-seed <64 hex digits>
//
// Beside it, KEY_FILE.pub holds the public key as formatPublicKey writes it
// (the line to build into the updater).

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "hash/sha256.h"
#include "update/signature.h"

// An Ed25519 key pair in memory, kept out of swap where the system allows it
// and wiped when it goes.
class SecretKey {
 public:
  SecretKey();
  ~SecretKey();
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;

  // Derives the pair from `seed`.
  void setSeed(const unsigned char* seed);
  const PublicKey& publicKey() const { return public_; }
  Ed25519Signature sign(const std::string& message) const;
  // Fills `out` (`size` bytes, crypto_kdf_BYTES_MIN to _MAX) with subkey `id`
  // of `context` (8 characters), derived from the seed with crypto_kdf: a
  // key for another purpose that only the holder of this one can make.
  void deriveKey(std::uint64_t id, const char (&context)[crypto_kdf_CONTEXTBYTES + 1],
                 unsigned char* out, std::size_t size) const;

 private:
  struct Material {
    unsigned char seed[crypto_sign_SEEDBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
  };
  Material material_;
  PublicKey public_;
};

// Makes a new key pair: `keyFile` (owner-only; refused if anything is there)
// and `keyFile`.pub. False, with `why`, if either cannot be written.
bool generateKeyFiles(const std::filesystem::path& keyFile, PublicKey* publicKey, std::string* why);

// Reads the secret key file; false, with `why`, if it is not one.
bool loadSecretKey(const std::filesystem::path& keyFile, SecretKey* key, std::string* why);

// A public key given on the command line: the path of a .pub file, or the
// key's text itself.
bool loadPublicKey(const std::string& argument, PublicKey* key, std::string* why);

// The serial for a publish now: the time in seconds, or one more than the
// previous serial if the clock went back; 0 when `previous` is already the
// largest serial an updater takes (serials.h).
std::uint64_t nextSerial(std::uint64_t previous, std::int64_t now);

// The whole signature file for a publish.
std::string signatureFor(const SecretKey& key, std::uint64_t serial, const Sha256Digest& manifest,
                         const Sha256Digest* patchIndex, const Sha256Digest* bundleIndex = nullptr);

// Creates `path` for writing, readable and writable by its owner alone;
// fails if anything is there. (key_file_posix.cpp, key_file_win32.cpp)
std::FILE* createPrivateFile(const std::filesystem::path& path);
