#pragma once

// What a signed run remembers in the game folder between runs (kStateFile):
// the highest signature serial it accepted, so that an older signed release
// is never taken again.
//
//   brightwick-state 1
//   serial 1765185600

#include <cstdint>

// The highest serial this game folder accepted; 0 if none.
std::uint64_t acceptedSerial();
// Records `serial` as the highest accepted, replacing kStateFile atomically.
bool storeAcceptedSerial(std::uint64_t serial);
