#pragma once
#include <QIcon>

// The GUI's own icons (icons/*.png, compiled in), each at 16, 32 and 64
// pixels.
enum class GuiIcon {
    Application,
    Root,     // the tree's top item
    Channel,  // a channel in the tree; the channel dialog's icon
    Save,
    Add,
    Delete,
    Statistics,
    Help,
};

QIcon Icon(GuiIcon icon);
