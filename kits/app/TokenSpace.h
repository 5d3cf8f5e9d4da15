// Every handler holds a token from construction to destruction, and
// messengers and queued messages name handlers by token: a handler that is
// gone is then never reached through a pointer that another object may have
// been given since. One lock guards the tokens and every handler/looper link
// (a handler's looper, a looper's handler list), so a thread that sends
// while the GUI thread adds, removes or deletes handlers sees either the old
// state or the new one.
#ifndef _TOKEN_SPACE_H
#define _TOKEN_SPACE_H

#include <SupportDefs.h>

#include <mutex>

class BHandler;
class BLooper;

inline constexpr int32 kNullToken = -1;

struct TokenSpace
{
    static std::mutex& Lock();

    // These take the lock themselves.
    static int32 Add(BHandler* handler);
    static void SetLooper(int32 token, BLooper* looper);

    // The caller holds Lock().
    static void Remove(int32 token);
    static BHandler* HandlerFor(int32 token);
    static BLooper* LooperFor(int32 token);
    static int32 TokenOf(const BHandler* handler);
    static BLooper* LooperOf(const BHandler* handler);
    static void SetLooperOf(BHandler* handler, BLooper* looper);
};

#endif // _TOKEN_SPACE_H
