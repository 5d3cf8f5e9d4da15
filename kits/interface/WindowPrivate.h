#ifndef _WINDOW_PRIVATE_H
#define _WINDOW_PRIVATE_H

#include <InterfaceLayer.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QWidget>

#include <string>
#include <vector>

// The top-level widget; a close from the desktop becomes B_QUIT_REQUESTED.
class WindowWidget : public QWidget
{
public:
    explicit WindowWidget(BWindow* window);

    BWindow* Window() const { return fWindow; }

protected:
    void closeEvent(QCloseEvent* event) override;
    // Menu shortcuts, also when the desktop's shortcut map does not see the key.
    void keyPressEvent(QKeyEvent* event) override;

private:
    BWindow* fWindow;
};

struct BWindow::Private
{
    WindowWidget* widget = nullptr;
    BView* topView = nullptr; // holds the window's views, covers its bounds
    BMenuBar* keyMenuBar = nullptr;
    BRect frame;
    std::string title;
    window_type type = B_TITLED_WINDOW;
    uint32 flags = 0;
    uint32 workspaces = B_CURRENT_WORKSPACE;
    bool shown = false;
};

// Every window alive, in creation order.
std::vector<BWindow*>& window_list();
bool window_is_alive(const BWindow* window);

// The window whose handler runs now (the innermost one), or null.
BWindow* dispatching_window();

#endif // _WINDOW_PRIVATE_H
