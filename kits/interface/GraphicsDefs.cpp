#include <InterfaceDefs.h>

#include <algorithm>
#include <cmath>

int32 bits_per_pixel_of(color_space space)
{
    switch (space) {
    case B_RGB32:
    case B_RGBA32:
        return 32;
    case B_RGB24:
        return 24;
    case B_RGB16:
    case B_RGB15:
    case B_RGBA15:
        return 16;
    case B_CMAP8:
    case B_GRAY8:
        return 8;
    case B_GRAY1:
        return 1;
    default:
        return 0;
    }
}

int32 bytes_per_pixel_of(color_space space)
{
    return bits_per_pixel_of(space) / 8;
}

rgb_color ui_color(color_which which)
{
    switch (which) {
    case B_PANEL_BACKGROUND_COLOR:
    case B_MENU_BACKGROUND_COLOR:
        return rgb_color{216, 216, 216, 255};
    case B_WINDOW_TAB_COLOR:
        return rgb_color{255, 203, 0, 255};
    case B_KEYBOARD_NAVIGATION_COLOR:
        return rgb_color{0, 0, 229, 255};
    case B_DESKTOP_COLOR:
        return rgb_color{51, 102, 152, 255};
    case B_MENU_SELECTION_BACKGROUND_COLOR:
        return rgb_color{168, 168, 168, 255};
    case B_DOCUMENT_BACKGROUND_COLOR:
        return rgb_color{255, 255, 255, 255};
    case B_MENU_ITEM_TEXT_COLOR:
    case B_MENU_SELECTED_ITEM_TEXT_COLOR:
    case B_PANEL_TEXT_COLOR:
    case B_DOCUMENT_TEXT_COLOR:
    default:
        return rgb_color{0, 0, 0, 255};
    }
}

// Below 1 the colour moves toward white, above 1 toward black; 2 is black.
rgb_color tint_color(rgb_color c, float tint)
{
    auto channel = [tint](uint8 v) -> uint8 {
        float out;
        if (tint <= 1.0F)
            out = 255.0F - (255.0F - v) * tint;
        else
            out = v * (2.0F - tint);
        return static_cast<uint8>(std::clamp(std::lround(out), 0L, 255L));
    };
    return rgb_color{channel(c.red), channel(c.green), channel(c.blue), c.alpha};
}
