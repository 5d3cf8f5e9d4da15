#include "ModelWall.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLARA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PELLARA_ADDRESS_SANITIZER 1
#endif

namespace depth {

namespace {

// AddressSanitizer reserves terabytes of address space up front: there the
// child's resident memory is watched instead of its address space limited.
#ifdef PELLARA_ADDRESS_SANITIZER
constexpr bool kLimitAddressSpace = false;
#else
constexpr bool kLimitAddressSpace = true;
#endif

// What the child sends first: then whyLength bytes, then count triangles.
struct Header
{
    uint32 magic;
    int32 status;
    uint32 whyLength;
    uint32 reserved;
    uint64 count;
};
constexpr uint32 kMagic = 0x5054524Cu;
constexpr uint32 kMaxWhy = 1024;

// The child's one descriptor; its exit when an allocation fails.
constexpr int kChannel = 3;
constexpr int kOutOfMemoryExit = 86;

// Triangles read at a time, straight into the result.
constexpr size_t kChunk = 32768;
// Room made for triangles before they arrive: a million, 36 MB.
constexpr uint64 kFirstRoom = uint64(1) << 20;
// How often the parent looks at the child's clock and memory.
constexpr int kTickMs = 20;

double seconds_now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The second field of a statm file: resident pages; the first, when
// virtualSize is given: mapped pages.
bool statm_of(int fd, uint64* resident, uint64* mapped = nullptr)
{
    char text[128];
    const ssize_t got = pread(fd, text, sizeof(text) - 1, 0);
    if (got <= 0)
        return false;
    text[got] = '\0';
    unsigned long long size = 0, rss = 0;
    if (std::sscanf(text, "%llu %llu", &size, &rss) != 2)
        return false;
    *resident = rss;
    if (mapped != nullptr)
        *mapped = size;
    return true;
}

// --- The child ------------------------------------------------------------------

bool write_all(int fd, const void* data, size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = write(fd, at, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        at += done;
        size -= size_t(done);
    }
    return true;
}

[[noreturn]] void out_of_memory()
{
    _exit(kOutOfMemoryExit);
}

void set_limit(int resource, rlim_t soft, rlim_t hard)
{
    const rlimit limit{soft, hard};
    setrlimit(resource, &limit);
}

// A condition on a system call's argument (libseccomp's SCMP_A* macros are
// C99 compound literals).
scmp_arg_cmp argument(unsigned index, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0)
{
    scmp_arg_cmp condition{};
    condition.arg = index;
    condition.op = op;
    condition.datum_a = a;
    condition.datum_b = b;
    return condition;
}

// The library may do nothing but compute, allocate and write to the pipe
// back. What else it asks for fails with EPERM rather than killing it: a
// library probing for something benign (the memory size, say) then goes
// on without it, while opening, running or connecting to anything stays
// impossible; only starting a program or tracing one ends the child at once.
void install_filter(int channel)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr)
        return; // a kernel without seccomp: the limits still hold
    static const int kAllowed[] = {
        SCMP_SYS(brk),          SCMP_SYS(munmap),          SCMP_SYS(mremap),
        SCMP_SYS(madvise),      SCMP_SYS(futex),           SCMP_SYS(exit),
        SCMP_SYS(exit_group),   SCMP_SYS(rt_sigreturn),    SCMP_SYS(rt_sigprocmask),
        SCMP_SYS(rt_sigaction), SCMP_SYS(sigaltstack),     SCMP_SYS(getpid),
        SCMP_SYS(gettid),       SCMP_SYS(clock_gettime),   SCMP_SYS(clock_nanosleep),
        SCMP_SYS(nanosleep),    SCMP_SYS(getrandom),       SCMP_SYS(sched_yield),
        SCMP_SYS(close),        SCMP_SYS(restart_syscall), SCMP_SYS(sysinfo),
    };
    bool built = true;
    for (int call : kAllowed)
        built = built && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    // Memory, never executable; writes to the pipe back only; signals to
    // itself only (abort).
    const scmp_arg_cmp notExecutable = argument(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
    const scmp_arg_cmp toThePipe = argument(0, SCMP_CMP_EQ, scmp_datum_t(channel));
    const scmp_arg_cmp toItself = argument(0, SCMP_CMP_EQ, scmp_datum_t(getpid()));
    built =
        built &&
        seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, &notExecutable) == 0 &&
        seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, &notExecutable) ==
            0 &&
        seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, &toThePipe) == 0 &&
        seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, &toItself) == 0;
    for (int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(ptrace)})
        built = built && seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, call, 0) == 0;
    // A filter only half built would refuse what the library needs: the
    // child then stops rather than running without one.
    if (!built || seccomp_load(filter) != 0)
        _exit(EXIT_FAILURE);
    seccomp_release(filter);
}

