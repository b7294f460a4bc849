// Linked into every program of a ThreadSanitizer build, and only there.
//
// Qt starts a QProcess child with clone(CLONE_VM | CLONE_VFORK): the child runs in the
// parent's memory until it execs. The sanitizer's clone() wrapper treats every clone as a
// fork and, in the child, marks the process "after a multi-threaded fork" and resets its
// own records of the calling thread. With CLONE_VM those are the parent's records: from
// then on the parent dies at its next thread ("starting new threads after multi-threaded
// fork"), and the thread that started the child has its locks forgotten, so that what it
// reads under them is reported as races. A child that shares the memory is no fork: it is
// handed to the C library's clone directly; every other clone still goes through the
// sanitizer.
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

namespace {

using CloneFunction = int (*)(int (*)(void *), void *, int, void *, ...);

CloneFunction sanitizerClone()
{
    static const auto next = reinterpret_cast<CloneFunction>(dlsym(RTLD_NEXT, "clone"));
    return next;
}

CloneFunction libcClone()
{
    static const auto libc = [] {
        void *handle = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        return reinterpret_cast<CloneFunction>(handle ? dlsym(handle, "clone") : nullptr);
    }();
    return libc;
}

} // namespace

extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...) noexcept
{
    // The C library reads these three whatever the flags say.
    va_list rest;
    va_start(rest, arg);
    pid_t *parentTid = va_arg(rest, pid_t *);
    void *tls = va_arg(rest, void *);
    pid_t *childTid = va_arg(rest, pid_t *);
    va_end(rest);
    const CloneFunction real = (flags & CLONE_VM) && libcClone() ? libcClone() : sanitizerClone();
    return real(fn, stack, flags, arg, parentTid, tls, childTid);
}
