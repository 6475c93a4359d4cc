#include "record_proof.h"

#include <zlib.h>

#include <stdexcept>

#include "pack_platform.h"
#include "platform/platform.h"

namespace {

// Subkey 1 of this context is the records' MAC key; the context keeps it
// apart from any other use of the seed.
constexpr char kRecordKeyContext[] = "bwrecord";
constexpr std::uint64_t kRecordKeyId = 1;
// Before the record's text: which MAC this is, so that no other message of
// the key could ever be taken for one.
constexpr char kMacHeader[] = "brightwick-record-mac 1\n";

static_assert(crypto_auth_KEYBYTES == 32 && crypto_auth_BYTES == 32, "32-byte keys and MACs");

}  // namespace

RecordKey::RecordKey(const SecretKey& key) {
  sodium_mlock(key_.data(), key_.size());
  key.deriveKey(kRecordKeyId, kRecordKeyContext, key_.data(), key_.size());
}

RecordKey::~RecordKey() {
  // Wipes before unlocking.
  sodium_munlock(key_.data(), key_.size());
}

std::array<unsigned char, 32> RecordKey::macOf(const std::string& name,
                                               const PackedRecord& record) const {
  std::string message = kMacHeader + recordText(name, record);
  std::array<unsigned char, 32> mac;
  crypto_auth(mac.data(), reinterpret_cast<const unsigned char*>(message.data()), message.size(),
              key_.data());
  return mac;
}

bool RecordKey::holds(const std::string& name, const PackedRecord& record) const {
  if (!record.hasMac || !record.hasSha) return false;
  std::string message = kMacHeader + recordText(name, record);
  return crypto_auth_verify(record.mac.data(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                            key_.data()) == 0;
}

void RecordKey::seal(const std::string& name, PackedRecord& record) const {
  record.hasMac = true;
  record.mac = macOf(name, record);
}

InflatedFile inflateAndSum(std::FILE* packed, std::FILE* into, std::uint64_t most,
                           ProgressEngine& engine) {
  InflatedFile result;
  std::int64_t length = fileLength(packed);
  if (length < 0) throw std::runtime_error("cannot read a packed file's length: " + errnoText());
  FilePtr nowhere;
  if (!into) {
    nowhere = openDiscard();
    if (!nowhere) throw std::runtime_error("cannot open the null device: " + errnoText());
    into = nowhere.get();
  }
  Sha256 packedSum, contentSum;
  std::uint64_t limit = engine.outputLimit;
  engine.inputHash = &packedSum;
  engine.outputHash = &contentSum;
  // 0 would mean no bound at all.
  engine.outputLimit = most + 1;
  engine.total_out = 0;
  int status = engine.decompress(packed, into);
  engine.inputHash = engine.outputHash = nullptr;
  engine.outputLimit = limit;
  if (status == Z_ERRNO && engine.total_out <= most) {
    throw std::runtime_error("cannot read or write while inflating: " + errnoText());
  }
  // Bytes after the stream's end are not read as part of it, and the
  // updater's sum covers the whole file: none may be there.
  result.whole = status == Z_OK && length <= INT32_MAX &&
                 static_cast<std::int64_t>(engine.total_in) == length && engine.total_out <= most;
  if (!result.whole) return result;
  PackedRecord& sums = result.sums;
  sums.packedSize = static_cast<std::int32_t>(length);
  sums.packedCrc = engine.inputCrc;
  sums.packedSha = packedSum.finish();
  sums.size = static_cast<std::int32_t>(engine.total_out);
  sums.crc = engine.outputCrc;
  sums.sha = contentSum.finish();
  sums.hasSha = true;
  return result;
}
