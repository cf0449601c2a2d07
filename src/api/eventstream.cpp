#include "eventstream.h"

QList<StreamEvent> takeStreamEvents(QByteArray& buffer, const QByteArray& incoming)
{
    buffer.append(incoming);
    return {};
}
