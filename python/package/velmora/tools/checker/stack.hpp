// Stack room: every function of the module refuses to start (RecursionError)
// when the calling thread's stack is nearly used up.
//
// Rules: a StackScope is the first statement of every function the
// interpreter enters; the function returns nullptr at once when it is false.
// It must live until the function returns (it counts the nesting on stacks
// of unknown bounds).

#ifndef TESSADYN_CHECKER_STACK_HPP
#define TESSADYN_CHECKER_STACK_HPP

#include "platform.hpp"

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <intrin.h>
#elif defined(__linux__) || defined(__APPLE__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

namespace {

// ---------------------------------------------------------------------------
// Stack room. The output function and the driver library may call back into
// the module (a check() from the output function, through C callables alone
// if they like), and the interpreter's own guard counts levels, not bytes: a
// thread with a small stack would overflow long before any level count. So
// every function of the module refuses to start with RecursionError when the
// calling thread's stack has less than kStackReserve bytes left: room for
// one call's own frames, the Python code it calls until that comes back into
// the module, and the clean-up of the calls above it.

#if defined(__SANITIZE_ADDRESS__)
#define TESSADYN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSADYN_ASAN 1
#endif
#endif

#if defined(TESSADYN_ASAN)
constexpr uintptr_t kStackReserve = 192 * 1024;   // instrumented frames are larger
#else
constexpr uintptr_t kStackReserve = 64 * 1024;
#endif
// Where the platform does not tell the stack's bounds, the module's calls
// nested on one thread may use this much stack below the outermost one.
constexpr uintptr_t kFallbackStackBudget = 256 * 1024;

// An address in the current stack frame (the real stack, also where a
// sanitizer moves locals elsewhere).
inline uintptr_t stack_here()
{
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#elif defined(_MSC_VER)
    return reinterpret_cast<uintptr_t>(_AddressOfReturnAddress());
#else
    volatile char here = 0;
    return reinterpret_cast<uintptr_t>(&here);
#endif
}

// The calling thread's stack, [low, high); both 0 when the platform does not
// tell. Stacks grow downwards on every platform the module is built for.
struct StackBounds {
    uintptr_t low = 0;
    uintptr_t high = 0;
};

StackBounds find_stack_bounds()
{
    StackBounds bounds;
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    bounds.low = static_cast<uintptr_t>(low);
    bounds.high = static_cast<uintptr_t>(high);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    uintptr_t top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    size_t size = pthread_get_stacksize_np(self);
    if (top > size) {
        bounds.low = top - size;
        bounds.high = top;
    }
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attr;
#if defined(__FreeBSD__)
    bool have = pthread_attr_init(&attr) == 0;
    if (have && pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        have = false;
    }
#else
    bool have = pthread_getattr_np(pthread_self(), &attr) == 0;
#endif
    if (have) {
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr) {
            bounds.low = reinterpret_cast<uintptr_t>(addr);
            bounds.high = bounds.low + size;
        }
        pthread_attr_destroy(&attr);
    }
#endif
    return bounds;
}

// Per thread: the stack's bounds, looked up once, and for the fallback the
// module's calls in progress on a stack of unknown bounds and where the
// outermost of them began.
struct ThreadStack {
    bool looked = false;
    StackBounds bounds;
    int calls = 0;
    uintptr_t outermost = 0;
};
thread_local ThreadStack t_stack;

// Refuses a call of the module (RecursionError) when the calling thread's
// stack has too little room left; one look at the thread's record per call
// (each access of a thread_local of a shared object is a call into the
// dynamic loader).
class StackScope {
public:
    TC_INLINE StackScope()
    {
        ThreadStack& ts = t_stack;
        if (!ts.looked) {
            ts.bounds = find_stack_bounds();
            ts.looked = true;
        }
        uintptr_t here = stack_here();
        if (here > ts.bounds.low && here <= ts.bounds.high) {
            ok_ = here - ts.bounds.low >= kStackReserve;
        }
        else {
            // Unknown bounds, or a stack the thread switched to (coroutine
            // libraries do): a fixed budget below the outermost such call.
            ok_ = ts.calls == 0 || here > ts.outermost ||
                  ts.outermost - here < kFallbackStackBudget;
            if (ok_) {
                if (ts.calls++ == 0) {
                    ts.outermost = here;
                }
                counted_ = &ts;
            }
        }
        if (!ok_) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded: too "
                                                  "little stack left for a nested call");
        }
    }
    ~StackScope()
    {
        if (counted_ != nullptr) {
            --counted_->calls;
        }
    }
    StackScope(const StackScope&) = delete;
    StackScope& operator=(const StackScope&) = delete;
    explicit operator bool() const { return ok_; }

private:
    bool ok_ = false;
    ThreadStack* counted_ = nullptr;
};

}  // namespace

#endif  // TESSADYN_CHECKER_STACK_HPP
