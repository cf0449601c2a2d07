#include "api/api.h"
#include "chat/chatwindow.h"

#include <QComboBox>
#include <QJsonArray>
#include <QLabel>

namespace
{

// Each model's own name, beside the selector's text that adds its price.
constexpr int modelNameRole = Qt::UserRole + 1;

} // namespace

QString ChatWindow::modelName(const QString& modelId) const
{
    const int index = modelSelect->findData(modelId);
    return index < 0 ? modelId : modelSelect->itemData(index, modelNameRole).toString();
}

void ChatWindow::loadModels()
{
    requestForWindow("GET", "/api/models", {}, [this](const QJsonObject& body) {
        const bool wasBlocked = modelSelect->blockSignals(true);
        modelSelect->clear();
        for (const QJsonValue& value : body.value("models").toArray()) {
            const QJsonObject model = value.toObject();
            // One substitution pass, so "%1" or "%2" inside a name stays as typed.
            const QString text = QStringLiteral("%1  ·  %2 额度 / 100 字")
                                     .arg(model.value("display_name").toString(),
                                          QString::number(model.value("points_per_100").toInt()));
            modelSelect->addItem(text, model.value("id").toString());
            modelSelect->setItemData(modelSelect->count() - 1, model.value("display_name"),
                                     modelNameRole);
        }
        modelSelect->blockSignals(wasBlocked);
        if (modelSelect->count() == 0)
            chatNotice->setText(QStringLiteral("管理员尚未开放聊天模型。"));
    });
}

void ChatWindow::setPoints(int points)
{
    user.insert("points", points);
    // One substitution pass: a user name holding "%2" must not receive the balance.
    accountLabel->setText(QStringLiteral("%1\n对话额度 %2")
                              .arg(user.value("username").toString(), QString::number(points)));
}
