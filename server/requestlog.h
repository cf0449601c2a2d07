#pragma once

#include <httplib.h>

namespace kestrune
{

// One line per request on stderr: time, client, method, path, status, duration. Never the
// query, headers or body, so no password, code or token can end up in the log.
void markRequestStart();
void logRequest(const httplib::Request& req, const httplib::Response& res);

} // namespace kestrune
