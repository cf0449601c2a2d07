#pragma once

#include <QIcon>

// The program's icon, the brand's mark on the side panel's navy, in every drawn size.
QIcon applicationIcon();
