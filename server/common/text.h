#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune
{

// All functions assume well-formed UTF-8 (request bodies are validated by the JSON parser).

// Number of Unicode code points; this is the "character" count used for charging.
std::size_t codePointCount(std::string_view text);

// The first `count` code points of `text`, never splitting one.
std::string_view firstCodePoints(std::string_view text, std::size_t count);

// Removes leading and trailing white space, Unicode spaces (U+3000, U+00A0, …) included.
std::string trimmed(std::string_view text);

// A single-line title: white space and control characters become single spaces, invisible
// format characters (bidirectional overrides, zero-width spaces) are dropped, the result is
// trimmed and limited to `maxCodePoints`.
std::string normalizedTitle(std::string_view text, std::size_t maxCodePoints);

// Title given to a conversation from its first prompt.
std::string titleFromPrompt(std::string_view prompt);

bool isValidUsername(std::string_view name);
bool isPlausibleEmail(std::string_view email);
bool isSixDigitCode(std::string_view code);

// Splits a reply into stream fragments of a few characters to a few words; concatenating the
// pieces gives back `text` exactly.
std::vector<std::string> streamPieces(std::string_view text);

// Lower-cases ASCII letters (user names and e-mail addresses compare case-insensitively).
std::string asciiLower(std::string_view text);

// Printable form for log lines: control characters escaped, length limited.
std::string printable(std::string_view text, std::size_t maxBytes = 200);

} // namespace kestrune
