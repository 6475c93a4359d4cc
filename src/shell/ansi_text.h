#pragma once

#include <string>

#include "log/printable.h"

// The core's texts are 8-bit strings in the system's ANSI code page, as on
// Windows; GTK wants UTF-8. A text that already is well-formed UTF-8 (ASCII,
// or a file name from a Linux system, whose names are UTF-8) is returned
// unchanged. Any other text is read as Windows-1252, the ANSI code page the
// manifest's names are written in for the Windows game, with the five bytes
// that code page leaves undefined mapped to the C1 controls of the same value,
// as Windows itself maps them. The whole text is judged at once, so a text is
// never half one and half the other. The result is always well-formed UTF-8
// and every byte of the input is represented in it.
std::string ansiToUtf8(const std::string& text);