bool send(int status, const std::string& why, const PlacedTriangle* triangles, uint64 count)
{
    Header header{kMagic, status, uint32(std::min<size_t>(why.size(), kMaxWhy)), 0, count};
    return write_all(kChannel, &header, sizeof(header)) &&
           write_all(kChannel, why.data(), header.whyLength) &&
           write_all(kChannel, triangles, size_t(count) * sizeof(PlacedTriangle));
}

// The test-only faults, in place of the work.
void inject_fault(const char* fault, const WallLimits& limits)
{
    if (std::strcmp(fault, "crash") == 0) {
        raise(SIGSEGV);
    } else if (std::strcmp(fault, "spin") == 0) {
        volatile uint64 turns = 0;
        for (;;)
            turns = turns + 1;
    } else if (std::strcmp(fault, "sleep") == 0) {
        for (;;)
            sleep(1000);
    } else if (std::strcmp(fault, "memory") == 0) {
        for (;;) {
            char* block = new char[64 << 20];
            std::memset(block, 1, 64 << 20);
        }
    } else if (std::strcmp(fault, "nan") == 0) {
        PlacedTriangle bad{};
        bad.corner[1][0] = NAN;
        send(B_OK, "", &bad, 1);
        _exit(0);
    } else if (std::strcmp(fault, "short") == 0) {
        // More triangles claimed than sent: the parent must not trust the count.
        const PlacedTriangle one{};
        Header header{kMagic, B_OK, 0, 0, std::max<uint64>(limits.maxTriangles, 2)};
        write_all(kChannel, &header, sizeof(header));
        write_all(kChannel, &one, sizeof(one));
        _exit(0);
    }
}

[[noreturn]] void run_child(const WallLimits& limits, const WalledWork& work, pid_t parent,
                            int channel, rlim_t addressSpace)
{
    // Handlers a sanitizer or a fuzzer installed must not run here: a crash
    // ends the child, and the parent tells.
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(EXIT_FAILURE);
    prctl(PR_SET_DUMPABLE, 0);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

    // No descriptor but the pipe back, always the same one.
    if (channel != kChannel) {
        if (dup2(channel, kChannel) < 0)
            _exit(EXIT_FAILURE);
    }
    for (int fd = 0; fd < kChannel; fd++)
        close(fd);
    if (close_range(kChannel + 1, ~0u, 0) != 0) {
        rlimit open{};
        getrlimit(RLIMIT_NOFILE, &open);
        for (rlim_t fd = kChannel + 1; fd < std::min<rlim_t>(open.rlim_cur, 65536); fd++)
            close(int(fd));
    }

    const rlim_t cpu = rlim_t(std::ceil(limits.cpuSeconds));
    set_limit(RLIMIT_CPU, cpu, cpu + 1);
    set_limit(RLIMIT_CORE, 0, 0);
    set_limit(RLIMIT_FSIZE, 0, 0);
    set_limit(RLIMIT_NOFILE, 0, 0);
    if (addressSpace != 0)
        set_limit(RLIMIT_AS, addressSpace, addressSpace);
    std::set_new_handler(out_of_memory);
    install_filter(kChannel);

    if (const char* fault = getenv(kWallFaultVariable))
        inject_fault(fault, limits);

    std::vector<PlacedTriangle> triangles;
    std::string why;
    status_t status = B_ERROR;
    try {
        status = work(&triangles, &why);
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        status = B_ILLEGAL_DATA;
        why = "the model library failed";
    }
    if (status != B_OK)
        triangles.clear();
    _exit(send(status, why, triangles.data(), triangles.size()) ? 0 : EXIT_FAILURE);
}

