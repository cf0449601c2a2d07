#pragma once

#include "admin.h"

#include <ostream>
#include <string>

namespace kestrune
{

// Copies accounts, tokens, pending sign-ups, conversations, their turns and the points ledger
// from the database of `source` into the empty database at `targetUrl`, in one transaction that
// is kept only when every table's count and every account's balance agree on both sides. The
// source is only read. What running instances hold for a moment (reply holds, sign-in and
// sign-up counts) is not carried over. Returns the exit code.
int copyDatabase(const AdminTarget& source, const std::string& targetUrl, std::ostream& out,
                 std::ostream& err);

} // namespace kestrune
