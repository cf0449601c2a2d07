// The fast reader of flat JSON strings against the toolkit's full parser: the same value, or
// both find none. The input's first byte chooses the key asked for.

#include "api/flatjson.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const QLatin1StringView keys[] = {QLatin1StringView("text"), QLatin1StringView("error"),
                                             QLatin1StringView("content"), QLatin1StringView("")};
    const QLatin1StringView key = keys[data[0] % 4];
    const QByteArray json(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    const QString fast = eventString(json, key);
    const QJsonValue full = QJsonDocument::fromJson(json).object().value(key);
    const QString expected = full.isString() ? full.toString() : QString();
    if (fast != expected)
        std::abort();
    return 0;
}
