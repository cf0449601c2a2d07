#include "streamreference.h"

QList<StreamEvent> referenceStreamEvents(QByteArray& buffer, const QByteArray& incoming)
{
    buffer.append(incoming);
    buffer.replace("\r\n", "\n");
    QList<StreamEvent> events;
    for (qsizetype end = buffer.indexOf("\n\n"); end >= 0; end = buffer.indexOf("\n\n")) {
        const QByteArray block = buffer.left(end);
        buffer.remove(0, end + 2);
        StreamEvent event;
        for (const QByteArray& line : block.split('\n')) {
            if (line.startsWith("event:"))
                event.name = line.mid(6).trimmed();
            else if (line.startsWith("data:"))
                event.data += line.mid(5).trimmed();
        }
        events.append(event);
    }
    return events;
}
