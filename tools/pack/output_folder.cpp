#include "output_folder.h"

#include <cerrno>
#include <stdexcept>

#include "hash/file_reader.h"
#include "pack_support.h"

std::string joinName(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (name.empty()) return folder;
  return folder + "/" + name;
}

std::string parentName(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

std::string whyNot(const OutputFolder& folder, const std::string& name) {
  int error = errno;
  EntryKind kind = folder.kind(name);
  if (error == ELOOP || kind == EntryKind::blocked || kind == EntryKind::link) {
    return "it, or a folder on its way, is a symbolic link or junction, and brightwick-pack "
           "follows none in the output folder";
  }
  errno = error;
  return errnoText();
}

FilePtr openServed(const OutputFolder& folder, const std::string& name) {
  FilePtr in = folder.openRead(name);
  if (!in) {
    throw std::runtime_error("cannot read " + shown(folder.pathOf(name)) + ": " +
                             whyNot(folder, name));
  }
  return in;
}

FilePtr createServed(const OutputFolder& folder, const std::string& name) {
  FilePtr out = folder.create(name);
  if (!out) {
    throw std::runtime_error("cannot create " + shown(folder.pathOf(name)) + ": " +
                             whyNot(folder, name));
  }
  return out;
}

std::string readServed(const OutputFolder& folder, const std::string& name, std::uint64_t limit) {
  FilePtr in = openServed(folder, name);
  return readWholeStream(in.get(), folder.pathOf(name), limit);
}

void writeServed(const OutputFolder& folder, const std::string& name, const std::string& text) {
  writeWholeStream(createServed(folder, name), folder.pathOf(name), text);
}

void copyServed(const OutputFolder& folder, const std::string& from, const std::string& to) {
  FilePtr in = openServed(folder, from);
  FilePtr copy = createServed(folder, to);
  bool written = true;
  bool read = readChunks(in.get(), [&](const unsigned char* data, std::size_t size) {
    written = written && std::fwrite(data, 1, size, copy.get()) == size;
  });
  if (std::fclose(copy.release()) != 0 || !read || !written) {
    throw std::runtime_error("cannot copy " + shown(folder.pathOf(from)) + " to " +
                             shown(folder.pathOf(to)) + ": " + errnoText());
  }
}
