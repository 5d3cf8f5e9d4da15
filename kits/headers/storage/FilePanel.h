// The open/save panel. A save panel sends its message to the target with the
// chosen folder ("directory", an entry_ref) and file name ("name") added; a
// dismissed panel sends B_CANCEL.
#ifndef _FILE_PANEL_H
#define _FILE_PANEL_H

#include <Entry.h>
#include <Messenger.h>

class BMessage;
class BWindow;
class BRefFilter;

enum file_panel_mode
{
    B_OPEN_PANEL,
    B_SAVE_PANEL,
};

enum
{
    B_FILE_NODE = 0x01,
    B_SYMLINK_NODE = 0x02,
    B_DIRECTORY_NODE = 0x04,
};

class BFilePanel
{
public:
    BFilePanel(file_panel_mode mode = B_OPEN_PANEL, BMessenger* target = nullptr,
               const entry_ref* directory = nullptr, uint32 nodeFlavors = 0,
               bool allowMultipleSelection = true, BMessage* message = nullptr,
               BRefFilter* filter = nullptr, bool modal = false, bool hideWhenDone = true);
    virtual ~BFilePanel();

    BFilePanel(const BFilePanel&) = delete;
    BFilePanel& operator=(const BFilePanel&) = delete;

    void Show();
    void Hide();
    bool IsShowing() const;
    BWindow* Window() const;

    file_panel_mode PanelMode() const;
    BMessenger Messenger() const;
    void SetTarget(BMessenger target);
    void SetMessage(BMessage* message);
    void SetPanelDirectory(const entry_ref* directory);
    void SetPanelDirectory(const char* directory);
    void GetPanelDirectory(entry_ref* directory) const;
    void SetSaveText(const char* text);
    void SetHideWhenDone(bool hide);
    bool HidesWhenDone() const;

    struct Private;

private:
    Private* fPrivate;
};

#endif // _FILE_PANEL_H
