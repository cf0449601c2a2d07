#pragma once

#include <functional>

class QEvent;
class QListWidget;
class QWidget;

// The keys of a pop-up whose field filters a list: Return or Enter chooses the current item,
// Esc closes the pop-up, Up and Down move the choice. True when `event` was one of them (and
// is handled); false for anything else, which the field takes as typing.
bool handlePopupListKey(QEvent* event, QWidget* popup, QListWidget* list,
                        const std::function<void()>& choose);
