#pragma once

// Files the updater itself keeps in the game folder.
inline constexpr char kManifestName[] = "update.dat";
// Where an inflated file is built before it replaces the local one.
inline constexpr char kScratchFile[] = "temp";
// Where a transfer lands before it is trusted.
inline constexpr char kDownloadScratchFile[] = "temp.download";
