#include "app/toolkittranslation.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

void installToolkitTranslation(QApplication& app)
{
    auto* translator = new QTranslator(&app);
    const QString folders[] = {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                               QCoreApplication::applicationDirPath() + "/translations"};
    for (const QString& folder : folders) {
        if (translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
            QCoreApplication::installTranslator(translator);
            return;
        }
    }
    delete translator;
}
