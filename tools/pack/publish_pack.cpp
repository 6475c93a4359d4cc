#include <zlib.h>

#include <stdexcept>
#include <system_error>

#include "hash/hex.h"
#include "publish_steps.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

// Whether the packed file a previous run made for `file` may stand for it:
// the release file has the size and CRC its record says went into it, and
// the packed file is still the one the record describes. Reads both.
bool reusable(const Candidate& file, PackedRecord& record, const fs::path& packed,
              const std::function<void(std::uint64_t)>& report, bool withSha) {
  std::error_code error;
  std::uintmax_t releaseSize = fs::file_size(file.source, error);
  if (error || releaseSize != static_cast<std::uintmax_t>(record.size)) return false;
  std::uintmax_t packedSize = fs::file_size(packed, error);
  if (error || !fs::is_regular_file(statusOf(packed)) ||
      packedSize != static_cast<std::uintmax_t>(record.packedSize)) {
    return false;
  }
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  Sha256Digest sha{}, packedSha{};
  measureFile(file.source, &size, &crc, report, withSha ? &sha : nullptr);
  if (size != static_cast<std::uint64_t>(record.size) || crc != record.crc) return false;
  std::uint64_t read = size;
  measureFile(
      packed, &size, &crc, [&](std::uint64_t bytes) { report(read + bytes); },
      withSha ? &packedSha : nullptr);
  if (size != static_cast<std::uint64_t>(record.packedSize) || crc != record.packedCrc) {
    return false;
  }
  if (!withSha) return true;
  // Sums a signed publish kept must still hold; an unsigned one's record
  // gains them from the bytes just read.
  if (record.hasSha && (record.sha != sha || record.packedSha != packedSha)) return false;
  record.hasSha = true;
  record.sha = sha;
  record.packedSha = packedSha;
  return true;
}

// Packs `file` into `scratchFile`. The record's size and CRC are those of
// the bytes that went into the stream, so that nothing done to the release
// file meanwhile can make the manifest disagree with the packed file.
PackedRecord pack(const Candidate& file, const fs::path& scratchFile, ProgressEngine& engine,
                  int level, bool withSha) {
  std::error_code error;
  fs::file_time_type writtenBefore = fs::last_write_time(file.source, error);
  std::uintmax_t sizeBefore = fs::file_size(file.source, error);
  engine.total_out = 0;
  Sha256 inputHash, outputHash;
  engine.inputHash = withSha ? &inputHash : nullptr;
  engine.outputHash = withSha ? &outputHash : nullptr;
  int status = engine.compress(narrowOrThrow(file.source).c_str(),
                               narrowOrThrow(scratchFile).c_str(), level);
  engine.inputHash = engine.outputHash = nullptr;
  if (status != Z_OK) {
    bool tooLarge = engine.total_out > engine.outputLimit;
    throw std::runtime_error("cannot compress " + quotedName(file.name) +
                             (tooLarge
                                  ? ": it compresses to 2 GiB or more, beyond the updater's sizes"
                                  : ": zlib result " + std::to_string(status) +
                                        " (unreadable file, or the output folder's disk is full)"));
  }
  // total_in has 32 bits on Windows; a file that grew far enough to wrap it
  // shows in its size and time stamp below.
  std::uint64_t read = static_cast<std::uint64_t>(engine.total_in);
  if (read > static_cast<std::uint64_t>(INT32_MAX)) {
    throw std::runtime_error(quotedName(file.name) +
                             " grew to 2 GiB or more while being published");
  }
  // An ordinary write shows in the time stamp or the size, and is reported;
  // a change that shows in neither still yields a packed file and a manifest
  // line that agree.
  fs::file_time_type writtenAfter = fs::last_write_time(file.source, error);
  if (error || writtenAfter != writtenBefore || read != sizeBefore) {
    throw std::runtime_error(quotedName(file.name) + " changed while it was being published");
  }
  // The output limit keeps total_out below 2 GiB.
  std::uint64_t written = static_cast<std::uint64_t>(engine.total_out);
  if (fs::file_size(scratchFile) != written) {
    throw std::runtime_error("the packed " + quotedName(file.name) + " in " + shown(scratchFile) +
                             " is not what was written to it");
  }
  PackedRecord record;
  record.packedSize = static_cast<std::int32_t>(written);
  record.packedCrc = engine.outputCrc;
  record.size = static_cast<std::int32_t>(read);
  record.crc = engine.inputCrc;
  if (withSha) {
    record.hasSha = true;
    record.sha = inputHash.finish();
    record.packedSha = outputHash.finish();
  }
  return record;
}

}  // namespace

PackedRelease packRelease(const std::vector<Candidate>& files, const Previous& previous,
                          const PublishOptions& options, bool withSha, const fs::path& out,
                          const fs::path& scratch, Journal& journal, DeltaRun& patches,
                          PublishResult& result) {
  PackProgress progress;
  progress.filesTotal = files.size();
  auto report = [&](std::uint64_t base, std::uint64_t fileBytes) {
    if (!options.progress) return;
    progress.bytesDone = base + fileBytes;
    options.progress(progress);
  };

  ProgressEngine engine;
  // A packed size must fit the manifest's signed 32-bit field too.
  engine.outputLimit = static_cast<std::uint64_t>(INT32_MAX);
  PackedRelease release;
  std::string& manifest = release.manifest;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Candidate& file = files[i];
    progress.current = file.name;
    const std::uint64_t base = progress.bytesDone;
    std::uint64_t read = 0;
    auto onBytes = [&](std::uint64_t bytes) {
      read = bytes;
      report(base, bytes);
    };

    auto previousRecord = previous.records.find(file.name);
    PackedRecord record;
    bool reused = false;
    if (!options.force && previousRecord != previous.records.end()) {
      record = previousRecord->second;
      reused = reusable(file, record, out / file.relative, onBytes, withSha);
    }
    if (reused) {
      keepPatches(patches, file.name, record);
      result.reused.push_back(file.name);
    } else {
      std::uint64_t measured = read;
      engine.onBytes = [&](std::uint64_t bytes) { report(base + measured, bytes); };
      record = pack(file, scratch / std::to_string(i), engine, options.level, withSha);
      read = measured + static_cast<std::uint64_t>(record.size);
      JournalPut put;
      put.source = std::to_string(i);
      put.target = file.name;
      put.size = static_cast<std::uint64_t>(record.packedSize);
      put.crc = record.packedCrc;
      journal.puts.push_back(put);
      result.packed.push_back(file.name);
      result.bytesCompressed += static_cast<std::uint64_t>(record.size);
      if (withSha) {
        makePatches(patches, file.name, scratch / put.source, record,
                    previousRecord != previous.records.end() ? &previousRecord->second : nullptr,
                    out / file.relative, engine);
      }
    }
    release.records[file.name] = record;
    manifest += formatManifestLine(file.name, record.packedSize, record.size, record.crc);
    // A signed manifest names each packed file's SHA-256 in a fifth field,
    // which older updaters ignore.
    if (withSha) manifest += "," + toHex(record.packedSha);
    manifest += "\n";
    progress.bytesDone = base + read;
    progress.filesDone = i + 1;
    report(progress.bytesDone, 0);
  }
  result.listed = files.size();
  if (manifest.size() > static_cast<std::size_t>(kManifestBound)) {
    throw std::runtime_error("update.dat would be " + std::to_string(manifest.size()) +
                             " bytes; the updater reads at most " + std::to_string(kManifestBound) +
                             " bytes");
  }
  return release;
}
