// The private-store loader on any unsealed bytes: never a crash; what it accepts as threads
// is written back as a store that loads to the same threads.

#include "chat/privatestorecontent.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray plain(reinterpret_cast<const char*>(data), qsizetype(size));
    const PrivateStoreContent content = readPrivateStore(plain, true);
    if (plain.isEmpty() && content.problem != PrivateStoreContent::Problem::CannotOpen)
        std::abort();
    if (content.problem != PrivateStoreContent::Problem::None) {
        if (!content.threads.isEmpty())
            std::abort(); // a store that cannot be used offers no threads
        return 0;
    }
    const PrivateStoreContent again = readPrivateStore(privateStoreBytes(content.threads), true);
    if (again.problem != PrivateStoreContent::Problem::None || again.threads != content.threads)
        std::abort();
    return 0;
}
