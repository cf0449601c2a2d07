#pragma once

class QApplication;

// Installs the toolkit's own Simplified Chinese texts (standard dialog buttons, the text
// context menus, network error messages), so that no English shows in a Chinese interface.
// Looked for where the toolkit keeps its translations, then in "translations" beside the
// program (an installed Windows copy). Without the file the toolkit's English stays.
void installToolkitTranslation(QApplication& app);
