#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

// A conversation as a Markdown document: its title as the heading, the model, then every turn
// under a heading of who speaks ("你" or "KestruneAI"), the text as it was written.
QByteArray conversationMarkdown(const QString& title, const QString& model,
                                const QJsonArray& messages);

// A file name for the export of a conversation with that title: the title without the
// characters file systems refuse, shortened, with ".md".
QString exportFileName(const QString& title);