// --- The parent -----------------------------------------------------------------

enum class Ending
{
    kRunning,
    kTimedOut,
    kTooLarge,
};

// The child as the parent watches it: its deadline and its memory.
class Watch
{
public:
    Watch(pid_t child, const WallLimits& limits, uint64 residentAtStart)
        : fChild(child), fDeadline(seconds_now() + limits.wallSeconds)
    {
        const long page = sysconf(_SC_PAGESIZE);
        fMaxResident = residentAtStart + limits.memoryBytes / uint64(page > 0 ? page : 4096);
        const std::string statm = "/proc/" + std::to_string(child) + "/statm";
        fStatm = open(statm.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~Watch()
    {
        if (fStatm >= 0)
            close(fStatm);
    }

    Ending Ended() const { return fEnding; }

    // Waits up to a tick for fd to be readable; false once the child is
    // killed for its time or memory.
    bool Wait(int fd)
    {
        if (fEnding != Ending::kRunning)
            return false;
        const double left = fDeadline - seconds_now();
        pollfd entry{fd, POLLIN, 0};
        if (left > 0)
            poll(&entry, fd >= 0 ? 1 : 0, std::min(kTickMs, int(left * 1000) + 1));
        uint64 resident = 0;
        if (seconds_now() >= fDeadline)
            _Kill(Ending::kTimedOut);
        else if (fStatm >= 0 && statm_of(fStatm, &resident) && resident > fMaxResident)
            _Kill(Ending::kTooLarge);
        return fEnding == Ending::kRunning;
    }

    // Kills the child if it still runs.
    void Stop() { _Kill(Ending::kRunning); }

private:
    void _Kill(Ending why)
    {
        if (fEnding == Ending::kRunning)
            fEnding = why;
        kill(fChild, SIGKILL);
    }

    pid_t fChild;
    double fDeadline;
    uint64 fMaxResident = 0;
    int fStatm = -1;
    Ending fEnding = Ending::kRunning;
};

enum class Read
{
    kDone,
    kEnd,     // the pipe closed first
    kStopped, // the child was killed
};

Read read_exactly(int fd, Watch& watch, void* into, size_t size)
{
    char* at = static_cast<char*>(into);
    while (size > 0) {
        const ssize_t got = read(fd, at, size);
        if (got > 0) {
            at += got;
            size -= size_t(got);
        } else if (got == 0) {
            return Read::kEnd;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!watch.Wait(fd))
                return Read::kStopped;
        } else {
            return Read::kEnd;
        }
    }
    return Read::kDone;
}

// The child's status once it has ended, or it killed past its deadline.
void reap(pid_t child, Watch& watch, int* status, rusage* usage)
{
    for (;;) {
        const pid_t done = wait4(child, status, WNOHANG, usage);
        if (done == child || (done < 0 && errno != EINTR))
            return;
        if (!watch.Wait(-1)) {
            while (wait4(child, status, 0, usage) < 0 && errno == EINTR) {
            }
            return;
        }
    }
}

std::string one_line(std::string text)
{
    text = text.substr(0, text.find('\n'));
    for (char& c : text) {
        if (uint8(c) < 0x20 || uint8(c) == 0x7F)
            c = ' ';
    }
    return text;
}

bool all_finite(const std::vector<PlacedTriangle>& triangles)
{
    for (const PlacedTriangle& t : triangles) {
        for (const auto& corner : t.corner) {
            if (!std::isfinite(corner[0]) || !std::isfinite(corner[1]) || !std::isfinite(corner[2]))
                return false;
        }
    }
    return true;
}

} // namespace

