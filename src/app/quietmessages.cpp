#include "app/quietmessages.h"

#include <QtGlobal>

void silenceToolkitMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}
