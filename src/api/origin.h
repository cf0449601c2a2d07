#pragma once

#include <QByteArray>
#include <QUrl>

// The service origin used when the environment names none, or names one we refuse.
inline constexpr const char* defaultServiceOrigin = "https://api.kestrune.ai";

// The origin to talk to, given the raw value of KESTRUNEAI_BASE_URL (empty when unset):
// a valid https URL, or any URL whose host is exactly 127.0.0.1; otherwise the default.
QUrl chooseServiceOrigin(const QByteArray& environmentValue);
