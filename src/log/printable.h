#pragma once

#include <string>

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing beyond U+10FFFF, no truncated sequence.
bool isWellFormedUtf8(const std::string& text);

// `text` made safe to show on a terminal or write to the log: C0 controls,
// DEL and the C1 controls are shown as '?', so that a name from a hostile
// manifest cannot move the cursor, end a line or start an escape sequence.
// A text that is well-formed UTF-8 loses only the two-byte forms of
// U+0080-U+009F (each one '?'), keeping every other character; any other
// text is 8-bit and loses its bytes 0x80-0x9F, which a terminal set for
// 8-bit controls would obey.
std::string printableText(const std::string& text);

// printableText of `text`, cut to a few hundred bytes, so that a hostile
// manifest cannot bloat or split the log.
std::string printableForLog(const std::string& text);
