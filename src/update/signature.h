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
//   update.bundles 77e0...(64 hex digits; only when a bundle index is served)
//   signature 0d4e...(128 hex digits)
//
// The signature is Ed25519, by the key whose id is given, over every byte
// before the "signature" line. Lines with other names may stand before it in
// later versions of the format 1: they are signed, and ignored by readers
// that do not know them. The serial only grows from one publish to the next.

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "hash/ed25519.h"
#include "hash/sha256.h"

inline constexpr std::size_t kMaxSignatureFileSize = 4096;
inline constexpr char kSignatureFormatLine[] = "brightwick-signature 1";

struct SignatureFile {
  std::string keyId;
  std::uint64_t serial = 0;
  Sha256Digest manifest{};
  bool hasPatchIndex = false;
  Sha256Digest patchIndex{};
  bool hasBundleIndex = false;
  Sha256Digest bundleIndex{};
  Ed25519Signature signature{};
  std::string signedText;  // the bytes the signature covers
};

// The signed part of a signature file: every line before "signature".
std::string signedPartOf(const std::string& keyId, std::uint64_t serial,
                         const Sha256Digest& manifest, const Sha256Digest* patchIndex,
                         const Sha256Digest* bundleIndex = nullptr);
// The whole file: the signed part and its signature line.
std::string signatureFileText(const std::string& signedPart, const Ed25519Signature& signature);

// Reads a signature file strictly; the status says what is wrong otherwise.
Status parseSignatureFile(const std::string& text, SignatureFile* file);

// Whether `file` is signed by one of `keys` (chosen by its id).
Status verifySignatureFile(const SignatureFile& file, const std::vector<PublicKey>& keys);
