#pragma once

class QString;
class QWidget;

// What a screen reader says for `widget`: its name (in place of a visible text that holds
// symbols or hangs on a label beside it) and a description of what it does.
void describeForScreenReaders(QWidget* widget, const QString& name, const QString& description);
