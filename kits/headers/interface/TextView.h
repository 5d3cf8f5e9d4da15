// Editable text inside a view. This layer's text view holds one line, which
// is all a text control needs.
#ifndef _TEXT_VIEW_H
#define _TEXT_VIEW_H

#include <View.h>

class BTextView : public BView
{
public:
    BTextView(BRect frame, const char* name, BRect textRect, uint32 resizingMode, uint32 flags);
    virtual ~BTextView();

    void SetText(const char* text);
    const char* Text() const;
    int32 TextLength() const;

    // A view that is not editable still shows its text and lets it be
    // selected and copied.
    void MakeEditable(bool editable = true);
    bool IsEditable() const;

    BRect TextRect() const;

    struct TextPrivate;

private:
    friend struct KitAccess;

    TextPrivate* fText;
};

#endif // _TEXT_VIEW_H
