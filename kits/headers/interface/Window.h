// A top-level window: a looper whose frame is its content area in screen
// coordinates, edges inclusive.
#ifndef _WINDOW_H
#define _WINDOW_H

#include <InterfaceDefs.h>
#include <Looper.h>
#include <Rect.h>

class BMenuBar;
class BView;

enum window_type
{
    B_UNTYPED_WINDOW = 0,
    B_TITLED_WINDOW = 1,
    B_MODAL_WINDOW = 3,
    B_DOCUMENT_WINDOW = 11,
    B_BORDERED_WINDOW = 20,
    B_FLOATING_WINDOW = 21,
};

enum
{
    B_NOT_MOVABLE = 0x00000001,
    B_NOT_RESIZABLE = 0x00000002,
    B_NOT_CLOSABLE = 0x00000020,
    B_NOT_ZOOMABLE = 0x00000040,
    B_AVOID_FRONT = 0x00000080,
    B_AVOID_FOCUS = 0x00002000,
    B_NOT_MINIMIZABLE = 0x00004000,
    B_NOT_H_RESIZABLE = 0x00008000,
    B_NOT_V_RESIZABLE = 0x00010000,
    B_QUIT_ON_WINDOW_CLOSE = 0x00100000,
};

class BWindow : public BLooper
{
public:
    BWindow(BRect frame, const char* title, window_type type, uint32 flags,
            uint32 workspace = B_CURRENT_WORKSPACE);
    virtual ~BWindow();

    virtual void MessageReceived(BMessage* message);
    virtual void DispatchMessage(BMessage* message, BHandler* handler);
    virtual bool QuitRequested();
    virtual void Quit();

    void AddChild(BView* child, BView* before = nullptr);
    bool RemoveChild(BView* child);
    int32 CountChildren() const;
    BView* ChildAt(int32 index) const;
    BView* FindView(const char* name) const;

    BRect Bounds() const;
    BRect Frame() const;
    void MoveTo(BPoint where);
    void MoveTo(float x, float y);
    void ResizeTo(float width, float height);

    void Show();
    void Hide();
    bool IsHidden() const;

    const char* Title() const;
    void SetTitle(const char* title);
    window_type Type() const;
    uint32 Flags() const;
    uint32 Workspaces() const;
    void SetWorkspaces(uint32 workspaces);

    void SetKeyMenuBar(BMenuBar* bar);
    BMenuBar* KeyMenuBar() const;

    void ConvertToScreen(BPoint* point) const;
    BPoint ConvertToScreen(BPoint point) const;
    void ConvertFromScreen(BPoint* point) const;
    BPoint ConvertFromScreen(BPoint point) const;

    struct Private;

private:
    friend struct KitAccess;

    Private* fPrivate;
};

#endif // _WINDOW_H
