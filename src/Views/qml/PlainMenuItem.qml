import QtQuick.Controls

// A menu item that is never checked and opens no submenu. Fusion builds a check
// mark and an arrow for every item all the same, with the window, and reading
// that first image loads every image-format plugin installed before the window
// is drawn.
MenuItem {
    indicator: null
    arrow: null
}
