#include "backup/passphrasedialog.h"

#include "backup/privatebackup.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{

QLineEdit* passphraseField(QWidget* parent, const QString& name, const QString& placeholder)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    return field;
}

// The passphrase's length as a person counts it: characters, not UTF-16 units.
int passphraseLength(const QString& passphrase)
{
    return int(passphrase.toUcs4().size());
}

} // namespace

PassphraseDialog::PassphraseDialog(QWidget* parent, Purpose purpose)
    : QDialog(parent), purpose(purpose)
{
    setObjectName("passphraseDialog");
    const bool newBackup = purpose == Purpose::NewBackup;
    setWindowTitle(newBackup ? QStringLiteral("备份全部隐私对话") : QStringLiteral("从备份恢复"));

    auto* layout = new QVBoxLayout(this);
    auto* explanation = new QLabel(
        newBackup ? QStringLiteral("备份文件用你在这里设定的口令加密。请牢记这个口令：没有它，"
                                   "任何人都无法打开这个备份，包括我们，也无法找回口令。")
                  : QStringLiteral("请输入制作这个备份时设定的口令。"),
        this);
    explanation->setObjectName("passphraseExplanation");
    explanation->setWordWrap(true);
    layout->addWidget(explanation);

    first = passphraseField(
        this, "backupPassphrase",
        newBackup ? QStringLiteral("口令（至少 %1 个字符）").arg(minimumPassphraseLength)
                  : QStringLiteral("备份口令"));
    layout->addWidget(first);
    if (newBackup) {
        repeat = passphraseField(this, "backupPassphraseRepeat", QStringLiteral("再次输入口令"));
        layout->addWidget(repeat);
    }

    error = new QLabel(this);
    error->setObjectName("passphraseError");
    error->setWordWrap(true);
    error->setTextFormat(Qt::PlainText);
    error->hide();
    layout->addWidget(error);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)
        ->setText(newBackup ? QStringLiteral("备份") : QStringLiteral("恢复"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &PassphraseDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(first, &QLineEdit::textEdited, this, [this] { clearError(); });
    if (repeat)
        connect(repeat, &QLineEdit::textEdited, this, [this] { clearError(); });
    setMinimumWidth(440);
    // Tall enough for the wrapped explanation at this width.
    adjustSize();
}

QString PassphraseDialog::passphrase() const
{
    return first->text();
}

void PassphraseDialog::clearError()
{
    error->hide();
}

void PassphraseDialog::accept()
{
    QString problem;
    if (first->text().isEmpty())
        problem = QStringLiteral("请输入口令。");
    else if (purpose == Purpose::NewBackup &&
             passphraseLength(first->text()) < minimumPassphraseLength)
        problem = QStringLiteral("口令至少需要 %1 个字符。").arg(minimumPassphraseLength);
    else if (repeat && repeat->text() != first->text())
        problem = QStringLiteral("两次输入的口令不一致。");
    if (problem.isEmpty()) {
        QDialog::accept();
        return;
    }
    error->setText(problem);
    error->show();
    adjustSize();
    first->setFocus();
}
