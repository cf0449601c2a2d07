#include "api/api.h"
#include "app/appicon.h"
#include "app/handoff.h"
#include "app/quietmessages.h"
#include "app/theme.h"
#include "app/toolkittranslation.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    silenceToolkitMessages();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    // Desktops match the windows to the installed desktop entry (and its icon) by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("ai.kestrune.KestruneAI"));
    applyTheme(app);
    installToolkitTranslation(app);

    Api api;
    WindowHandoff handoff(&api);
    handoff.start();
    // What the first window can do without waits until it is on screen: decoding the icon's
    // seven sizes for the window manager, and the sweep of interrupted saves.
    QTimer::singleShot(0, &app, [] {
        QApplication::setWindowIcon(applicationIcon());
        removeInterruptedSaves();
    });
    return app.exec();
}
