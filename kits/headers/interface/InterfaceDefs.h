#ifndef _INTERFACE_DEFS_H
#define _INTERFACE_DEFS_H

#include <GraphicsDefs.h>

enum color_which
{
    B_PANEL_BACKGROUND_COLOR = 1,
    B_MENU_BACKGROUND_COLOR = 2,
    B_WINDOW_TAB_COLOR = 3,
    B_KEYBOARD_NAVIGATION_COLOR = 4,
    B_DESKTOP_COLOR = 5,
    B_MENU_SELECTION_BACKGROUND_COLOR = 6,
    B_MENU_ITEM_TEXT_COLOR = 7,
    B_MENU_SELECTED_ITEM_TEXT_COLOR = 8,
    B_PANEL_TEXT_COLOR = 10,
    B_DOCUMENT_BACKGROUND_COLOR = 11,
    B_DOCUMENT_TEXT_COLOR = 12,
};

// Tints as the platform defines them: 1.0 leaves the colour as it is.
inline constexpr float B_LIGHTEN_MAX_TINT = 0.0F;
inline constexpr float B_LIGHTEN_2_TINT = 0.385F;
inline constexpr float B_LIGHTEN_1_TINT = 0.590F;
inline constexpr float B_NO_TINT = 1.0F;
inline constexpr float B_DARKEN_1_TINT = 1.147F;
inline constexpr float B_DARKEN_2_TINT = 1.295F;
inline constexpr float B_DARKEN_3_TINT = 1.407F;
inline constexpr float B_DARKEN_4_TINT = 1.555F;
inline constexpr float B_DARKEN_MAX_TINT = 2.0F;

rgb_color ui_color(color_which which);
rgb_color tint_color(rgb_color color, float tint);

enum alignment
{
    B_ALIGN_LEFT,
    B_ALIGN_RIGHT,
    B_ALIGN_CENTER,
};

enum orientation
{
    B_HORIZONTAL,
    B_VERTICAL,
};

// Modifier keys for menu shortcuts; the command key is Ctrl here.
enum
{
    B_SHIFT_KEY = 0x00000001,
    B_COMMAND_KEY = 0x00000002,
    B_CONTROL_KEY = 0x00000004,
    B_CAPS_LOCK = 0x00000008,
    B_OPTION_KEY = 0x00000040,
};

// Workspaces: the current one, or all of them.
inline constexpr uint32 B_CURRENT_WORKSPACE = 0;
inline constexpr uint32 B_ALL_WORKSPACES = 0xffffffff;

#endif // _INTERFACE_DEFS_H
