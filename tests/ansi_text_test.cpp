// The conversion of the core's 8-bit texts to the UTF-8 that GTK shows.

#include "shell/ansi_text.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <random>

namespace {

// glibc's own converter, as an independent judge. Nothing if it refuses the
// input.
std::optional<std::string> iconvConvert(const std::string& text, const char* from, const char* to) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string input = text;
  std::string output(text.size() * 4 + 16, '\0');
  char* in = input.data();
  char* out = output.data();
  std::size_t inLeft = input.size();
  std::size_t outLeft = output.size();
  std::size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  output.resize(output.size() - outLeft);
  return output;
}

TEST(AnsiTextTest, WellFormedUtf8IsShownUnchanged) {
  for (const std::string& text :
       {std::string(), std::string("Updating maps/x.pak - 45%"),
        std::string("Updating gr\xC3\xBC\xC3\x9F"
                    "e.pak - 3%"),
        std::string("\xE6\x97\xA5\xE6\x9C\xAC"), std::string("\xF0\x9F\x98\x80"),
        std::string("\xF4\x8F\xBF\xBF"), std::string("a\0b", 3)}) {
    EXPECT_TRUE(isWellFormedUtf8(text)) << text;
    EXPECT_EQ(ansiToUtf8(text), text);
  }
}

TEST(AnsiTextTest, OtherTextsAreReadAsWindows1252) {
  EXPECT_EQ(ansiToUtf8("Updating caf\xE9.pak - 0%"), "Updating caf\xC3\xA9.pak - 0%");
  EXPECT_EQ(ansiToUtf8("\x80"), "\xE2\x82\xAC");      // euro sign
  EXPECT_EQ(ansiToUtf8("x\x96y"), "x\xE2\x80\x93y");  // en dash
  EXPECT_EQ(ansiToUtf8("\x9F\xFF"), "\xC5\xB8\xC3\xBF");
  EXPECT_EQ(ansiToUtf8("\x81"), "\xC2\x81");  // undefined in 1252: the C1 control
}

TEST(AnsiTextTest, EveryHighByteAgreesWithIconvWindows1252) {
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    std::string text = std::string("x") + static_cast<char>(byte);
    std::optional<std::string> expected = iconvConvert(text, "CP1252", "UTF-8");
    if (!expected) {
      // The five bytes the code page leaves undefined keep their value.
      ASSERT_TRUE(byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D)
          << byte;
      expected = "x\xC2" + std::string(1, static_cast<char>(byte));
    }
    EXPECT_EQ(ansiToUtf8(text), *expected) << "byte " << byte;
  }
}

TEST(AnsiTextTest, MalformedUtf8IsNotTakenForUtf8) {
  struct Case {
    std::string text, shown;
  };
  for (const Case& c : std::vector<Case>{
           {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                                  // overlong '/'
           {"\xE0\x80\xAF", "\xC3\xA0\xE2\x82\xAC\xC2\xAF"},                  // overlong, 3 bytes
           {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},                  // a surrogate
           {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"},  // beyond U+10FFFF
           {"ab\xC3", "ab\xC3\x83"},                                          // cut short
           {"\xF8\x88\x80\x80\x80", "\xC3\xB8\xCB\x86\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"},
           // One stray byte makes the whole text Windows-1252, the UTF-8
           // looking part too: a text is in one encoding or the other.
           {"\xC3\xBC\xFC", "\xC3\x83\xC2\xBC\xC3\xBC"},
       }) {
    EXPECT_FALSE(isWellFormedUtf8(c.text));
    EXPECT_EQ(ansiToUtf8(c.text), c.shown);
  }
}

TEST(AnsiTextTest, ValidationAgreesWithIconvAndTheResultIsAlwaysUtf8) {
  // Random texts made mostly of bytes that occur in UTF-8 sequences, so that
  // both well-formed and subtly broken sequences come up often.
  std::mt19937 random(1252);
  const unsigned char pool[] = {'a',  0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2,
                                0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  int wellFormed = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    int length = static_cast<int>(random() % 6) + 1;
    for (int i = 0; i < length; ++i) text += static_cast<char>(pool[random() % sizeof pool]);
    bool glibcAccepts = iconvConvert(text, "UTF-8", "UTF-32LE").has_value();
    ASSERT_EQ(isWellFormedUtf8(text), glibcAccepts) << testing::PrintToString(text);
    if (glibcAccepts) ++wellFormed;
    ASSERT_TRUE(iconvConvert(ansiToUtf8(text), "UTF-8", "UTF-32LE").has_value())
        << testing::PrintToString(text);
  }
  EXPECT_GT(wellFormed, 100);
}

}  // namespace
