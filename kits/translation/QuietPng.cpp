// libpng writes "libpng error: ..." to standard error itself, before its
// caller hears of the failure, unless the caller gives it an error handler
// of its own. Qt's PNG reader gives none, and it is reached from inside
// other formats (a PNG in an ICO or ICNS file). A failed read is reported
// by status, in one line, so that message must not appear.
//
// The programs built on this layer therefore define libpng's
// png_set_error_fn themselves: the dynamic linker finds a program's own
// definition before libpng's, for Qt's calls too. A null error handler
// becomes a quiet one that ends the read as libpng's own does (a jump back
// to the caller's setjmp); anything else passes through unchanged.
#include <TranslationPrivate.h>

#include <dlfcn.h>

namespace {

struct png_struct_def;
using png_handle = png_struct_def*;
using png_message_handler = void (*)(png_handle, const char*);
using set_error_fn = void (*)(png_handle, void*, png_message_handler, png_message_handler);
using longjmp_fn = void (*)(png_handle, int);

longjmp_fn png_jump()
{
    static const auto jump = reinterpret_cast<longjmp_fn>(dlsym(RTLD_DEFAULT, "png_longjmp"));
    return jump;
}

// Never returns when libpng can jump; should it ever, libpng's default
// handler runs after it as before.
void quiet_png_error(png_handle png, const char*)
{
    if (longjmp_fn jump = png_jump())
        jump(png, 1);
}

} // namespace

extern "C" __attribute__((visibility("default"))) void
png_set_error_fn(png_handle png, void* errorData, png_message_handler onError,
                 png_message_handler onWarning)
{
    static const auto libpng = reinterpret_cast<set_error_fn>(dlsym(RTLD_NEXT, "png_set_error_fn"));
    if (libpng == nullptr)
        return;
    libpng(png, errorData, onError != nullptr || png_jump() == nullptr ? onError : quiet_png_error,
           onWarning);
}

namespace BPrivate {

bool png_errors_quiet()
{
    return png_jump() != nullptr;
}

} // namespace BPrivate
