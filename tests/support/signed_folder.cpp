#include "support/signed_folder.h"
#include "hash/hex.h"

#include <zlib.h>

#include "support/temp_dir.h"

namespace {

std::uint32_t crcOf(const std::string& bytes) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace

std::unique_ptr<SecretKey> testKey(const std::string& name) {
  auto key = std::make_unique<SecretKey>();
  if (name == "other") {
    unsigned char seed[crypto_sign_SEEDBYTES];
    randombytes_buf(seed, sizeof seed);
    key->setSeed(seed);
    return key;
  }
  std::string why;
  if (!loadSecretKey(std::string(BRIGHTWICK_TEST_DATA) + "/signing-" + name + ".key", key.get(),
                     &why)) {
    throw std::runtime_error("test key " + name + " " + why);
  }
  return key;
}

PublicKey testPublicKey(const std::string& name) {
  return testKey(name)->publicKey();
}

std::filesystem::path copyTestKey(const std::string& name, const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  std::filesystem::path key = folder / ("signing-" + name + ".key");
  for (const char* suffix : {"", ".pub"}) {
    std::filesystem::copy_file(std::string(BRIGHTWICK_TEST_DATA) + "/signing-" + name + ".key" +
                                   suffix,
                               key.string() + suffix,
                               std::filesystem::copy_options::overwrite_existing);
  }
  return key;
}

std::string sha256Text(const std::string& bytes) {
  Sha256 sum;
  sum.update(bytes.data(), bytes.size());
  return toHex(sum.finish());
}

void SignedFolder::add(const std::string& name, const std::string& data,
                       const std::string& packed) {
  std::string body = packed.empty() ? zlibStream(data) : packed;
  Reply reply;
  reply.body = body;
  files[name] = reply;
  manifest += manifestLine(name, data, body) + "," + sha256Text(body) + "\n";
}

void SignedFolder::sign(const SecretKey& key, std::uint64_t serial) {
  Sha256 sum;
  sum.update(manifest.data(), manifest.size());
  files["update.dat"].body = manifest;
  files["update.dat.sig"].body = signatureFor(key, serial, sum.finish(), nullptr);
}

std::map<std::string, Reply> servedFolder(const std::filesystem::path& out) {
  std::map<std::string, Reply> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
    if (!entry.is_regular_file()) continue;
    Reply reply;
    reply.body = readFile(entry.path());
    reply.ranges = true;
    reply.etag = "\"" + sha256Text(reply.body).substr(0, 16) + "\"";
    files[entry.path().lexically_relative(out).generic_string()] = reply;
  }
  return files;
}

std::string withCrc(std::string data, std::uint32_t crc) {
  // The CRC of the data with its last four bytes x is affine in x over
  // GF(2): solve for x bit by bit from the 32 unit vectors.
  std::size_t at = data.size() - 4;
  auto crcWith = [&](std::uint32_t x) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<char>((x >> (8 * i)) & 0xFF);
    return crcOf(data);
  };
  std::uint32_t base = crcWith(0);
  std::uint32_t columns[32];
  for (int bit = 0; bit < 32; ++bit) columns[bit] = crcWith(std::uint32_t{1} << bit) ^ base;
  // Gaussian elimination on the 32 x 32 system columns * x = crc ^ base.
  std::uint32_t target = crc ^ base;
  std::uint32_t rows[32];
  std::uint32_t combo[32];  // which unit vectors make up each pivot column
  int used = 0;
  for (int bit = 0; bit < 32; ++bit) {
    std::uint32_t column = columns[bit], mix = std::uint32_t{1} << bit;
    for (int r = 0; r < used; ++r) {
      std::uint32_t pivot = rows[r] & (~rows[r] + 1);
      if (column & pivot) {
        column ^= rows[r];
        mix ^= combo[r];
      }
    }
    if (column == 0) continue;
    rows[used] = column;
    combo[used] = mix;
    ++used;
  }
  std::uint32_t x = 0;
  for (int r = 0; r < used; ++r) {
    std::uint32_t pivot = rows[r] & (~rows[r] + 1);
    if (target & pivot) {
      target ^= rows[r];
      x ^= combo[r];
    }
  }
  crcWith(x);
  return data;
}
