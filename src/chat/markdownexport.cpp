#include "chat/markdownexport.h"

#include <QJsonObject>

QByteArray conversationMarkdown(const QString& title, const QString& model,
                                const QJsonArray& messages)
{
    QString text = QStringLiteral("# ") + title.simplified() + QStringLiteral("\n\n");
    if (!model.isEmpty())
        text += QStringLiteral("模型：") + model + QStringLiteral("\n");
    for (const QJsonValue& value : messages) {
        const QJsonObject message = value.toObject();
        const bool assistant = message.value("role").toString() == QLatin1String("assistant");
        text += assistant ? QStringLiteral("\n## KestruneAI\n\n") : QStringLiteral("\n## 你\n\n");
        QString content = message.value("content").toString();
        if (!content.endsWith(QLatin1Char('\n')))
            content += QLatin1Char('\n');
        text += content;
    }
    return text.toUtf8();
}

QString exportFileName(const QString& title)
{
    QString name;
    for (const QChar c : title.simplified()) {
        // Refused by Windows file systems, or path separators everywhere.
        const bool refused = c.unicode() < 0x20 || QStringLiteral("<>:\"/\\|?*").contains(c);
        name += refused ? QLatin1Char('_') : c;
    }
    name = name.left(80);
    if (!name.isEmpty() && name.back().isHighSurrogate())
        name.chop(1); // never half a character
    name = name.trimmed();
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1); // a trailing dot or space is dropped by Windows
    if (name.isEmpty())
        name = QStringLiteral("对话");
    return name + QStringLiteral(".md");
}
