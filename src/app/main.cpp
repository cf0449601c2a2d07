#include "api/api.h"
#include "app/appicon.h"
#include "app/handoff.h"
#include "app/quietmessages.h"
#include "app/theme.h"
#include "app/toolkittranslation.h"

#include <QApplication>

int main(int argc, char** argv)
{
    silenceToolkitMessages();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    // Desktops match the windows to the installed desktop entry (and its icon) by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("ai.kestrune.KestruneAI"));
    applyTheme(app);
    installToolkitTranslation(app);
    QApplication::setWindowIcon(applicationIcon());

    removeInterruptedSaves();
    Api api;
    WindowHandoff handoff(&api);
    handoff.start();
    return app.exec();
}
