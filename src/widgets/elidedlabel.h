#pragma once

#include <QLabel>

// A label of plain text lines that shows as much of each line as fits, ending in "…", and
// never asks for more width than it is given, so a long title or account name cannot widen
// its window. text() and the accessible name stay whole; while cut, the tool tip shows it.
class ElidedLabel : public QLabel
{
public:
    explicit ElidedLabel(const QString& text, QWidget* parent = nullptr);
    ~ElidedLabel() override;

    QSize minimumSizeHint() const override;
    bool isElided() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString shownText() const;
};
