// The Qt side of BTextView, shared by the kits' own sources only.
#ifndef _TEXT_VIEW_PRIVATE_H
#define _TEXT_VIEW_PRIVATE_H

#include <KitAccess.h>
#include <TextView.h>

#include <QLineEdit>
#include <QPointer>

#include <functional>
#include <string>

struct BTextView::TextPrivate
{
    std::string text; // kept in step with the widget's text
    BRect textRect;
    bool editable = true;
    QPointer<QLineEdit> edit;        // null until the view is in a window
    std::function<void()> committed; // Return pressed; set by a text control
};

#endif // _TEXT_VIEW_PRIVATE_H
