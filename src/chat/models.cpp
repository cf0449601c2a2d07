#include "api/api.h"
#include "api/service.h"
#include "chat/chatwindow.h"

#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QSignalBlocker>

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
    service::listModels(*api, whileOpen([this](const QList<service::ModelOffer>& models) {
        const QSignalBlocker blocker(modelSelect);
        modelSelect->clear();
        for (const service::ModelOffer& model : models) {
            // One substitution pass, so "%1" or "%2" inside a name stays as typed.
            const QString text = QStringLiteral("%1  ·  %2 额度 / 100 字")
                                     .arg(model.displayName, QString::number(model.pointsPer100));
            modelSelect->addItem(text, model.id);
            modelSelect->setItemData(modelSelect->count() - 1, model.displayName, modelNameRole);
        }
        if (modelSelect->count() == 0)
            chatNotice->setText(QStringLiteral("管理员尚未开放聊天模型。"));
    }),
                        showFailure());
}

void ChatWindow::setPoints(int points)
{
    user.insert("points", points);
    // One substitution pass: a user name holding "%2" must not receive the balance.
    accountLabel->setText(QStringLiteral("%1\n对话额度 %2")
                              .arg(user.value("username").toString(), QString::number(points)));
}
