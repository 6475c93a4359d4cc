#include "platform/game_folder.h"

#include "base/file_ptr.h"

bool readSmallFile(const std::string& name, std::size_t most, std::string* text) {
  FilePtr file(openRegularFile(name));
  if (!file) return false;
  text->clear();
  char chunk[512];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    text->append(chunk, got);
    if (text->size() > most) return false;
  }
  return !std::ferror(file.get());
}
