#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// Asks for a backup's passphrase: a new one, typed twice and at least ten characters long,
// for a backup being made; the one it was made with, for a backup being restored.
class PassphraseDialog : public QDialog
{
public:
    enum class Purpose { NewBackup, Restore };

    PassphraseDialog(QWidget* parent, Purpose purpose);

    QString passphrase() const;

    void accept() override;

private:
    void clearError();

    Purpose purpose;
    QLineEdit* first;
    QLineEdit* repeat = nullptr;
    QLabel* error;
};
