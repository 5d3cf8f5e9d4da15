// What the interface kit lends the rest of the layer, never the program:
// the Qt widgets behind its windows, for the file panel, which embeds a Qt
// dialog in a window of its own. The build gives this folder to the layer's
// own targets only.
#ifndef _INTERFACE_LAYER_H
#define _INTERFACE_LAYER_H

class BWindow;
class QWidget;

// The top-level widget of a window.
QWidget* window_widget(const BWindow* window);

// The widget a dialog opened now belongs to: the preferred window's, else
// the window handling a message, else the active or first shown window.
QWidget* dialog_parent_widget(BWindow* preferred = nullptr);

#endif // _INTERFACE_LAYER_H
