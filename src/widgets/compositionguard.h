#pragma once

#include <QObject>

class QWidget;

// While an input method is composing text in a field (Chinese pinyin before it is chosen,
// say), Return and Enter belong to the input method, which commits the composition with
// them: they neither send nor submit anything, and no shortcut on them fires.
class CompositionGuard : public QObject
{
public:
    static void install(QWidget* field);
    // Whether an input method is composing in `field` now (false without a guard).
    static bool composing(const QWidget* field);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit CompositionGuard(QWidget* field);

    bool active = false;
};
