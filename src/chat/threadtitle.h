#pragma once

#include <QString>

// The title a private thread takes from its first message: white-space runs (any Unicode
// white space) collapsed to one space, trimmed, at most 32 UTF-16 units, never ending in
// half of a surrogate pair. Empty when the message has no visible text.
QString automaticThreadTitle(const QString& firstMessage);
