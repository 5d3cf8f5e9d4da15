#ifndef _APP_DEFS_H
#define _APP_DEFS_H

#include <SupportDefs.h>

// System message codes.
enum : uint32
{
    B_SIMPLE_DATA = 'DATA',
    B_QUIT_REQUESTED = '_QRQ',
    B_ABOUT_REQUESTED = '_ABR',
    B_READY_TO_RUN = '_RTR',
    B_REFS_RECEIVED = '_RRC',
    B_CANCEL = '_CNC',
    B_SAVE_REQUESTED = '_SVR',
    B_KEY_DOWN = '_KYD',
    B_MESSAGE_NOT_UNDERSTOOD = '_MNU',
    B_NO_REPLY = '_NRP',
};

#endif // _APP_DEFS_H
