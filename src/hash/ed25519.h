#pragma once

// Ed25519 public keys and signature checks, from libsodium, and the one line
// of text a public key travels as ("ed25519:<64 hex digits> (key id ...)").

#include <sodium.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

using Ed25519Signature = std::array<unsigned char, crypto_sign_BYTES>;

struct PublicKey {
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> bytes{};
  // The first eight bytes in hex: enough to tell a studio's keys apart.
  std::string id() const;
};

// "ed25519:" and the key's 64 hex digits, then " (key id ...)".
std::string formatPublicKey(const PublicKey& key);
// Reads formatPublicKey's text (the key id part may be left out; if given it
// must match). Surrounding blanks and a line end are allowed.
bool parsePublicKey(const std::string& text, PublicKey* key);

// Whether `signature` is `key`'s over exactly the bytes of `message`.
bool verifyEd25519(const Ed25519Signature& signature, const std::string& message,
                   const PublicKey& key);
