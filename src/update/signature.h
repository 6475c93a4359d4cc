#pragma once

// The signature file the publisher puts beside update.dat ("update.dat.sig")
// and the public keys that check it. Text, LF line ends, one spelling for
// everything, so that the signed bytes have exactly one meaning:
//
//   brightwick-signature 1
//   key 3b6a27bcce4a5e1f
//   serial 1765185600
//   update.dat 5f2b...(64 hex digits: SHA-256 of update.dat)
//   update.patches 91ac...(64 hex digits; only when a patch index is served)
//   signature 0d4e...(128 hex digits)
//
// The signature is Ed25519, by the key whose id is given, over every byte
// before the "signature" line. Lines with other names may stand before it in
// later versions of the format 1: they are signed, and ignored by readers
// that do not know them. The serial only grows from one publish to the next.

#include <sodium.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "update/sha256.h"

inline constexpr std::size_t kMaxSignatureFileSize = 4096;
inline constexpr char kSignatureFormatLine[] = "brightwick-signature 1";

using Ed25519Signature = std::array<unsigned char, crypto_sign_BYTES>;

struct PublicKey {
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> bytes{};
  // The first eight bytes in hex: enough to tell a studio's keys apart.
  std::string id() const;
};

// "ed25519:" and the key's 64 hex digits, then " (key id ...)": the one line
// of text a public key travels as.
std::string formatPublicKey(const PublicKey& key);
// Reads formatPublicKey's text (the key id part may be left out; if given it
// must match). Surrounding blanks and a line end are allowed.
bool parsePublicKey(const std::string& text, PublicKey* key);

struct SignatureFile {
  std::string keyId;
  std::uint64_t serial = 0;
  Sha256Digest manifest{};
  bool hasPatchIndex = false;
  Sha256Digest patchIndex{};
  Ed25519Signature signature{};
  std::string signedText;  // the bytes the signature covers
};

// The signed part of a signature file: every line before "signature".
std::string signedPartOf(const std::string& keyId, std::uint64_t serial,
                         const Sha256Digest& manifest, const Sha256Digest* patchIndex);
// The whole file: the signed part and its signature line.
std::string signatureFileText(const std::string& signedPart, const Ed25519Signature& signature);

// The keys of a generated kBuiltInPublicKeys, as the run takes them.
template <std::size_t N>
std::vector<PublicKey> publicKeysOf(
    const std::array<std::array<unsigned char, crypto_sign_PUBLICKEYBYTES>, N>& builtIn) {
  std::vector<PublicKey> keys(N);
  for (std::size_t i = 0; i < N; ++i) keys[i].bytes = builtIn[i];
  return keys;
}

// Reads a signature file strictly; `why` says what is wrong otherwise.
bool parseSignatureFile(const std::string& text, SignatureFile* file, std::string* why);

// Whether `file` is signed by one of `keys` (chosen by its id); `why` says
// why not.
bool verifySignatureFile(const SignatureFile& file, const std::vector<PublicKey>& keys,
                         std::string* why);
