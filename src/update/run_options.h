#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "download/session.h"
#include "hash/ed25519.h"
#include "platform/running_program.h"

// How the shell asks for a run; handed down to every step that depends on it.
struct RunOptions {
  // The keys whose signature the run requires, from the keys built into the
  // program. Empty: the run trusts update.dat as it always has.
  std::vector<PublicKey> publicKeys;
  // Whether the run has no window (the terminal line): nobody is there to
  // start it again, so a cut transfer that was getting on is tried again a
  // few times.
  bool headless = false;
  // The file the updater runs from, as the shell found it at the start:
  // where the manifest lists it, its new version goes in by another way
  // (put_in_place.h). Unknown: no listed file is the updater.
  FileIdentity updaterFile;

  bool isSigned() const { return !publicKeys.empty(); }
};

// What every step of a run takes: how the shell asked for it, and what its
// transfers share.
struct RunContext {
  const RunOptions& options;
  DownloadSession downloads;
};

// The keys of a generated kBuiltInPublicKeys (the ones the program was built
// with), as the run takes them.
template <std::size_t N>
std::vector<PublicKey> publicKeysOf(
    const std::array<std::array<unsigned char, crypto_sign_PUBLICKEYBYTES>, N>& builtIn) {
  std::vector<PublicKey> keys(N);
  for (std::size_t i = 0; i < N; ++i) keys[i].bytes = builtIn[i];
  return keys;
}
