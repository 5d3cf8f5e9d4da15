// Basic types of the platform layer.
#ifndef _SUPPORT_DEFS_H
#define _SUPPORT_DEFS_H

#include <cstddef>
#include <cstdint>

#include <Errors.h>

typedef int8_t int8;
typedef uint8_t uint8;
typedef int16_t int16;
typedef uint16_t uint16;
typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;
typedef int32 status_t;
typedef int64 bigtime_t;
typedef uint32 type_code;
typedef int32 thread_id;

#endif // _SUPPORT_DEFS_H