status_t RunWalled(const WallLimits& limits, const WalledWork& work,
                   std::vector<PlacedTriangle>* triangles, std::string* why)
{
    triangles->clear();
    // The child starts as large as this process: its limits add to that.
    uint64 resident = 0, mapped = 0;
    const int self = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    const bool measured = self >= 0 && statm_of(self, &resident, &mapped);
    if (self >= 0)
        close(self);
    const long page = sysconf(_SC_PAGESIZE);
    rlim_t addressSpace = 0;
    if (kLimitAddressSpace && measured)
        addressSpace = rlim_t(mapped * uint64(page) + limits.memoryBytes);

    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        *why = std::string("cannot start the model reader: ") + std::strerror(errno);
        return B_ERROR;
    }
    // A larger pipe moves the triangles in fewer, larger copies.
    fcntl(channel[0], F_SETPIPE_SZ, 1 << 20);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(channel[0]);
        close(channel[1]);
        *why = std::string("cannot start the model reader: ") + std::strerror(error);
        return B_ERROR;
    }
    if (child == 0) {
        close(channel[0]);
        run_child(limits, work, parent, channel[1], addressSpace);
    }
    close(channel[1]);
    const int from = channel[0];
    fcntl(from, F_SETFL, fcntl(from, F_GETFL) | O_NONBLOCK);

    Watch watch(child, limits, resident);
    Header header{};
    std::string said;
    bool complete = false, damaged = false;
    Read got = read_exactly(from, watch, &header, sizeof(header));
    if (got == Read::kDone) {
        damaged = header.magic != kMagic || header.whyLength > kMaxWhy ||
                  header.count > limits.maxTriangles ||
                  (header.status != B_OK && header.count != 0);
    }
    if (got == Read::kDone && !damaged) {
        said.resize(header.whyLength);
        got = read_exactly(from, watch, said.data(), said.size());
    }
    if (got == Read::kDone && !damaged) {
        try {
            // The count is the child's word: room grows with what arrives.
            triangles->reserve(size_t(std::min<uint64>(header.count, kFirstRoom)));
            for (uint64 done = 0; done < header.count && got == Read::kDone;) {
                const size_t part = size_t(std::min<uint64>(kChunk, header.count - done));
                triangles->resize(size_t(done) + part);
                got = read_exactly(from, watch, triangles->data() + done,
                                   part * sizeof(PlacedTriangle));
                done += part;
            }
        } catch (const std::bad_alloc&) {
            watch.Stop();
            close(from);
            int status = 0;
            rusage usage{};
            reap(child, watch, &status, &usage);
            triangles->clear();
            *why = "out of memory";
            return B_NO_MEMORY;
        }
    }
    if (got == Read::kDone && !damaged) {
        // Nothing may follow the triangles.
        char extra;
        got = read_exactly(from, watch, &extra, 1);
        complete = got == Read::kEnd;
        damaged = got == Read::kDone;
    }
    if (damaged)
        watch.Stop();
    close(from);
    int status = 0;
    rusage usage{};
    reap(child, watch, &status, &usage);

    const char* failure = nullptr;
    status_t result = B_ILLEGAL_DATA;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    if (watch.Ended() == Ending::kTimedOut) {
        failure = "ran out of time";
        result = B_TIMED_OUT;
    } else if (watch.Ended() == Ending::kTooLarge) {
        failure = "ran out of memory";
        result = B_NO_MEMORY;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kOutOfMemoryExit) {
        failure = "ran out of memory";
        result = B_NO_MEMORY;
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) {
        failure = "ran out of time";
        result = B_TIMED_OUT;
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && !damaged) {
        // Not killed here: the CPU limit's hard end, or the system short of memory.
        const bool timed = cpu + 0.5 >= limits.cpuSeconds;
        failure = timed ? "ran out of time" : "ran out of memory";
        result = timed ? B_TIMED_OUT : B_NO_MEMORY;
    } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) && !damaged) {
        failure = "crashed";
    } else if (damaged || !complete || (header.status == B_OK && !all_finite(*triangles))) {
        // Ended well, yet what came back is not what it claimed.
        failure = "sent back damaged triangles";
    }
    if (failure != nullptr) {
        triangles->clear();
        triangles->shrink_to_fit();
        *why = std::string("the model reader failed (") + failure + ")";
        return result;
    }
    if (header.status != B_OK) {
        triangles->clear();
        *why = one_line(said);
        if (why->empty())
            *why = "the model library cannot read it";
        return header.status;
    }
    return B_OK;
}

} // namespace depth
