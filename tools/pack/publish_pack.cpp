#include <zlib.h>

#include <stdexcept>
#include <system_error>

#include "hash/hex.h"
#include "platform/platform.h"
#include "publish_steps.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace {

using OnBytes = std::function<void(std::uint64_t)>;

// The release file's size and CRC-32 (and SHA-256 where `sha` is set).
PackedRecord measureRelease(const Candidate& file, const OnBytes& report, bool sha) {
  std::uint64_t size = 0;
  PackedRecord sums;
  measureFile(file.source, &size, &sums.crc, report, sha ? &sums.sha : nullptr);
  sums.size = size <= static_cast<std::uint64_t>(INT32_MAX) ? static_cast<std::int32_t>(size) : -1;
  sums.hasSha = sha;
  return sums;
}

bool sameContent(const PackedRecord& a, const PackedRecord& b) {
  return a.size == b.size && a.crc == b.crc && (!a.hasSha || !b.hasSha || a.sha == b.sha);
}

bool samePacked(const PackedRecord& a, const PackedRecord& b) {
  return a.packedSize == b.packedSize && a.packedCrc == b.packedCrc &&
         (!a.hasSha || !b.hasSha || a.packedSha == b.packedSha);
}

// Whether the packed file a previous run made for `file` may stand for it.
// Unsigned: the release file has the size and CRC its record says went into
// it, and the packed file is still the one the record describes; an unsigned
// updater believes the server in any case. Signed: the same with SHA-256
// sums, in a record the studio's key vouches for (record.proven); without
// that, the packed file must inflate to the release file's very bytes, and
// the record is made anew from what was read. Reads each file once.
bool reusable(const Candidate& file, PackedRecord& record, const OutputFolder& out,
              const OnBytes& report, const Signing& signing, ProgressEngine& engine) {
  std::error_code error;
  std::uintmax_t releaseSize = fs::file_size(file.source, error);
  if (error || releaseSize != static_cast<std::uintmax_t>(record.size)) return false;
  FilePtr packed = out.openRead(file.name);
  if (!packed || fileLength(packed.get()) != record.packedSize) return false;

  const bool withSha = signing.on();
  PackedRecord release = measureRelease(file, report, withSha);
  if (!sameContent(release, record)) return false;
  std::uint64_t read = static_cast<std::uint64_t>(release.size);
  OnBytes after = [&](std::uint64_t bytes) { report(read + bytes); };
  if (!withSha || record.proven) {
    PackedRecord served;
    std::uint64_t size = 0;
    measureStream(packed.get(), out.pathOf(file.name), &size, &served.packedCrc, after,
                  withSha ? &served.packedSha : nullptr);
    served.packedSize = static_cast<std::int32_t>(size);
    served.hasSha = withSha;
    return size == static_cast<std::uint64_t>(record.packedSize) && samePacked(served, record);
  }
  engine.onBytes = after;
  InflatedFile inflated = inflateAndSum(packed.get(), nullptr, releaseSize, engine);
  engine.onBytes = nullptr;
  if (!inflated.whole || inflated.sums.size != release.size || inflated.sums.sha != release.sha) {
    return false;
  }
  // Only its own content is proven; what it says of earlier versions waits
  // for the patches' own proof (deltas.h).
  std::vector<VersionRecord> previous = std::move(record.previous);
  record = inflated.sums;
  record.previous = std::move(previous);
  return true;
}

// Packs `file` into the scratch file `scratchFile`. The record's size and
// CRC are those of the bytes that went into the stream, so that nothing done
// to the release file meanwhile can make the manifest disagree with the
// packed file.
PackedRecord pack(const Candidate& file, const OutputFolder& out, const std::string& scratchFile,
                  ProgressEngine& engine, int level, bool withSha) {
  std::error_code error;
  fs::file_time_type writtenBefore = fs::last_write_time(file.source, error);
  std::uintmax_t sizeBefore = fs::file_size(file.source, error);
  engine.total_out = 0;
  Sha256 inputHash, outputHash;
  engine.inputHash = withSha ? &inputHash : nullptr;
  engine.outputHash = withSha ? &outputHash : nullptr;
  int status;
  std::int64_t written = -1;
  {
    FilePtr in(openShared(narrowOrThrow(file.source), "rb"));
    if (!in) throw std::runtime_error("cannot read " + shown(file.source) + ": " + errnoText());
    std::setvbuf(in.get(), nullptr, _IOFBF, 64 * 1024);
    FilePtr packed = createServed(out, scratchFile);
    status = engine.compress(in.get(), packed.get(), level);
    written = fileLength(packed.get());
    if (std::fclose(packed.release()) != 0 && status == Z_OK) status = Z_ERRNO;
  }
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
  if (written != static_cast<std::int64_t>(engine.total_out)) {
    throw std::runtime_error("the packed " + quotedName(file.name) + " in " +
                             shown(out.pathOf(scratchFile)) + " is not what was written to it");
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
                          const PublishOptions& options, const Signing& signing,
                          const OutputFolder& out, const std::string& scratch, Journal& journal,
                          DeltaRun& patches, PublishResult& result) {
  const bool withSha = signing.on();
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

    auto found = previous.records.find(file.name);
    PackedRecord served;
    if (found != previous.records.end()) {
      served = found->second;
      served.proven = signing.records && signing.records->holds(file.name, served);
    }
    PackedRecord record = served;
    bool reused = !options.force && found != previous.records.end() &&
                  reusable(file, record, out, onBytes, signing, engine);
    if (reused) {
      keepPatches(patches, file.name, record);
      result.reused.push_back(file.name);
    } else {
      std::uint64_t measured = read;
      engine.onBytes = [&](std::uint64_t bytes) { report(base + measured, bytes); };
      std::string scratchFile = joinName(scratch, std::to_string(i));
      record = pack(file, out, scratchFile, engine, options.level, withSha);
      engine.onBytes = nullptr;
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
        makePatches(patches, file.name, scratchFile, record,
                    found != previous.records.end() ? &served : nullptr, engine);
      }
    }
    if (signing.records) {
      signing.records->seal(file.name, record);
    } else if (record.hasMac && recordText(file.name, record) != recordText(file.name, served)) {
      // An unsigned publish cannot vouch for what it changed.
      record.hasMac = false;
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
