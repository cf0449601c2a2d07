// Per-user sealing on Windows through the system's data protection (DPAPI). The system
// hands back a buffer of its own, so "in place" here means one copy back into `data`.

#include "api/sealing.h"

#include <windows.h>

#include <dpapi.h>
#include <wincrypt.h>

namespace
{

const wchar_t* const descriptionText = L"KestruneAI local data";

DATA_BLOB blobOf(QByteArray& data)
{
    DATA_BLOB blob;
    blob.cbData = static_cast<DWORD>(data.size());
    blob.pbData = reinterpret_cast<BYTE*>(data.data());
    return blob;
}

void takeBlob(DATA_BLOB& blob, QByteArray& out)
{
    out.clear(); // freed before the copy, so the old and the new bytes are never both held
    out = QByteArray(reinterpret_cast<const char*>(blob.pbData), qsizetype(blob.cbData));
    SecureZeroMemory(blob.pbData, blob.cbData);
    LocalFree(blob.pbData);
}

} // namespace

namespace sealing
{

bool seal(QByteArray& data)
{
    DATA_BLOB in = blobOf(data);
    DATA_BLOB out{};
    if (!CryptProtectData(&in, descriptionText, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out))
        return false;
    takeBlob(out, data);
    return true;
}

bool unseal(QByteArray& data)
{
    DATA_BLOB in = blobOf(data);
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out))
        return false;
    takeBlob(out, data);
    return true;
}

} // namespace sealing
