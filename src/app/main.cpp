#include "api.h"
#include "appicon.h"
#include "handoff.h"
#include "quietmessages.h"
#include "theme.h"
#include "toolkittranslation.h"

#include <QApplication>

int main(int argc, char** argv)
{
    silenceToolkitMessages();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    applyTheme(app);
    installToolkitTranslation(app);
    QApplication::setWindowIcon(applicationIcon());

    removeInterruptedSaves();
    Api api;
    WindowHandoff handoff(&api);
    handoff.start();
    return app.exec();
}
