#pragma once

class QApplication;

// The one look of the program: the "Fusion" style, the default font and the
// application style sheet. Applied once, before any window is built.
void applyTheme(QApplication& app);
