// Type codes of typed message fields and data, four characters each.
#ifndef _TYPE_CONSTANTS_H
#define _TYPE_CONSTANTS_H

#include <SupportDefs.h>

enum : type_code
{
    B_ANY_TYPE = 'ANYT',
    B_BOOL_TYPE = 'BOOL',
    B_FLOAT_TYPE = 'FLOT',
    B_INT32_TYPE = 'LONG',
    B_INT64_TYPE = 'LLNG',
    B_MESSAGE_TYPE = 'MSGG',
    B_POINT_TYPE = 'BPNT',
    B_POINTER_TYPE = 'PNTR',
    B_RECT_TYPE = 'RECT',
    B_REF_TYPE = 'RREF',
    B_STRING_TYPE = 'CSTR',
    B_RAW_TYPE = 'RAWT',
    B_MIME_TYPE = 'MIME',
};

#endif // _TYPE_CONSTANTS_H
