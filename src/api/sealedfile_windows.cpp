// Per-user sealing on Windows through the system's data protection (DPAPI).
// Kept free of Qt so that it can be checked with a cross compiler.

#include "api/sealing.h"

#include <windows.h>

#include <dpapi.h>
#include <wincrypt.h>

namespace
{

const wchar_t* const descriptionText = L"KestruneAI local data";

DATA_BLOB blobOf(const std::string& s)
{
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(s.size());
    blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(s.data()));
    return blob;
}

void takeBlob(DATA_BLOB& blob, std::string& out)
{
    out.assign(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
    LocalFree(blob.pbData);
}

} // namespace

namespace sealing
{

bool seal(const std::string& plain, std::string& sealed)
{
    DATA_BLOB in = blobOf(plain);
    DATA_BLOB out{};
    if (!CryptProtectData(&in, descriptionText, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out))
        return false;
    takeBlob(out, sealed);
    return true;
}

bool unseal(const std::string& sealed, std::string& plain)
{
    DATA_BLOB in = blobOf(sealed);
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out))
        return false;
    takeBlob(out, plain);
    return true;
}

} // namespace sealing
