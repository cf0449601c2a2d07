#include "api.h"
#include "handoff.h"
#include "quietmessages.h"
#include "theme.h"

#include <QApplication>

int main(int argc, char** argv)
{
    silenceToolkitMessages();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    applyTheme(app);

    Api api;
    WindowHandoff handoff(&api);
    handoff.start();
    return app.exec();
}
