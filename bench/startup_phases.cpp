// Where the client's start-up time goes: the steps of main() in their order, each timed, up
// to the sign-in window's first paint. Run on a display (scripts/bench starts it under Xvfb)
// with a fresh home; prints one line per step. A profile by phases, to set against the
// whole-process figures of bench_startup.

#include "api/api.h"
#include "api/sealedfile.h"
#include "app/appicon.h"
#include "app/handoff.h"
#include "app/quietmessages.h"
#include "app/theme.h"
#include "app/toolkittranslation.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <vector>

namespace
{

// Notes the first paint of any widget of the window.
class FirstPaint : public QObject
{
public:
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::vector<std::pair<const char*, double>> steps;
    auto last = start;
    auto step = [&](const char* name) {
        const auto now = Clock::now();
        steps.emplace_back(name, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    };

    silenceToolkitMessages();
    QApplication app(argc, argv);
    step("application object (platform plugin, display connection)");
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    QGuiApplication::setDesktopFileName(QStringLiteral("ai.kestrune.KestruneAI"));
    applyTheme(app);
    step("theme: style, font fallbacks, style sheet");
    installToolkitTranslation(app);
    step("toolkit translation");
    QApplication::setWindowIcon(applicationIcon());
    step("window icon");
    removeInterruptedSaves();
    step("interrupted saves removed");
    Api api;
    step("request layer and saved session");
    FirstPaint firstPaint;
    app.installEventFilter(&firstPaint);
    WindowHandoff handoff(&api);
    step("sign-in window built");
    handoff.start();
    step("sign-in window shown");
    while (!firstPaint.painted)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    step("first paint");

    double total = 0;
    for (const auto& [name, milliseconds] : steps) {
        std::printf("%7.1f ms  %s\n", milliseconds, name);
        total += milliseconds;
    }
    std::printf("%7.1f ms  in all, from main()\n", total);
    return 0;
}
