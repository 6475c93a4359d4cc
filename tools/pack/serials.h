#pragma once

// Which serial a signed publish gives update.dat.sig. Players keep the
// highest serial they accepted and refuse anything below it for ever, so a
// serial too high locks them out of every later publish: the floor comes only
// from what the studio itself signed, the served signature if it verifies
// with the signing key, and the key's state file, which the publisher keeps
// beside the secret key where the web server cannot reach it:
//
//   brightwick-key-state 1
//   serial 1765185600
//
// KEY_FILE.state, replaced whole (written beside it, put on the disk, then
// renamed over it). Stored on the studio's machine only; docs/formats.md
// describes it. Lines with other names are ignored, for later versions.

#include <cstdint>
#include <filesystem>
#include <string>

// The largest serial an updater takes: it reads them as signed 64-bit.
inline constexpr std::uint64_t kMostSerial = static_cast<std::uint64_t>(INT64_MAX);
// How far ahead of the clock a serial may go without --force: a year.
inline constexpr std::int64_t kMostSerialLead = 366 * 24 * 60 * 60;

std::filesystem::path keyStatePath(const std::filesystem::path& keyFile);
std::string formatKeyState(std::uint64_t serial);
// False for anything formatKeyState does not write (a later format included).
bool parseKeyState(const std::string& text, std::uint64_t* serial);

// The last serial signed with `keyFile`'s key, from its state file; 0 when
// there is none. Throws when there is one that cannot be read or understood.
std::uint64_t readKeyState(const std::filesystem::path& keyFile);
// Records `serial` in the state file, replacing it in one step; throws if it
// cannot.
void writeKeyState(const std::filesystem::path& keyFile, std::uint64_t serial);

// The serial for a publish at `now` after `floor` (nextSerial). Throws, saying
// why, when none is left below kMostSerial, or when it would lead the clock
// by more than kMostSerialLead and `force` is not given.
std::uint64_t chooseSerial(std::uint64_t floor, std::int64_t now, bool force);
