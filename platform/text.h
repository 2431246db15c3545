// The system's text: lead bytes of its code page, and script text in UTF-16
// or UTF-8 converted into it.
#pragma once

#include <string>

// Whether the names the process hands the system are UTF-8 (set once, when
// the script is read as Unicode) or the system's text (the start). Linux
// takes names as bytes either way. On Windows UTF-8 names go through the
// wide calls, and the system's text below (lead bytes, conversions, the
// character set) is UTF-8 too.
void SetUtf8Names(bool on);
bool Utf8Names();

// Tells whether a byte starts a double-byte character in some code page.
using LeadByteTest = bool (*)(unsigned char byte);

// Lead-byte test of the system's ANSI code page (Linux: the locale's
// character set; only Shift_JIS/CP932 has lead bytes).
bool IsSystemLeadByte(unsigned char byte);

// Script text in UTF-16 (little- or big-endian, without its mark) as the
// system's text: UTF-8 on Linux, the ANSI code page on Windows.
std::string ConvertUtf16Text(const std::string& bytes, bool bigEndian);
// Script text in UTF-8 as the system's text: unchanged on Linux, in the ANSI
// code page on Windows.
std::string ConvertUtf8Text(const std::string& bytes);

// Name of the character set script bytes are read in: the locale's on
// Linux, the ANSI code page on Windows ("1252", say).
std::string SystemCharacterSet();
// True where that set is an ANSI code page (Windows): UTF-16 and UTF-8
// script text is converted into it and loses the characters it lacks, and
// UTF-8 bytes without a mark read as other characters. False where it is the
// locale's set (Linux) and Unicode script text becomes UTF-8.
bool SystemTextIsAnsiCodePage();
// True when every byte sequence of text is a character of that set.
bool IsValidSystemText(const std::string& text);
