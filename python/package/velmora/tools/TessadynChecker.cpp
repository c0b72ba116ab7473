// velmora.tools.TessadynChecker: finds IO-Link masters through the driver
// library velmora.base, lists the devices on their ports and reports them
// through a caller-supplied output function.
//
// The module is written against the CPython C API directly. Every function
// behaves like the equivalent Python code would: module names are looked up
// in the module namespace when they are used, values are tested with the
// interpreter's truth test, and exceptions pass through unchanged after the
// clean-up that a Python try/finally would run.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <tuple>
#include <utility>
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#endif

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

// Keeps a function out of its callers: the join is one call per text, and
// inlined into a caller with constant spans it draws GCC's array-bounds
// warning on branches that cannot run for them.
#if defined(_MSC_VER)
#define TC_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define TC_NOINLINE __attribute__((noinline))
#else
#define TC_NOINLINE
#endif

// Keeps a short helper in its callers, where the compiler would call it:
// the copies of a text's pieces, a few instructions each.
#if defined(_MSC_VER)
#define TC_INLINE __forceinline
#elif defined(__GNUC__)
#define TC_INLINE inline __attribute__((always_inline))
#else
#define TC_INLINE inline
#endif

namespace {

constexpr const char kModuleName[] = "velmora.tools.TessadynChecker";
constexpr const char kVersion[] = "1.9.2";
// The maker's web site, named in the closing line of every complete run.
#define MAKER_URL "https://www.velmora.com"

// ---------------------------------------------------------------------------
// Owning reference: holds one strong reference, released on destruction.

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (the result of most API calls).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // Takes over a new reference in place of the one held.
    void reset(PyObject* obj) noexcept
    {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// Process-wide storage. The module refuses a second interpreter and a second
// module object, so plain statics are enough.

int64_t g_interpreter_id = -1;   // interpreter of the first import
PyObject* g_module = nullptr;    // the one module object (strong reference)
PyObject* g_print = nullptr;     // built-in print, fetched at load time

// Interned texts, made once at load time and kept for the life of the
// process: names looked up, read or called, parameter names and the values
// compared or handed on. Each row names its member and its text; the member
// and its initialisation both come from this one list. The fixed pieces of
// the output texts are not here: they are written where the texts are built.
#define TC_NAMES(X)                                                               \
    /* module namespace */                                                        \
    X(Dict2Obj, "Dict2Obj") X(_IoddDrv, "_IoddDrv") X(IoddUtility, "IoddUtility") \
    X(__version__, "__version__") X(__baseversion__, "__baseversion__")           \
    X(__name__, "__name__") X(__main__, "__main__") X(_state, "_state")           \
    X(abort, "abort") X(isRuning, "isRuning") X(check, "check")                   \
    X(_discover, "_discover") X(_list_master, "_list_master")                     \
    X(_get_master, "_get_master") X(_print_master, "_print_master")               \
    X(_get_text, "_get_text") X(_print_dev, "_print_dev") X(print, "print")       \
    X(moduleName, kModuleName) X(__qualname__, "__qualname__")                    \
    X(__module__, "__module__")                                                   \
    /* driver library attributes and operations */                                \
    X(CommonDriverManager, "CommonDriverManager") X(iodd, "iodd")                 \
    X(Logger, "Logger") X(IoddDev, "IoddDev")                                     \
    X(IoddMasterDriver, "IoddMasterDriver") X(_identNames, "_identNames")         \
    X(driverlist, "driverlist") X(IoddBaseDriver, "IoddBaseDriver")               \
    X(commonDrivers, "commonDrivers") X(driverName, "driverName")                 \
    X(getBaseDriverType, "getBaseDriverType") X(exist, "exist")                   \
    X(checkBaseDriverActive, "checkBaseDriverActive")                             \
    X(getBaseDriver, "getBaseDriver") X(discover, "discover") X(close, "close")   \
    X(_master, "_master") X(_base, "_base")                                       \
    X(checkActiveMasterDriver, "checkActiveMasterDriver")                         \
    X(getActiveMasterDriver, "getActiveMasterDriver")                             \
    X(checkMasterDriver, "checkMasterDriver") X(getMasterDriver, "getMasterDriver") \
    X(connect, "connect") X(disableEventChecking, "disableEventChecking")         \
    X(connected, "connected") X(getPortModes, "getPortModes")                     \
    X(activated, "activated") X(getDevices, "getDevices") X(options, "options")   \
    X(disconnect, "disconnect") X(deviceIdentifier, "deviceIdentifier")           \
    X(vendorId, "vendorId") X(deviceId, "deviceId") X(fwVersion, "fwVersion")     \
    X(vendor, "vendor") X(productName, "productName")                             \
    X(productCode, "productCode") X(portId, "portId")                             \
    /* Python methods and attributes */                                           \
    X(append, "append") X(args, "args") X(lower, "lower")                         \
    X(endswith, "endswith") X(startswith, "startswith") X(strip, "strip")         \
    /* parameters */                                                              \
    X(address, "address") X(auto_, "auto") X(printFnc, "printFnc")                \
    X(verbose, "verbose") X(select, "select") X(gui, "gui") X(base, "base")       \
    X(found, "found") X(masterbridge, "masterbridge") X(opt, "opt")               \
    X(anyActivated, "anyActivated") X(debug, "debug") X(master, "master")         \
    X(val, "val") X(default_, "default") X(dev, "dev") X(ident, "ident")          \
    X(idx, "idx") X(name, "name")                                                 \
    /* identification keys and their placeholders */                              \
    X(productText, "productText") X(productId, "productId")                       \
    X(serialNumber, "serialNumber") X(firmwareRevision, "firmwareRevision")       \
    X(hardwareRevision, "hardwareRevision")                                       \
    X(applicationSpecificTag, "applicationSpecificTag") X(vendorName, "vendorName") \
    X(NO_PRODUCT_TEXT, "NO_PRODUCT_TEXT") X(NO_PRODUCT_ID, "NO_PRODUCT_ID")       \
    X(NO_SERIAL, "NO_SERIAL") X(NO_FW_VER, "NO_FW_VER") X(NO_HW_VER, "NO_HW_VER") \
    X(NO_TAG, "NO_TAG")                                                           \
    /* values compared or handed on */                                            \
    X(empty, "") X(activatePorts, "activatePorts") X(off, "off")                  \
    X(autoValue, "auto") X(unknown, "unknown") X(Sim, "Sim") X(usb, "usb")        \
    X(eth, "eth") X(ethernet, "ethernet") X(ble, "ble") X(suffixUSB, "-USB")      \
    X(suffixIP, "-IP") X(suffixBLE, "-BLE") X(hex04, "04x") X(_logger, "_logger") \
    X(_getIndexVar, "_getIndexVar")

// Small ints compared with or handed on, from the same kind of list.
#define TC_NUMBERS(X) X(int0, 0) X(int2, 2) X(int9, 9) X(int16, 16) X(int24, 24)

// The identification values of a device text, in the order they are read:
// the first kWithPlaceholder through _get_text with a placeholder.
constexpr int kIdentValues = 8;
constexpr int kWithPlaceholder = 6;

struct Names {
#define TC_MEMBER(member, value) PyObject* member = nullptr;
    TC_NAMES(TC_MEMBER)
    TC_NUMBERS(TC_MEMBER)
#undef TC_MEMBER
    // The keys of the identification values and the placeholders, in order.
    PyObject* identKeys[kIdentValues] = {};
    PyObject* placeholders[kWithPlaceholder] = {};
    PyObject* optionsKwnames = nullptr;   // ("options",): getDevices' keyword
    bool ready = false;                   // every member above is set
};
Names N{};

// ---------------------------------------------------------------------------
// Small helpers over the C API.

// Interpreter truth test: 1, 0, or -1 with an exception set. The constants
// and exact strings and dicts, whose truth no code of a caller's can change,
// are answered here.
inline int truth(PyObject* obj)
{
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    if (PyUnicode_CheckExact(obj)) {
        return PyUnicode_GET_LENGTH(obj) != 0;
    }
    if (PyDict_CheckExact(obj)) {
        return PyDict_GET_SIZE(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}

// Truth of the rich comparison `a <op> b`, as an `if` statement sees it.
int compare(PyObject* a, PyObject* b, int op)
{
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    return truth(result.get());
}

// A METH_FASTCALL | METH_KEYWORDS function of this module.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The module-level names the module's own code looks up at each use.
#define TC_GLOBALS(X)                                                                   \
    X(Dict2Obj) X(_IoddDrv) X(IoddUtility) X(__version__) X(__baseversion__) X(_state) \
    X(check) X(_discover) X(_list_master) X(_get_master) X(_print_master) X(_get_text)  \
    X(_print_dev)

enum class G {
#define TC_GLOBAL_ENUM(name) name,
    TC_GLOBALS(TC_GLOBAL_ENUM)
#undef TC_GLOBAL_ENUM
};

PyObject* global_name(G global)
{
    PyObject* const* names[] = {
#define TC_GLOBAL_NAME(name) &N.name,
        TC_GLOBALS(TC_GLOBAL_NAME)
#undef TC_GLOBAL_NAME
    };
    return *names[static_cast<int>(global)];
}

// Module-namespace look-ups are remembered until the namespace changes, one
// slot per name: a dict watcher on the namespace empties every slot on every
// change, so a rebound name is seen at its next use. Without a free watcher
// every look-up goes to the dict. Measured with callgrind (200 masters x 8
// devices): the memory saved about 9% of a check()'s instructions as a scan
// of remembered names; as slots a look-up costs a dozen instructions, against
// about 75 for that scan at _get_text's position.
struct GlobalSlot {
    PyObject* value;        // borrowed: the namespace holds it while unchanged
    FastcallFunction own;   // the module's own function bound to the name, if it is one
};

struct LookupCache {
    int watcher = -1;
    PyObject* dict = nullptr;    // the watched namespace (borrowed)
    size_t changes = 0;          // twice the times the slots were emptied
#define TC_GLOBAL_COUNT(name) +1
    GlobalSlot slots[0 TC_GLOBALS(TC_GLOBAL_COUNT)];
#undef TC_GLOBAL_COUNT
};
LookupCache g_lookups;

void forget_lookups()
{
    for (GlobalSlot& slot : g_lookups.slots) {
        slot = {nullptr, nullptr};
    }
    g_lookups.changes += 2;
}

int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*)
{
    if (dict == g_lookups.dict) {
        forget_lookups();
        if (event == PyDict_EVENT_DEALLOCATED) {
            g_lookups.dict = nullptr;
        }
    }
    return 0;
}

// Starts remembering look-ups in `dict`, the module namespace.
void watch_namespace(PyObject* dict)
{
    if (g_lookups.watcher < 0) {
        g_lookups.watcher = PyDict_AddWatcher(namespace_changed);
    }
    if (g_lookups.watcher < 0 || PyDict_Watch(g_lookups.watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    g_lookups.dict = dict;
    forget_lookups();
}

// The implementation of `func` when it is one of this module's own
// functions, bound to `module`; otherwise nullptr.
FastcallFunction own_function(PyObject* module, PyObject* func)
{
    if (!PyCFunction_Check(func) || PyCFunction_GET_SELF(func) != module) {
        return nullptr;
    }
    return reinterpret_cast<FastcallFunction>(
        reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(func)));
}

// The remembered slot of a name, or nullptr when it must be looked up.
inline const GlobalSlot* remembered(PyObject* module, G global)
{
    if (module != g_module || g_lookups.dict == nullptr) {
        return nullptr;
    }
    const GlobalSlot* slot = &g_lookups.slots[static_cast<int>(global)];
    return slot->value != nullptr ? slot : nullptr;
}

// Looks a name up in the module namespace, then in the built-ins, like a
// global name in Python code; a missing name is a NameError. `own` receives
// the implementation when the name holds one of the module's own functions.
Ref lookup_slow(PyObject* module, G global, FastcallFunction* own)
{
    PyObject* name = global_name(global);
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) {
        return {};
    }
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, name, &value);
    if (found > 0) {
        FastcallFunction impl = own_function(module, value);
        if (own != nullptr) {
            *own = impl;
        }
        if (dict == g_lookups.dict && module == g_module) {
            g_lookups.slots[static_cast<int>(global)] = {value, impl};
        }
        return Ref::steal(value);
    }
    if (found < 0) {
        return {};
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        found = PyDict_GetItemRef(builtins, name, &value);
        if (found != 0) {
            if (found > 0 && own != nullptr) {
                *own = own_function(module, value);
            }
            return Ref::steal(found > 0 ? value : nullptr);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

inline Ref lookup(PyObject* module, G global, FastcallFunction* own = nullptr)
{
    if (const GlobalSlot* slot = remembered(module, global)) {
        if (own != nullptr) {
            *own = slot->own;
        }
        return Ref::borrow(slot->value);
    }
    if (own != nullptr) {
        *own = nullptr;
    }
    return lookup_slow(module, global, own);
}

Ref getattr(PyObject* obj, PyObject* name)
{
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.name(*args)
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {})
{
    PyObject* stack[4] = {obj, nullptr, nullptr, nullptr};
    size_t n = 1;
    for (PyObject* arg : args) {
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// func(*args)
Ref call(PyObject* func, std::initializer_list<PyObject*> args = {})
{
    PyObject* stack[8];
    stack[0] = nullptr;   // room for a bound method's self
    size_t n = 1;
    for (PyObject* arg : args) {
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_Vectorcall(
        func, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// func(arg), the call of an output function.
inline Ref call_one(PyObject* func, PyObject* arg)
{
    PyObject* stack[2] = {nullptr, arg};   // room for a bound method's self
    return Ref::steal(
        PyObject_Vectorcall(func, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Looks `name` up in the module namespace and calls it. While the name still
// holds the module's own function, that function is entered directly, without
// the call machinery of a builtin: about 11% of a check()'s instructions.
Ref call_global(PyObject* module, G name, std::initializer_list<PyObject*> args)
{
    FastcallFunction own = nullptr;
    Ref func = lookup(module, name, &own);
    if (!func) {
        return {};
    }
    if (own != nullptr) {
        return Ref::steal(own(module, args.begin(), static_cast<Py_ssize_t>(args.size()), nullptr));
    }
    return call(func.get(), args);
}

// The text form of a value: str(value).
Ref text(PyObject* value) { return Ref::steal(PyObject_Str(value)); }

// ---------------------------------------------------------------------------
// Output texts are built from spans and allocated once. A span is a run of
// characters of one kind: an ASCII string literal, a whole exact string, a
// slice of one (what strip() keeps) or digits written here. Setting one up
// reads no character: literals are spans at compile time, strings give their
// kind, length and bound on their widest character from their header.
// Anything that is not an exact string is a foreign span, which the join
// hands to its generic path.

// Set in Span::maxchar of a foreign span, above every character.
constexpr Py_UCS4 kForeign = 0x80000000u;

struct Span {
    const void* data;    // the characters; for a foreign span the object (borrowed)
    Py_ssize_t length;
    Py_UCS4 maxchar;     // widest character, the bound of its kind, or kForeign
    int kind;

    Span() = default;    // uninitialised, as a slot of Spans or Piece
    // An ASCII string literal.
    template <size_t K>
    constexpr Span(const char (&literal)[K])
        : data(literal), length(static_cast<Py_ssize_t>(K - 1)), maxchar(0x7f),
          kind(PyUnicode_1BYTE_KIND) {}
    constexpr Span(const void* chars, Py_ssize_t n, Py_UCS4 widest, int k)
        : data(chars), length(n), maxchar(widest), kind(k) {}
    // A whole string object.
    Span(PyObject* str)
    {
        if (!PyUnicode_CheckExact(str)) {
            *this = foreign(str);
            return;
        }
        data = PyUnicode_DATA(str);
        length = PyUnicode_GET_LENGTH(str);
        maxchar = PyUnicode_MAX_CHAR_VALUE(str);
        kind = PyUnicode_KIND(str);
    }
    static Span foreign(PyObject* obj) { return {obj, 0, kForeign, PyUnicode_1BYTE_KIND}; }
    PyObject* foreign_object() const
    {
        return maxchar == kForeign ? static_cast<PyObject*>(const_cast<void*>(data)) : nullptr;
    }
};

// One value of a text with what keeps it alive: a string it holds a
// reference to, or digits in its own buffer. Not copied or moved, since its
// span may point into it; a Span taken from it must not outlive it. Its span
// is set by one of the set functions before it is used.
class Piece {
public:
    Piece() {}
    Piece(const Piece&) = delete;
    Piece& operator=(const Piece&) = delete;

    const Span& span() const { return span_; }
    operator const Span&() const { return span_; }
    // The string object the span is the whole of, or nullptr.
    PyObject* whole_object() const
    {
        PyObject* owner = owner_.get();
        if (owner == nullptr || !PyUnicode_Check(owner)) {
            return owner;   // a foreign object, or digits
        }
        return span_.data == PyUnicode_DATA(owner) &&
                       span_.length == PyUnicode_GET_LENGTH(owner)
                   ? owner
                   : nullptr;
    }

    // A whole string, or any object the join decides about.
    bool set(Ref value)
    {
        owner_ = std::move(value);
        if (!owner_) {
            return false;
        }
        span_ = Span(owner_.get());
        return true;
    }
    // The characters [start, end) of the exact string `str`.
    void set_slice(Ref str, Py_ssize_t start, Py_ssize_t end);
    // `length` characters at `chars` of the exact ASCII string `str`.
    void set_ascii(Ref&& str, const Py_UCS1* chars, Py_ssize_t length)
    {
        owner_ = std::move(str);
        span_ = Span(chars, length, 0x7f, PyUnicode_1BYTE_KIND);
    }
    // The digits of `number` in base 10 or 16 (lower case), at least `width`.
    template <unsigned Base>
    void set_digits(size_t number, int width);
    // The hex digits of a 32-bit number, at least four.
    void set_hex4(uint32_t number);
    // A decimal digit.
    void set_digit(unsigned digit)
    {
        owner_.reset(nullptr);
        digits_[0] = static_cast<char>('0' + digit);
        span_ = Span(digits_, 1, 0x7f, PyUnicode_1BYTE_KIND);
    }

private:
    Ref owner_;
    Span span_;
    char digits_[sizeof(size_t) * 2 + 4];
};

// Whether a piece is an exact str (or digits written here): adding it runs
// nobody's code.
inline bool exact(const Piece& piece) { return piece.span().maxchar != kForeign; }

void Piece::set_slice(Ref str, Py_ssize_t start, Py_ssize_t end)
{
    owner_ = std::move(str);
    PyObject* s = owner_.get();
    int kind = PyUnicode_KIND(s);
    const char* chars = static_cast<const char*>(PyUnicode_DATA(s)) + start * kind;
    Py_ssize_t length = end - start;
    Py_UCS4 widest = 0x7f;
    if (!PyUnicode_IS_ASCII(s)) {
        widest = PyUnicode_MAX_CHAR_VALUE(s);
        if (length != PyUnicode_GET_LENGTH(s)) {
            // What strip() removed may have held the widest characters; the
            // join needs the slice's own to choose the narrowest kind.
            widest = 0;
            for (Py_ssize_t i = 0; i < length; ++i) {
                Py_UCS4 c = PyUnicode_READ(kind, chars, i);
                widest = c > widest ? c : widest;
            }
        }
    }
    span_ = Span(chars, length, widest, kind);
}

// "000102...feff": the two hex digits of every byte.
constexpr struct HexPairs {
    char text[513];
    constexpr HexPairs() : text()
    {
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = "0123456789abcdef"[i >> 4];
            text[2 * i + 1] = "0123456789abcdef"[i & 0xf];
        }
    }
} kHexPairTable;
constexpr const char* kHexPairs = kHexPairTable.text;

TC_INLINE void Piece::set_hex4(uint32_t number)
{
    owner_.reset(nullptr);
    // Right-aligned in the buffer, two digits at a time: the low four, then
    // the high four only when they are needed.
    char* end = digits_ + 8;
    std::memcpy(end - 2, kHexPairs + 2 * (number & 0xff), 2);
    std::memcpy(end - 4, kHexPairs + 2 * ((number >> 8) & 0xff), 2);
    int count = 4;
    if ((number >> 16) != 0) {
        std::memcpy(end - 6, kHexPairs + 2 * ((number >> 16) & 0xff), 2);
        std::memcpy(end - 8, kHexPairs + 2 * (number >> 24), 2);
        count = (number >> 24) != 0 ? ((number >> 28) != 0 ? 8 : 7)
                                    : ((number >> 20) != 0 ? 6 : 5);
    }
    span_ = Span(end - count, count, 0x7f, PyUnicode_1BYTE_KIND);
}

template <unsigned Base>
void Piece::set_digits(size_t number, int width)
{
    static constexpr char digit[] = "0123456789abcdef";
    char* end = digits_ + sizeof digits_;
    char* at = end;
    if (Base == 16) {
        // As many digits as the number needs, at least `width`, two at a time.
        int count = width < 1 ? 1 : width;
        while (count < static_cast<int>(2 * sizeof number) && (number >> (4 * count)) != 0) {
            ++count;
        }
        at -= count;
        int i = count;
        if (count == 4) {
            std::memcpy(at, kHexPairs + 2 * ((number >> 8) & 0xff), 2);
            std::memcpy(at + 2, kHexPairs + 2 * (number & 0xff), 2);
            i = 0;
        }
        for (; i >= 2; i -= 2) {
            std::memcpy(at + i - 2, kHexPairs + 2 * (number & 0xff), 2);
            number >>= 8;
        }
        if (i == 1) {
            at[0] = digit[number & 0xf];
        }
    }
    else if (number < Base && width <= 1) {
        *--at = digit[number];
    }
    else {
        do {
            *--at = digit[number % Base];
            number /= Base;
        } while (number != 0);
        while (end - at < width) {
            *--at = '0';
        }
    }
    owner_ = Ref();
    span_ = Span(at, end - at, 0x7f, PyUnicode_1BYTE_KIND);
}

// The compact value of an exact int, when it lies in [0, bound].
inline bool small_int(PyObject* value, Py_ssize_t bound, Py_ssize_t& small)
{
    if (!PyLong_CheckExact(value)) {
        return false;
    }
    PyLongObject* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    small = PyUnstable_Long_CompactValue(number);
    return small >= 0 && small <= bound;
}

// The digits of a non-negative exact int small enough for one machine word,
// written into the piece: 1 when written, 0 when the value takes the generic
// path, -1 on error.
template <unsigned Base>
int int_digits(PyObject* value, Piece& piece, int width)
{
    Py_ssize_t small;
    if (small_int(value, PY_SSIZE_T_MAX, small)) {
        piece.set_digits<Base>(static_cast<size_t>(small), width);
        return 1;
    }
    // Not an int, or a negative one of a machine word.
    if (!PyLong_CheckExact(value) ||
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        return 0;
    }
    int overflow = 0;
    long long big = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (big == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow != 0 || big < 0 || static_cast<unsigned long long>(big) > SIZE_MAX) {
        return 0;
    }
    piece.set_digits<Base>(static_cast<size_t>(big), width);
    return 1;
}

// The hex form of an identifier: format(value, "04x"). Non-negative exact
// ints are written here with the same digits, in about a tenth of the
// instructions of the format call; this is what hex04() does not do inline.
TC_NOINLINE bool hex04_other(PyObject* value, Piece& piece)
{
    int done = int_digits<16>(value, piece, 4);
    if (done != 0) {
        return done > 0;
    }
    return piece.set(Ref::steal(PyObject_Format(value, N.hex04)));
}

// IDs are exact ints of 16 (vendor) and 24 bits (device): their digits
// inline.
TC_INLINE bool hex04(PyObject* value, Piece& piece)
{
    Py_ssize_t small;
    if (small_int(value, 0x7fffffff, small)) {
        piece.set_hex4(static_cast<uint32_t>(small));
        return true;
    }
    return hex04_other(value, piece);
}

// The text form of a value: str(value); exact strings are used as they are
// and plain ints written here.
TC_NOINLINE bool text_form_other(PyObject* value, Piece& piece)
{
    int done = int_digits<10>(value, piece, 1);
    if (done != 0) {
        return done > 0;
    }
    return piece.set(text(value));
}

// Exact strings and one-digit ints (port numbers) inline.
inline bool text_form(PyObject* value, Piece& piece)
{
    if (PyUnicode_CheckExact(value)) {
        return piece.set(Ref::borrow(value));
    }
    Py_ssize_t small;
    if (small_int(value, 9, small)) {
        piece.set_digit(static_cast<unsigned>(small));
        return true;
    }
    return text_form_other(value, piece);
}

// strip() of what is not an exact ASCII string.
TC_NOINLINE bool strip_other(Ref&& value, Piece& piece)
{
    PyObject* str = value.get();
    if (!PyUnicode_CheckExact(str)) {
        return piece.set(call_method(str, N.strip));
    }
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(str);
    int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
        ++start;
    }
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
        --end;
    }
    piece.set_slice(std::move(value), start, end);
    return true;
}

// value.strip() of an exact string, taking over `value`: trimmed here with
// the white-space rule of str.strip(), without a copy.
TC_INLINE bool strip_exact(Ref&& value, Piece& piece)
{
    PyObject* str = value.get();
    if (!PyUnicode_IS_COMPACT_ASCII(str)) {
        return strip_other(std::move(value), piece);
    }
    // The characters of a compact ASCII string follow its header.
    const Py_UCS1* chars = reinterpret_cast<const Py_UCS1*>(
        reinterpret_cast<const PyASCIIObject*>(str) + 1);
    Py_ssize_t end = PyUnicode_GET_LENGTH(str);
    // Every ASCII white-space character is at most a space: a text that
    // begins and ends above it has nothing to strip, as most have.
    if (end > 0 && chars[0] > ' ' && chars[end - 1] > ' ') {
        piece.set_ascii(std::move(value), chars, end);
        return true;
    }
    const Py_UCS1* first = chars;
    const Py_UCS1* last = chars + end;
    while (first < last && _Py_ascii_whitespace[*first]) {
        ++first;
    }
    while (last > first && _Py_ascii_whitespace[last[-1]]) {
        --last;
    }
    piece.set_ascii(std::move(value), first, last - first);
    return true;
}

// value.strip(), taking over `value`: exact strings trimmed here, other
// objects get their own method called.
inline bool strip(Ref&& value, Piece& piece)
{
    if (!PyUnicode_CheckExact(value.get())) {
        return strip_other(std::move(value), piece);
    }
    return strip_exact(std::move(value), piece);
}

// text.endswith(suffix) / text.startswith(prefix) as a truth value.
int affix(PyObject* text, PyObject* affix, bool suffix)
{
    if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(affix)) {
        return static_cast<int>(PyUnicode_Tailmatch(
            text, affix, 0, PY_SSIZE_T_MAX, suffix ? 1 : -1));
    }
    Ref result = call_method(text, suffix ? N.endswith : N.startswith, {affix});
    if (!result) {
        return -1;
    }
    return truth(result.get());
}

// Copies a short run of bytes with a few unaligned word moves; longer runs
// go to memcpy. Report pieces are mostly a few to twenty characters, where a
// call of memcpy costs more than the copy.
TC_INLINE void copy_bytes(char* to, const char* from, size_t n)
{
    if (n <= 8) {
        if (n >= 4) {
            uint32_t head, tail;
            std::memcpy(&head, from, 4);
            std::memcpy(&tail, from + n - 4, 4);
            std::memcpy(to, &head, 4);
            std::memcpy(to + n - 4, &tail, 4);
        }
        else if (n > 0) {
            to[0] = from[0];
            to[n / 2] = from[n / 2];
            to[n - 1] = from[n - 1];
        }
    }
    else if (n <= 16) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    }
    else if (n <= 32) {
        char head[16], tail[16];
        std::memcpy(head, from, 16);
        std::memcpy(tail, from + n - 16, 16);
        std::memcpy(to, head, 16);
        std::memcpy(to + n - 16, tail, 16);
    }
    else {
        std::memcpy(to, from, n);
    }
}

// Copies `length` characters into a string of another kind.
template <class From, class To>
void convert(const void* from, void* to, Py_ssize_t length)
{
    const From* __restrict source = static_cast<const From*>(from);
    To* __restrict target = static_cast<To*>(to);
    for (Py_ssize_t i = 0; i < length; ++i) {
        target[i] = static_cast<To>(source[i]);
    }
}

// One-byte to two-byte characters, the widening of most non-ASCII texts
// (ASCII literals and values beside a character beyond Latin-1): eight at a
// time where SSE2 is there.
TC_INLINE void widen_1_2(const void* from, void* to, Py_ssize_t length)
{
    const Py_UCS1* source = static_cast<const Py_UCS1*>(from);
    Py_UCS2* target = static_cast<Py_UCS2*>(to);
    Py_ssize_t i = 0;
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
    const __m128i zero = _mm_setzero_si128();
    auto widen8 = [&](Py_ssize_t at) {
        __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at), _mm_unpacklo_epi8(bytes, zero));
    };
    auto widen4 = [&](Py_ssize_t at) {
        int32_t word;
        std::memcpy(&word, source + at, 4);
        __m128i wide = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(target + at), wide);
    };
    if (length >= 8) {
        for (; i + 8 <= length; i += 8) {
            widen8(i);
        }
        if (i < length) {
            widen8(length - 8);   // the last eight again, overlapping
        }
        return;
    }
    if (length >= 4) {
        widen4(0);
        widen4(length - 4);
        return;
    }
#endif
    for (; i < length; ++i) {
        target[i] = source[i];
    }
}

// Copies a span into the result, converting to the result's kind.
void copy_span(const Span& span, char* to, int kind)
{
    if (span.kind == kind) {
        copy_bytes(to, static_cast<const char*>(span.data),
                   static_cast<size_t>(span.length) * static_cast<size_t>(kind));
        return;
    }
    // Widening from a narrower kind, or narrowing a slice whose characters
    // fit a kind narrower than its string's.
    switch (span.kind * 4 + kind) {
    case PyUnicode_1BYTE_KIND * 4 + PyUnicode_2BYTE_KIND:
        return widen_1_2(span.data, to, span.length);
    case PyUnicode_1BYTE_KIND * 4 + PyUnicode_4BYTE_KIND:
        return convert<Py_UCS1, Py_UCS4>(span.data, to, span.length);
    case PyUnicode_2BYTE_KIND * 4 + PyUnicode_4BYTE_KIND:
        return convert<Py_UCS2, Py_UCS4>(span.data, to, span.length);
    case PyUnicode_2BYTE_KIND * 4 + PyUnicode_1BYTE_KIND:
        return convert<Py_UCS2, Py_UCS1>(span.data, to, span.length);
    case PyUnicode_4BYTE_KIND * 4 + PyUnicode_1BYTE_KIND:
        return convert<Py_UCS4, Py_UCS1>(span.data, to, span.length);
    default:
        return convert<Py_UCS4, Py_UCS2>(span.data, to, span.length);
    }
}

Ref join_foreign(const Span* spans, size_t count);

// The widest character and kind of a span lie side by side, so that the
// sizes of a text OR the two in one word per span.
struct SpanTags {
    Py_UCS4 maxchar;
    int kind;
};
static_assert(offsetof(Span, kind) == offsetof(Span, maxchar) + sizeof(Py_UCS4) &&
              sizeof(SpanTags) == sizeof(uint64_t));

inline uint64_t span_tags(const Span& span)
{
    uint64_t tags;
    std::memcpy(&tags, reinterpret_cast<const char*>(&span) + offsetof(Span, maxchar),
                sizeof tags);
    return tags;
}

// The sizes of the spans of one text: the sum of their lengths, an OR of
// their widest characters (which falls in the same kind as their maximum, the
// kinds' bounds being powers of two) and an OR of their kinds. Each length is
// at most the size of the address space, so the sum of the few spans of one
// text cannot wrap in 64 bits, also on 32-bit hosts.
struct Sizes {
    uint64_t length = 0;
    uint64_t tags = 0;   // the OR of the spans' SpanTags

    void add(const Span& span)
    {
        length += static_cast<uint64_t>(span.length);
        tags |= span_tags(span);
    }
    Py_UCS4 maxchar() const { return std::bit_cast<SpanTags>(tags).maxchar; }
    int kinds() const { return std::bit_cast<SpanTags>(tags).kind; }
};

// Joins spans of the given sizes into one new string with a single
// allocation, copying each character once. Against a join through
// _PyUnicodeWriter the one-allocation join took 15-23% fewer instructions per
// report text; with the sizes known up front and short copies done inline it
// takes about half of what it took then (callgrind: 1,449 -> ~560 per
// device text, the allocation included).
TC_NOINLINE Ref join_sized(const Span* spans, size_t count, const Sizes& sizes)
{
    if (sizes.maxchar() & kForeign) {
        return join_foreign(spans, count);
    }
    if (sizes.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    // The OR may exceed the last code point where the kind is four bytes.
    Py_UCS4 maxchar = sizes.maxchar() > 0xffff ? 0x10ffff : sizes.maxchar();
    Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(sizes.length), maxchar));
    if (!result) {
        return {};
    }
    int kind = PyUnicode_KIND(result.get());
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    if (sizes.kinds() == PyUnicode_1BYTE_KIND) {
        // Every span and the result are one byte a character, as in most
        // texts: byte copies only.
        for (size_t i = 0; i < count; ++i) {
            size_t bytes = static_cast<size_t>(spans[i].length);
            copy_bytes(data, static_cast<const char*>(spans[i].data), bytes);
            data += bytes;
        }
        return result;
    }
    if (sizes.kinds() == kind) {
        for (size_t i = 0; i < count; ++i) {
            size_t bytes = static_cast<size_t>(spans[i].length) * static_cast<size_t>(kind);
            copy_bytes(data, static_cast<const char*>(spans[i].data), bytes);
            data += bytes;
        }
        return result;
    }
    for (size_t i = 0; i < count; ++i) {
        copy_span(spans[i], data, kind);
        data += spans[i].length * kind;
    }
    return result;
}

Ref join(const Span* spans, size_t count)
{
    Sizes sizes;
    for (size_t i = 0; i < count; ++i) {
        sizes.add(spans[i]);
    }
    return join_sized(spans, count, sizes);
}

// The join of texts with pieces that are not exact strings: string
// subclasses give their characters, anything else is the error of Python's
// `+` on strings.
Ref join_foreign(const Span* spans, size_t count)
{
    Span resolved[40];
    if (count > std::size(resolved)) {
        PyErr_SetString(PyExc_SystemError, "too many pieces in one text");
        return {};
    }
    for (size_t i = 0; i < count; ++i) {
        PyObject* piece = spans[i].foreign_object();
        if (piece == nullptr) {
            resolved[i] = spans[i];
            continue;
        }
        if (!PyUnicode_Check(piece)) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(piece)->tp_name);
            return {};
        }
        resolved[i] = Span(PyUnicode_DATA(piece), PyUnicode_GET_LENGTH(piece),
                           PyUnicode_MAX_CHAR_VALUE(piece), PyUnicode_KIND(piece));
    }
    return join(resolved, count);
}

Ref join(std::initializer_list<Span> spans) { return join(spans.begin(), spans.size()); }

// Collects the spans of one text in order; its slots stay uninitialised
// until a span is added.
struct Spans {
    Span items[32];
    size_t count = 0;

    Spans() {}
    Spans(const Spans&) = delete;
    Spans& operator=(const Spans&) = delete;

    Spans& operator<<(const Span& span)
    {
        items[count++] = span;
        return *this;
    }
    bool full() const { return count == std::size(items); }
};

// A span as a string object of its own: `object` when the span is the whole
// of it, else a new string of the span's characters.
Ref span_object(const Span& span, PyObject* object)
{
    if (object != nullptr) {
        return Ref::borrow(object);
    }
    if (PyObject* foreign = span.foreign_object()) {
        return Ref::borrow(foreign);
    }
    return Ref::steal(PyUnicode_FromKindAndData(span.kind, span.data, span.length));
}

// A text built the way `a + b + c ...` builds it in Python. While every
// operand is an exact str the operands are only collected and joined with one
// allocation at the end: concatenating exact strings runs nobody's code. From
// the first operand that is anything else (a str subclass, which may bring
// __radd__ or __add__, or no str at all) the sum is the interpreter's `+`,
// applied operand by operand in order, so such methods run with the operands
// and at the point at which Python runs them; callers compute each operand
// only after adding the ones before it. A sum made earlier is added to
// another as one operand, as the variable holding it would be in Python.
// A collected span points into its string: what it points into (a piece, a
// reference, an inner sum) must outlive the sum.
class Sum {
public:
    template <size_t K>
    bool add(const char (&literal)[K])
    {
        return add(Span(literal), nullptr);
    }
    bool add(const Piece& piece) { return add(piece.span(), piece.whole_object()); }
    bool add(PyObject* str) { return add(Span(str), str); }
    // Adds one operand; false with an exception set when `+` failed.
    bool add(const Span& span, PyObject* object)
    {
        if (!adding_ && span.maxchar != kForeign && spans_.count > 0 && !spans_.full()) {
            spans_ << span;
            sizes_.add(span);
            return true;
        }
        return add_operand(span, object);
    }
    // The first operand, or the interpreter's `+` with one more operand,
    // switching to it first when the collected operands are all there was.
    TC_NOINLINE bool add_operand(const Span& span, PyObject* object)
    {
        if (!adding_) {
            if (span.maxchar != kForeign && !spans_.full()) {
                if (spans_.count == 0) {
                    first_ = object;
                }
                spans_ << span;
                sizes_.add(span);
                return true;
            }
            if (spans_.count == 0) {
                // The first operand is the value so far, not added to anything.
                adding_ = true;
                value_ = span_object(span, object);
                return static_cast<bool>(value_);
            }
            if (!start_adding()) {
                return false;
            }
        }
        Ref operand = span_object(span, object);
        value_ = operand ? Ref::steal(PyNumber_Add(value_.get(), operand.get())) : Ref();
        return static_cast<bool>(value_);
    }
    bool add(const Sum& inner)
    {
        if (inner.adding_) {
            return add(inner.value_.get());   // the inner sum keeps its value
        }
        if (!adding_ && spans_.count + inner.spans_.count <= std::size(spans_.items)) {
            if (spans_.count == 0) {
                first_ = inner.first_;
            }
            for (size_t i = 0; i < inner.spans_.count; ++i) {
                spans_ << inner.spans_.items[i];
                sizes_.add(inner.spans_.items[i]);
            }
            return true;
        }
        // `+` in use (or too many pieces to collect): the inner value as one operand.
        if (!adding_ && spans_.count > 0 && !start_adding()) {
            return false;
        }
        Ref joined = inner.value();
        if (!joined || !adding_) {
            adding_ = true;
            value_ = std::move(joined);
            return static_cast<bool>(value_);
        }
        value_ = Ref::steal(PyNumber_Add(value_.get(), joined.get()));
        return static_cast<bool>(value_);
    }
    // The sum's value: a new reference, or null with an exception set.
    Ref value() const
    {
        if (adding_) {
            return Ref::borrow(value_.get());
        }
        if (spans_.count == 1) {
            return span_object(spans_.items[0], first_);
        }
        return join_sized(spans_.items, spans_.count, sizes_);
    }

private:
    bool start_adding()
    {
        value_ = value();
        adding_ = true;
        return static_cast<bool>(value_);
    }

    Spans spans_;
    Sizes sizes_;
    PyObject* first_ = nullptr;   // the object the first span is the whole of
    Ref value_;                   // the value so far, once `+` is in use
    bool adding_ = false;
};

// The join of a text whose layout is fixed, written as its parts in order:
// string literals, spans, and groups of them that a condition leaves in or
// out (when()). The literals' lengths are known here, so their sizes add up
// at compile time and each is copied with moves of a known width; only the
// values are sized and copied at run time. Texts that are not all one byte a
// character go to join_sized.
template <class... Parts>
struct Group {
    bool present;
    std::tuple<const Parts&...> parts;
};

// The parts, when `present`; otherwise nothing.
template <class... Parts>
Group<Parts...> when(bool present, const Parts&... parts)
{
    return {present, std::tuple<const Parts&...>(parts...)};
}

template <size_t K>
constexpr void add_size(Sizes& sizes, const char (&)[K])
{
    sizes.length += K - 1;
    sizes.tags |= std::bit_cast<uint64_t>(SpanTags{0x7f, PyUnicode_1BYTE_KIND});
}
inline void add_size(Sizes& sizes, const Span& span) { sizes.add(span); }
template <class... Parts>
void add_size(Sizes& sizes, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&sizes](const auto&... part) { (add_size(sizes, part), ...); }, group.parts);
    }
}

template <size_t K>
TC_INLINE void copy_part(char*& to, const char (&literal)[K])
{
    std::memcpy(to, literal, K - 1);
    to += K - 1;
}
TC_INLINE void copy_part(char*& to, const Span& span)
{
    copy_bytes(to, static_cast<const char*>(span.data), static_cast<size_t>(span.length));
    to += span.length;
}
template <class... Parts>
void copy_part(char*& to, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&to](const auto&... part) { (copy_part(to, part), ...); }, group.parts);
    }
}

// The same into a text of two bytes a character: one-byte parts widened.
template <size_t K>
TC_INLINE void copy_part2(Py_UCS2*& to, const char (&literal)[K])
{
    widen_1_2(literal, to, K - 1);
    to += K - 1;
}
TC_INLINE void copy_part2(Py_UCS2*& to, const Span& span)
{
    if (span.kind == PyUnicode_1BYTE_KIND) {
        widen_1_2(span.data, to, span.length);
    }
    else {
        std::memcpy(to, span.data, static_cast<size_t>(span.length) * 2);
    }
    to += span.length;
}
template <class... Parts>
void copy_part2(Py_UCS2*& to, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&to](const auto&... part) { (copy_part2(to, part), ...); }, group.parts);
    }
}

inline void add_span(Spans& spans, const Span& span) { spans << span; }
template <class... Parts>
void add_span(Spans& spans, const Group<Parts...>& group)
{
    if (group.present) {
        std::apply([&spans](const auto&... part) { (add_span(spans, Span(part)), ...); },
                   group.parts);
    }
}

template <class... Parts>
TC_NOINLINE Ref join_text(const Parts&... parts)
{
    Sizes sizes;
    (add_size(sizes, parts), ...);
    if (sizes.length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    Py_ssize_t length = static_cast<Py_ssize_t>(sizes.length);
    if (sizes.kinds() == PyUnicode_1BYTE_KIND && sizes.maxchar() <= 0xff) {
        Ref result = Ref::steal(PyUnicode_New(length, sizes.maxchar()));
        if (!result) {
            return {};
        }
        char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
        (copy_part(data, parts), ...);
        return result;
    }
    if ((sizes.kinds() & PyUnicode_4BYTE_KIND) == 0 && sizes.maxchar() > 0xff &&
        sizes.maxchar() <= 0xffff) {
        // Two bytes a character, as most non-ASCII texts are.
        Ref result = Ref::steal(PyUnicode_New(length, sizes.maxchar()));
        if (!result) {
            return {};
        }
        Py_UCS2* data = PyUnicode_2BYTE_DATA(result.get());
        (copy_part2(data, parts), ...);
        return result;
    }
    Spans spans;
    (add_span(spans, parts), ...);
    return join_sized(spans.items, spans.count, sizes);
}

// Runs `body` with `raised` as the exception being handled, as the code of
// an except or finally clause runs: an exception raised by the body carries
// `raised` as __context__. The handled exception of before is restored.
template <class Body>
bool while_handling(PyObject* raised, Body&& body)
{
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(raised);
    bool ok = body();
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    return ok;
}

// Runs `cleanup` after `body` the way Python's try/finally does: when the
// body failed, its exception is the one being handled while the clean-up
// runs and is raised again afterwards, unless the clean-up raised one of its
// own. Returns false when an exception is pending afterwards.
template <class Cleanup>
bool run_finally(bool body_ok, Cleanup&& cleanup)
{
    if (body_ok) {
        return cleanup();
    }
    PyObject* raised = PyErr_GetRaisedException();
    if (while_handling(raised, cleanup)) {
        PyErr_SetRaisedException(raised);
    }
    else {
        Py_DECREF(raised);
    }
    return false;
}

// Reads _state.abort through the module namespace: 1, 0 or -1.
int abort_requested(PyObject* module)
{
    Ref state = lookup(module, G::_state);
    if (!state) {
        return -1;
    }
    Ref flag = getattr(state.get(), N.abort);
    if (!flag) {
        return -1;
    }
    return truth(flag.get());
}

bool set_state_flag(PyObject* module, PyObject* flag, PyObject* value)
{
    Ref state = lookup(module, G::_state);
    return state && PyObject_SetAttr(state.get(), flag, value) == 0;
}

// ---------------------------------------------------------------------------
// Argument parsing: every parameter can be given by position or by keyword,
// with the messages the interpreter gives for a Python function.

struct Signature {
    const char* name;
    std::initializer_list<PyObject* const*> params;   // &N.xxx of each parameter
    Py_ssize_t required;                              // leading required ones
};

void missing_arguments(const Signature& sig, PyObject* const* values)
{
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) {
        return;
    }
    Py_ssize_t i = 0;
    for (PyObject* const* param : sig.params) {
        if (i < sig.required && values[i] == nullptr) {
            Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", *param));
            if (!quoted || PyList_Append(missing.get(), quoted.get()) < 0) {
                return;
            }
        }
        ++i;
    }
    Py_ssize_t count = PyList_GET_SIZE(missing.get());
    Ref names;
    if (count == 1) {
        names = Ref::borrow(PyList_GET_ITEM(missing.get(), 0));
    }
    else {
        Ref last = Ref::borrow(PyList_GET_ITEM(missing.get(), count - 1));
        if (PyList_SetSlice(missing.get(), count - 1, count, nullptr) < 0) {
            return;
        }
        Ref sep = Ref::steal(PyUnicode_FromString(count > 2 ? ", " : ""));
        Ref head = sep ? Ref::steal(PyUnicode_Join(sep.get(), missing.get())) : Ref();
        if (!head) {
            return;
        }
        names = Ref::steal(PyUnicode_FromFormat(count > 2 ? "%U, and %U" : "%U and %U",
                                                head.get(), last.get()));
        if (!names) {
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U",
                 sig.name, count, count == 1 ? "" : "s", names.get());
}

// Puts keyword arguments into their slots of `values`.
bool parse_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** values)
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
            return false;
        }
        Py_ssize_t index = -1;
        Py_ssize_t i = 0;
        for (PyObject* const* param : sig.params) {
            if (key == *param) {
                index = i;
                break;
            }
            ++i;
        }
        if (index < 0) {
            i = 0;
            for (PyObject* const* param : sig.params) {
                if (PyUnicode_Compare(key, *param) == 0) {
                    index = i;
                    break;
                }
                ++i;
            }
            if (PyErr_Occurred()) {
                return false;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         sig.name, key);
            return false;
        }
        values[index] = args[nargs + k];
    }
    return true;
}

// Fills `values` (one borrowed slot per parameter, pre-set to the defaults,
// nullptr for required ones) from a vectorcall argument list.
bool parse_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values)
{
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) {
        values[i] = args[i];
    }
    // Keywords are checked before the positional count, as for a Python
    // function.
    if (!parse_keywords(sig, args, nargs, kwnames, values)) {
        return false;
    }
    if (nargs > nparams) {
        if (sig.required == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         sig.name, nparams, nparams == 1 ? "" : "s", nargs,
                         nargs == 1 ? "was" : "were");
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given",
                         sig.name, sig.required, nparams, nargs, nargs == 1 ? "was" : "were");
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (values[i] == nullptr) {
            missing_arguments(sig, values);
            return false;
        }
    }
    return true;
}

// As parse_args_slow; every parameter given by position, as the module's
// own calls give them, is taken here.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** values)
{
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(sig.params.size())) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            values[i] = args[i];
        }
        return true;
    }
    return parse_args_slow(sig, args, nargs, kwnames, values);
}

// Checks that a function taking no arguments got none.
bool no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given",
                     name, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    return true;
}

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

#define FASTCALL_ARGS                                                                \
    [[maybe_unused]] PyObject *module, [[maybe_unused]] PyObject *const *args, \
        Py_ssize_t nargs, PyObject *kwnames

// ---------------------------------------------------------------------------
// Run control

PyObject* tc_abort(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    if (!no_args("abort", nargs, kwnames) || !set_state_flag(module, N.abort, Py_True)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* tc_isRunning(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    if (!no_args("isRunning", nargs, kwnames)) {
        return nullptr;
    }
    Ref state = lookup(module, G::_state);
    if (!state) {
        return nullptr;
    }
    return PyObject_GetAttr(state.get(), N.isRuning);
}

// ---------------------------------------------------------------------------
// Check run

// The index-name function handed to the driver library: maps the IO-Link
// identification indices 16..24 to their names, anything else to None.
PyObject* tc_getIndexVar(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_getIndexVar", {&N.idx}, 1};
    PyObject* values[1] = {nullptr};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyObject* idx = values[0];
    int low = compare(N.int16, idx, Py_LE);
    if (low <= 0) {
        return low < 0 ? nullptr : Py_NewRef(Py_None);
    }
    int high = compare(idx, N.int24, Py_LE);
    if (high <= 0) {
        return high < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref drv = lookup(module, G::_IoddDrv);
    Ref master = drv ? getattr(drv.get(), N.IoddMasterDriver) : Ref();
    Ref names = master ? getattr(master.get(), N._identNames) : Ref();
    Ref offset = names ? Ref::steal(PyNumber_Subtract(idx, N.int16)) : Ref();
    if (!offset) {
        return nullptr;
    }
    return PyObject_GetItem(names.get(), offset.get());
}

PyMethodDef getIndexVar_def = {
    "_getIndexVar", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tc_getIndexVar)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

// Sets the driver library's process-wide configuration unless a run of this
// process already did.
bool configure_driver_library(PyObject* module, PyObject* verbose)
{
    Ref utility = lookup(module, G::IoddUtility);
    Ref manager = utility ? getattr(utility.get(), N.CommonDriverManager) : Ref();
    Ref current = manager ? getattr(manager.get(), N.iodd) : Ref();
    if (!current) {
        return false;
    }
    int is_set = truth(current.get());
    if (is_set != 0) {
        return is_set > 0;
    }
    Ref dict2obj = lookup(module, G::Dict2Obj);
    if (!dict2obj) {
        return false;
    }
    utility = lookup(module, G::IoddUtility);
    Ref logger = utility ? call_method(utility.get(), N.Logger, {verbose}) : Ref();
    if (!logger) {
        return false;
    }
    Ref index_var = Ref::steal(PyCMethod_New(&getIndexVar_def, module, N.moduleName, nullptr));
    Ref config = index_var ? Ref::steal(PyDict_New()) : Ref();
    if (!config || PyDict_SetItem(config.get(), N._logger, logger.get()) < 0 ||
        PyDict_SetItem(config.get(), N._getIndexVar, index_var.get()) < 0) {
        return false;
    }
    Ref obj = call(dict2obj.get(), {config.get()});
    if (!obj) {
        return false;
    }
    utility = lookup(module, G::IoddUtility);
    manager = utility ? getattr(utility.get(), N.CommonDriverManager) : Ref();
    return manager && PyObject_SetAttr(manager.get(), N.iodd, obj.get()) == 0;
}

// The base driver for one entry of the driver list, or None when the entry's
// transport is unusable or is the simulator.
Ref base_driver_for(PyObject* module, PyObject* baseType)
{
    Ref exist = call_method(baseType, N.exist);
    Ref usable = exist ? Ref::steal(PyObject_GetItem(exist.get(), N.int0)) : Ref();
    if (!usable) {
        return {};
    }
    int ok = truth(usable.get());
    if (ok < 0) {
        return {};
    }
    if (ok > 0) {
        Ref name = call_method(baseType, N.driverName);
        if (!name) {
            return {};
        }
        ok = compare(name.get(), N.Sim, Py_EQ);
        if (ok < 0) {
            return {};
        }
        ok = !ok;
    }
    if (ok == 0) {
        return Ref::borrow(Py_None);
    }
    auto manager = [module]() -> Ref {
        Ref drv = lookup(module, G::_IoddDrv);
        Ref base_class = drv ? getattr(drv.get(), N.IoddBaseDriver) : Ref();
        return base_class ? getattr(base_class.get(), N.commonDrivers) : Ref();
    };
    Ref drvman = manager();
    Ref active = drvman ? call_method(drvman.get(), N.checkBaseDriverActive, {baseType}) : Ref();
    if (!active) {
        return {};
    }
    int is_active = truth(active.get());
    if (is_active < 0) {
        return {};
    }
    if (is_active) {
        drvman = manager();
        return drvman ? call_method(drvman.get(), N.getBaseDriver, {baseType}) : Ref();
    }
    return call(baseType);
}

// How a step of a check run ended: Ok goes on, Stop ends the run early with
// None (an abort was seen), Error propagates the pending exception.
enum class Flow { Ok, Stop, Error };

// One run's arguments and per-run values, shared by its steps.
struct Run {
    PyObject* module;
    PyObject* address;
    PyObject* auto_;
    PyObject* printFnc;
    PyObject* select;   // as given; check_body maps it to a driver-name suffix
    PyObject* gui;
    PyObject* optPortsOff;
    PyObject* optPortsAuto;
    PyObject* found;
    Ref nmasters;   // ints of the interpreter: len() results may add up past Py_ssize_t
    Ref ndevs;
};

// Discovery and listing of the masters of one base driver.
Flow list_masters(Run& run, PyObject* base)
{
    Ref newMasters = call_global(run.module, G::_discover, {base, run.address, run.found});
    if (!newMasters) {
        return Flow::Error;
    }
    Py_ssize_t count = PyObject_Size(newMasters.get());
    Ref length = count < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(count));
    Ref nmasters = length ? Ref::steal(PyNumber_InPlaceAdd(run.nmasters.get(), length.get()))
                          : Ref();
    if (!nmasters) {
        return Flow::Error;
    }
    run.nmasters = std::move(nmasters);
    Ref iterator = Ref::steal(PyObject_GetIter(newMasters.get()));
    if (!iterator) {
        return Flow::Error;
    }
    while (Ref master = Ref::steal(PyIter_Next(iterator.get()))) {
        int stop = abort_requested(run.module);
        if (stop != 0) {
            return stop > 0 ? Flow::Stop : Flow::Error;
        }
        Ref masterDrv = getattr(master.get(), N._master);
        if (!masterDrv) {
            return Flow::Error;
        }
        // USB masters always get their ports activated; others only on request.
        int use_auto = truth(run.auto_);
        if (use_auto == 0) {
            use_auto = truth(masterDrv.get());
            if (use_auto > 0) {
                Ref name = call_method(masterDrv.get(), N.driverName);
                use_auto = name ? affix(name.get(), N.suffixUSB, true) : -1;
            }
        }
        if (use_auto < 0) {
            return Flow::Error;
        }
        PyObject* opt = use_auto ? run.optPortsAuto : run.optPortsOff;
        Ref devices = call_global(run.module, G::_list_master,
                                  {master.get(), opt, Py_False, run.found, run.printFnc,
                                   N.int0, run.gui});
        if (!devices) {
            return Flow::Error;
        }
        Ref total = Ref::steal(PyNumber_InPlaceAdd(run.ndevs.get(), devices.get()));
        if (!total) {
            return Flow::Error;
        }
        run.ndevs = std::move(total);
    }
    return PyErr_Occurred() ? Flow::Error : Flow::Ok;
}

// Hands a fixed text to the output function.
bool print_text(PyObject* printFnc, const char* literal)
{
    Ref line = Ref::steal(PyUnicode_FromString(literal));
    return line && call_one(printFnc, line.get());
}

// The address part of the banner, into `addstr`; a single address becomes a
// one-element list, into `address`.
bool address_part(PyObject* given, Ref& address, Ref& addstr)
{
    address = Ref::borrow(given);
    addstr = Ref::borrow(N.empty);
    int has_address = truth(given);
    if (has_address <= 0) {
        return has_address == 0;
    }
    // isinstance(address, list): honours __class__, as mocks use it.
    int is_list = PyList_Check(given)
                      ? 1
                      : PyObject_IsInstance(given, reinterpret_cast<PyObject*>(&PyList_Type));
    if (is_list < 0) {
        return false;
    }
    if (!is_list) {
        address = Ref::steal(PyList_New(1));
        if (!address) {
            return false;
        }
        PyList_SET_ITEM(address.get(), 0, Py_NewRef(given));
    }
    Py_ssize_t count = PyObject_Size(address.get());
    if (count < 0) {
        return false;
    }
    if (count >= 2) {
        addstr = Ref::steal(PyUnicode_FromString(" at specified addresses"));
        return static_cast<bool>(addstr);
    }
    Ref first = Ref::steal(PyObject_GetItem(address.get(), N.int0));
    Ref at = first ? Ref::steal(PyUnicode_FromString(" at ")) : Ref();
    addstr = at ? Ref::steal(PyNumber_Add(at.get(), first.get())) : Ref();
    return static_cast<bool>(addstr);
}

// The banner, with the driver library's version when it differs from ours.
bool print_banner(Run& run, PyObject* addstr)
{
    Ref version = lookup(run.module, G::__version__);
    Ref baseversion = version ? lookup(run.module, G::__baseversion__) : Ref();
    if (!baseversion) {
        return false;
    }
    Ref base_text, version_text;
    Sum baseVer, banner;
    int show_base = truth(baseversion.get());
    if (show_base > 0) {
        show_base = compare(baseversion.get(), version.get(), Py_NE);
    }
    if (show_base < 0) {
        return false;
    }
    // baseVer = " (base " + str(__baseversion__) + ")" when shown, else ""
    if (show_base) {
        base_text = text(baseversion.get());
        if (!base_text || !baseVer.add(" (base ") || !baseVer.add(base_text.get()) ||
            !baseVer.add(")")) {
            return false;
        }
    }
    else if (!baseVer.add(N.empty)) {
        return false;
    }
    version_text = text(version.get());
    if (!version_text || !banner.add("Velmora Tessadyn Checker ") ||
        !banner.add(version_text.get()) || !banner.add(baseVer) ||
        !banner.add(": searching masters and devices") || !banner.add(addstr) ||
        !banner.add("...")) {
        return false;
    }
    Ref banner_text = banner.value();
    return banner_text && call(run.printFnc, {banner_text.get()});
}

// The driver-name suffix that a truthy `select` stands for, or None: 1 when
// a selection was given, 0 when not, -1 on error.
int selection(PyObject* given, Ref& select)
{
    select = Ref::borrow(given);
    int selected = truth(given);
    if (selected <= 0) {
        return selected;
    }
    Ref lowered = call_method(given, N.lower);
    if (!lowered) {
        return -1;
    }
    const std::pair<PyObject*, PyObject*> table[] = {
        {N.usb, N.suffixUSB}, {N.eth, N.suffixIP}, {N.ethernet, N.suffixIP},
        {N.ble, N.suffixBLE}};
    select = Ref::borrow(Py_None);
    for (const auto& [value, suffix] : table) {
        int equal = compare(lowered.get(), value, Py_EQ);
        if (equal != 0) {
            if (equal > 0) {
                select = Ref::borrow(suffix);
            }
            return equal < 0 ? -1 : 1;
        }
    }
    return 1;
}

// The walk over the driver list: every usable base driver's masters, the
// base driver closed after them.
Flow walk_drivers(Run& run, PyObject* select)
{
    Ref drv = lookup(run.module, G::_IoddDrv);
    Ref driverlist = drv ? getattr(drv.get(), N.driverlist) : Ref();
    Ref drivers = driverlist ? Ref::steal(PyObject_GetIter(driverlist.get())) : Ref();
    if (!drivers) {
        return Flow::Error;
    }
    while (Ref driver = Ref::steal(PyIter_Next(drivers.get()))) {
        int stop = abort_requested(run.module);
        if (stop != 0) {
            return stop > 0 ? Flow::Stop : Flow::Error;
        }
        // `if select and ...`: also a falsy select given by the caller is
        // tested at each driver.
        int matches = truth(select);
        if (matches > 0) {
            Ref name = call_method(driver.get(), N.driverName);
            matches = name ? affix(name.get(), select, true) : -1;
            if (matches == 0) {
                continue;
            }
        }
        if (matches < 0) {
            return Flow::Error;
        }
        Ref baseType = call_method(driver.get(), N.getBaseDriverType);
        Ref base = baseType ? base_driver_for(run.module, baseType.get()) : Ref();
        if (!base) {
            return Flow::Error;
        }
        int usable = truth(base.get());
        if (usable <= 0) {
            if (usable < 0) {
                return Flow::Error;
            }
            continue;
        }
        // The base driver is closed on every way out of its masters' listing.
        Flow flow = list_masters(run, base.get());
        bool closed = run_finally(flow != Flow::Error, [&base]() {
            return static_cast<bool>(call_method(base.get(), N.close));
        });
        if (!closed) {
            return Flow::Error;
        }
        if (flow == Flow::Stop) {
            return Flow::Stop;
        }
    }
    return PyErr_Occurred() ? Flow::Error : Flow::Ok;
}

// The summary lines after a complete walk.
bool print_summary(Run& run)
{
    int any_masters = truth(run.nmasters.get());
    if (any_masters < 0 || (any_masters && !call(run.printFnc))) {
        return false;
    }
    Ref nmasters_text = text(run.nmasters.get());
    Ref ndevs_text;
    Sum summary;
    if (!nmasters_text || !summary.add(nmasters_text.get()) || !summary.add(" master(s) and ")) {
        return false;
    }
    ndevs_text = text(run.ndevs.get());
    if (!ndevs_text || !summary.add(ndevs_text.get()) || !summary.add(" device(s) found")) {
        return false;
    }
    Ref summary_text = summary.value();
    if (!summary_text || !call(run.printFnc, {summary_text.get()})) {
        return false;
    }
    if (any_masters) {
        int any_devices = truth(run.ndevs.get());
        if (any_devices < 0) {
            return false;
        }
        if (!any_devices &&
            !print_text(run.printFnc,
                        "Hint: All ports are inactive. Consider using --auto to activate "
                        "ports. Use with caution\n      in productive systems!")) {
            return false;
        }
    }
    return print_text(run.printFnc, "Visit " MAKER_URL " for more informations");
}

// One run from the banner to the closing line.
Flow check_body(Run& run, PyObject* verbose)
{
    Ref address, addstr;
    if (!address_part(run.address, address, addstr)) {
        return Flow::Error;
    }
    run.address = address.get();
    if (!print_banner(run, addstr.get())) {
        return Flow::Error;
    }
    Ref select;
    if (selection(run.select, select) < 0 || !configure_driver_library(run.module, verbose)) {
        return Flow::Error;
    }

    // Per-run values: the two options records shared by every master.
    Ref optPortsOff = Ref::steal(PyDict_New());
    Ref optPortsAuto = Ref::steal(PyDict_New());
    Ref found = Ref::steal(PyList_New(0));
    if (!optPortsOff || !optPortsAuto || !found ||
        PyDict_SetItem(optPortsOff.get(), N.activatePorts, N.off) < 0 ||
        PyDict_SetItem(optPortsAuto.get(), N.activatePorts, N.autoValue) < 0) {
        return Flow::Error;
    }
    run.optPortsOff = optPortsOff.get();
    run.optPortsAuto = optPortsAuto.get();
    run.found = found.get();
    run.nmasters = Ref::borrow(N.int0);
    run.ndevs = Ref::borrow(N.int0);

    Flow flow = walk_drivers(run, select.get());
    if (flow != Flow::Ok) {
        return flow;
    }
    return print_summary(run) ? Flow::Ok : Flow::Error;
}

// No signature line: the default of printFnc (the built-in print) has no
// literal form that inspect could read.
constexpr const char check_doc[] =
    "Check for IO-Link masters and devices and print them to stdout\n"
    "\n"
    "    .. hint:: IP based masters with disabled ports will not show devices if `auto` if off.\n"
    "\n"
    "    Args:\n"
    "        address (list, str or None): check specific master address(es) (None = all masters)\n"
    "        auto (bool): if True, activate master ports for IP-based masters if all are disabled\n"
    "            (changes master port configs, use with caution in productive systems)\n"
    "        printFnc (callable): output function with one argument for text (default print)\n"
    "        verbose (int): verbosity 0..3 (default 2)\n"
    "        select (str or None): select specific masters (None = all)\n"
    "            * 'ETH': Ethernet and WiFi based masters only\n"
    "            * 'USB': USB masters only\n"
    "            * 'BLE': Bluetooth LE based masters only\n"
    "        gui (bool): print outputs for GUI\n"
    "    ";

// One check run with its arguments parsed.
PyObject* check_run(PyObject* module, PyObject* const* values)
{
    PyObject* verbose = values[3];

    int too_verbose = compare(verbose, N.int9, Py_GT);
    if (too_verbose != 0) {
        if (too_verbose > 0) {
            PyErr_SetString(PyExc_ValueError, "Invalid verbosity");
        }
        return nullptr;
    }

    if (!set_state_flag(module, N.abort, Py_False) ||
        !set_state_flag(module, N.isRuning, Py_True)) {
        return nullptr;
    }
    Run run{module, values[0], values[1], values[2], values[4], values[5],
            nullptr, nullptr, nullptr, Ref(), Ref()};
    Flow flow = check_body(run, verbose);
    // The run is over on every way out, also when it raised.
    bool ok = run_finally(flow != Flow::Error, [module]() {
        return set_state_flag(module, N.isRuning, Py_False);
    });
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* tc_check(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{
        "check", {&N.address, &N.auto_, &N.printFnc, &N.verbose, &N.select, &N.gui}, 0};
    PyObject* values[6] = {Py_None, Py_False, g_print, N.int2, Py_None, Py_False};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    // An output function that starts a check of its own can recurse through
    // C callables alone, where no Python frame counts it: nested runs on one
    // thread are bounded by the interpreter's recursion limit instead, long
    // before the stack runs out.
    static thread_local int depth = 0;
    if (depth >= Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in check()");
        return nullptr;
    }
    ++depth;
    PyObject* result = check_run(module, values);
    --depth;
    return result;
}

// ---------------------------------------------------------------------------
// Master discovery

PyObject* tc_discover(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_discover", {&N.base, &N.address, &N.found}, 3};
    PyObject* values[3] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [base, address, found] = values;

    int some = truth(address);
    if (some <= 0) {
        return some < 0 ? nullptr : call_method(base, N.discover).release();
    }
    Ref newMasters = Ref::steal(PyList_New(0));
    Ref iterator = newMasters ? Ref::steal(PyObject_GetIter(address)) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref addr = Ref::steal(PyIter_Next(iterator.get()))) {
        int stop = abort_requested(module);
        if (stop != 0) {
            return stop > 0 ? newMasters.release() : nullptr;
        }
        int listed = PySequence_Contains(found, addr.get());
        if (listed != 0) {
            if (listed < 0) {
                return nullptr;
            }
            continue;
        }
        Ref ret = call_method(base, N.discover, {addr.get()});
        if (!ret) {
            return nullptr;
        }
        int answered = truth(ret.get());
        if (answered < 0 || (answered > 0 && PyList_Append(newMasters.get(), ret.get()) < 0)) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : newMasters.release();
}

// ---------------------------------------------------------------------------
// Master and device listing

// The interpreter's error for `func(*value)` with a value that is not
// iterable, naming the callable as it does.
void not_iterable_error(PyObject* func, PyObject* value)
{
    Ref qualname = getattr(func, N.__qualname__);
    Ref modname = qualname ? getattr(func, N.__module__) : Ref();
    PyErr_Clear();
    Ref shown;
    if (qualname && PyUnicode_Check(qualname.get())) {
        bool qualify = modname && PyUnicode_Check(modname.get()) &&
                       PyUnicode_CompareWithASCIIString(modname.get(), "builtins") != 0;
        shown = Ref::steal(qualify ? PyUnicode_FromFormat("%U.%U()", modname.get(), qualname.get())
                                   : PyUnicode_FromFormat("%U()", qualname.get()));
    }
    else {
        shown = Ref::steal(PyUnicode_FromFormat("%s object", Py_TYPE(func)->tp_name));
    }
    if (shown) {
        PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                     shown.get(), Py_TYPE(value)->tp_name);
    }
}

// Everything between connecting a master and disconnecting it. Returns the
// length of the device table, or -1 with an exception set.
Py_ssize_t list_devices(PyObject* module, PyObject* masterbridge, PyObject* opt,
                        PyObject* anyActivated, PyObject* addr, PyObject* masterdrv,
                        PyObject* found, PyObject* printFnc, PyObject* gui)
{
    if (!call_global(module, G::_print_master, {masterbridge, printFnc, gui})) {
        return -1;
    }
    if (PyList_CheckExact(found) ? PyList_Append(found, addr) < 0
                                 : !call_method(found, N.append, {addr})) {
        return -1;
    }

    // Port-mode scan: stops at the first activated port.
    Ref modes = call_method(masterdrv, N.getPortModes);
    Ref mode_iter = modes ? Ref::steal(PyObject_GetIter(modes.get())) : Ref();
    if (!mode_iter) {
        return -1;
    }
    int activated = 0;
    while (Ref mode = Ref::steal(PyIter_Next(mode_iter.get()))) {
        Ref answer = call_method(mode.get(), N.activated);
        activated = answer ? truth(answer.get()) : -1;
        if (activated != 0) {
            break;
        }
    }
    if (activated < 0 || PyErr_Occurred()) {
        return -1;
    }
    // Folded into the caller's flag; only the device count is handed back.
    if (truth(anyActivated) < 0) {
        return -1;
    }

    PyObject* stack[2] = {masterdrv, opt};
    Ref devs = Ref::steal(PyObject_VectorcallMethod(
        N.getDevices, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.optionsKwnames));
    if (!devs) {
        return -1;
    }
    Py_ssize_t ndevs = PyObject_Size(devs.get());
    Ref dev_iter = ndevs >= 0 ? Ref::steal(PyObject_GetIter(devs.get())) : Ref();
    if (!dev_iter) {
        return -1;
    }
    while (Ref devvals = Ref::steal(PyIter_Next(dev_iter.get()))) {
        int stop = abort_requested(module);
        if (stop != 0) {
            return stop > 0 ? ndevs : -1;
        }
        Ref utility = lookup(module, G::IoddUtility);
        Ref constructor = utility ? getattr(utility.get(), N.IoddDev) : Ref();
        if (!constructor) {
            return -1;
        }
        Ref entry = Ref::borrow(devvals.get());
        if (!PyTuple_CheckExact(entry.get())) {
            if (Py_TYPE(entry.get())->tp_iter == nullptr && !PySequence_Check(entry.get())) {
                not_iterable_error(constructor.get(), entry.get());
                return -1;
            }
            entry = Ref::steal(PySequence_Tuple(entry.get()));
            if (!entry) {
                return -1;
            }
        }
        Ref dev = Ref::steal(PyObject_Call(constructor.get(), entry.get(), nullptr));
        Ref ident = dev ? getattr(dev.get(), N.deviceIdentifier) : Ref();
        if (!ident || !call_global(module, G::_print_dev, {dev.get(), ident.get(), printFnc, gui})) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : ndevs;
}

PyObject* tc_list_master(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_list_master",
                        {&N.masterbridge, &N.opt, &N.anyActivated, &N.found, &N.printFnc,
                         &N.debug, &N.gui},
                        7};
    PyObject* values[7] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [masterbridge, opt, anyActivated, found, printFnc, debug, gui] = values;

    Ref addr = getattr(masterbridge, N.address);
    if (!addr) {
        return nullptr;
    }
    Ref masterdrv = call_global(module, G::_get_master, {masterbridge, opt, printFnc, debug});
    if (!masterdrv) {
        return nullptr;
    }
    int connected = truth(masterdrv.get());
    if (connected <= 0) {
        return connected < 0 ? nullptr : PyLong_FromLong(0);
    }
    Py_ssize_t ndevs = list_devices(module, masterbridge, opt, anyActivated, addr.get(),
                                    masterdrv.get(), found, printFnc, gui);
    // The connection is ours: it is closed on every way out.
    bool ok = run_finally(ndevs >= 0, [&masterdrv]() {
        return static_cast<bool>(call_method(masterdrv.get(), N.disconnect));
    });
    return ok ? PyLong_FromSsize_t(ndevs) : nullptr;
}

// ---------------------------------------------------------------------------
// Master connection

// The "Error: " line for a failed connection: the exception's first argument
// in its format() form, or its type name when it carries no arguments.
Ref error_line(PyObject* error)
{
    // error.args[0] if error.args else type(error).__qualname__
    Ref args = getattr(error, N.args);
    int has_args = args ? truth(args.get()) : -1;
    if (has_args < 0) {
        return {};
    }
    Ref detail;
    if (has_args) {
        args = getattr(error, N.args);
        detail = args ? Ref::steal(PyObject_GetItem(args.get(), N.int0)) : Ref();
    }
    else {
        detail = getattr(reinterpret_cast<PyObject*>(Py_TYPE(error)), N.__qualname__);
    }
    // f"Error: {detail}"
    Ref shown = detail ? Ref::steal(PyObject_Format(detail.get(), N.empty)) : Ref();
    return shown ? join({"Error: ", shown.get()}) : Ref();
}

// The guarded connection steps: a new connection when the driver manager had
// no driver, event checking off, and connected.
bool connect_master(Ref& masterdrv, PyObject* masterbridge, PyObject* base, PyObject* opt)
{
    int have = truth(masterdrv.get());
    if (have < 0) {
        return false;
    }
    if (!have) {
        Ref name = call_method(base, N.driverName);
        Ref drvopt = name ? Ref::steal(PyDict_New()) : Ref();
        if (!drvopt || PyDict_SetItem(drvopt.get(), name.get(), opt) < 0) {
            return false;
        }
        masterdrv = call_method(base, N.connect, {masterbridge, drvopt.get()});
        if (!masterdrv) {
            return false;
        }
    }
    if (!call_method(masterdrv.get(), N.disableEventChecking)) {
        return false;
    }
    Ref connected = call_method(masterdrv.get(), N.connected);
    int is_connected = connected ? truth(connected.get()) : -1;
    if (is_connected < 0) {
        return false;
    }
    return is_connected || static_cast<bool>(call_method(masterdrv.get(), N.connect, {opt}));
}

PyObject* tc_get_master(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_get_master", {&N.masterbridge, &N.opt, &N.printFnc, &N.debug}, 4};
    PyObject* values[4] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [masterbridge, opt, printFnc, debug] = values;

    Ref addr = getattr(masterbridge, N.address);
    if (!addr) {
        return nullptr;
    }
    Ref drv = lookup(module, G::_IoddDrv);
    Ref base_class = drv ? getattr(drv.get(), N.IoddBaseDriver) : Ref();
    Ref drvman = base_class ? getattr(base_class.get(), N.commonDrivers) : Ref();
    if (!drvman) {
        return nullptr;
    }
    // An existing driver for this address is reused, an active one first.
    Ref masterdrv = Ref::borrow(Py_None);
    const std::pair<PyObject*, PyObject*> queries[] = {
        {N.checkActiveMasterDriver, N.getActiveMasterDriver},
        {N.checkMasterDriver, N.getMasterDriver}};
    for (const auto& [check, get] : queries) {
        Ref known = call_method(drvman.get(), check, {addr.get()});
        int is_known = known ? truth(known.get()) : -1;
        if (is_known < 0) {
            return nullptr;
        }
        if (is_known) {
            masterdrv = call_method(drvman.get(), get, {addr.get()});
            if (!masterdrv) {
                return nullptr;
            }
            break;
        }
    }
    Ref base = getattr(masterbridge, N._base);
    if (!base) {
        return nullptr;
    }

    if (connect_master(masterdrv, masterbridge, base.get(), opt)) {
        return masterdrv.release();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return nullptr;   // interrupts and exit requests pass through
    }
    // A master that cannot be connected is skipped; its error is shown only
    // when debugging. While the line is printed the connection error is the
    // exception being handled, as in an except clause.
    PyObject* error = PyErr_GetRaisedException();
    bool ok = while_handling(error, [error, show_error = debug, out = printFnc]() {
        int show = truth(show_error);
        if (show <= 0) {
            return show == 0;
        }
        Ref line = error_line(error);
        return line && call(out, {line.get()});
    });
    Py_DECREF(error);
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Master report line

// The master bridge's attributes, read afresh at each use: 19 reads a line.
// Where the bridge's class keeps them in __slots__ (and reads them the
// default way) a read is a load from the object, what the interpreter's own
// specialised attribute access does; anything else is the interpreter's read.
// Measured with callgrind: the 19 reads took ~3,150 instructions of a master
// line's ~6,250.
struct MemberSite {
    PyTypeObject* type = nullptr;   // the type last seen (borrowed; with `version`)
    unsigned int version = 0;       // its version tag then; 0: not remembered
    Py_ssize_t offset = -1;         // the slot's offset, or -1: the interpreter's read
};

// Whether `name` on objects of `type` is a plain __slots__ member: the
// default attribute access, and on the type a member descriptor of an
// object slot without audit, applicable to `obj`. Remembered with the type's
// version tag, which every change of the type or its bases replaces.
void remember_member(PyTypeObject* type, PyObject* obj, PyObject* name, MemberSite& site)
{
    site = MemberSite{type, 0, -1};
#if !defined(Py_GIL_DISABLED)
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type)) {
        return;
    }
    unsigned int version = type->tp_version_tag;
    PyObject* descr = _PyType_Lookup(type, name);
    if (version == 0 || type->tp_version_tag != version) {
        return;
    }
    site.version = version;
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        return;
    }
    PyMemberDescrObject* member = reinterpret_cast<PyMemberDescrObject*>(descr);
    const PyMemberDef* def = member->d_member;
    if (def->type == Py_T_OBJECT_EX && (def->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) == 0 &&
        PyObject_TypeCheck(obj, PyDescr_TYPE(member))) {
        site.offset = def->offset;
    }
#else
    (void)obj;
    (void)name;
#endif
}

// obj.name, through `site`.
Ref read_member(PyObject* obj, PyObject* name, MemberSite& site)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (type != site.type || site.version == 0 || type->tp_version_tag != site.version) {
        remember_member(type, obj, name, site);
    }
    if (site.offset >= 0) {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + site.offset);
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        // An empty slot: the interpreter's AttributeError.
    }
    return getattr(obj, name);
}

// The master attributes read, one site each.
enum MasterAttr { kVendorId, kDeviceId, kName, kFwVersion, kAddress, kVendor, kProductName,
                  kProductCode, kMasterAttrs };
MemberSite g_master_sites[kMasterAttrs];

Ref master_attr(PyObject* master, MasterAttr which)
{
    PyObject* const names[] = {N.vendorId, N.deviceId,    N.name,       N.fwVersion,
                               N.address,  N.vendor,      N.productName, N.productCode};
    return read_member(master, names[which], g_master_sites[which]);
}

// Reads master.<attr>; when it is truthy reads it again and puts its form
// into `piece`. Returns 1 when present, 0 when not, -1 on error.
template <class Form>
int optional_piece(PyObject* master, MasterAttr attr, Piece& piece, Form form)
{
    Ref value = master_attr(master, attr);
    int present = value ? truth(value.get()) : -1;
    if (present <= 0) {
        return present;
    }
    value = master_attr(master, attr);
    return value && form(value.get(), piece) ? 1 : -1;
}

// The vendor shown in the master line: left out when it is "unknown" or the
// product name already begins with it.
Ref master_vendor(PyObject* master)
{
    Ref vendor = master_attr(master, kVendor);
    int unknown = vendor ? compare(vendor.get(), N.unknown, Py_EQ) : -1;
    if (unknown != 0) {
        return unknown < 0 ? Ref() : Ref::borrow(N.empty);
    }
    Ref product = master_attr(master, kProductName);
    int named = product ? truth(product.get()) : -1;
    if (named < 0) {
        return {};
    }
    if (named) {
        product = master_attr(master, kProductName);
        vendor = product ? master_attr(master, kVendor) : Ref();
        int prefix = vendor ? affix(product.get(), vendor.get(), false) : -1;
        if (prefix != 0) {
            return prefix < 0 ? Ref() : Ref::borrow(N.empty);
        }
    }
    return master_attr(master, kVendor);
}

// The product code, shown when present and not the product name: 1, 0 or -1
// as for optional_piece.
int master_product_code(PyObject* master, Piece& piece)
{
    Ref code = master_attr(master, kProductCode);
    int present = code ? truth(code.get()) : -1;
    if (present <= 0) {
        return present;
    }
    code = master_attr(master, kProductCode);
    Ref product = code ? master_attr(master, kProductName) : Ref();
    int differs = product ? compare(code.get(), product.get(), Py_NE) : -1;
    if (differs <= 0) {
        return differs;
    }
    code = master_attr(master, kProductCode);
    return code && text_form(code.get(), piece) ? 1 : -1;
}

PyObject* tc_print_master(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_print_master", {&N.master, &N.printFnc, &N.gui}, 3};
    PyObject* values[3] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [master, printFnc, gui] = values;

    // The text is the Python reading's sums:
    //   vid = " vid 0x" + format(master.vendorId, "04x") + "," if master.vendorId else ""
    //   (did, name, fwver and pcode alike), pre = "Master " + str(master.address),
    //   in GUI mode pre = "[color=#4699ff][b]" + pre + "[/b][/color]", and
    //   "\n" + pre + name + ": " + str(vendor) + ", " + str(master.productName) + pcode
    //       + "," + "\n    " + vid + did + fwver.
    // While every piece is an exact str no addition runs anybody's code, so
    // the sums are left out and the layout joined at the end. From the first
    // piece that is not, the sums are built (those before it late, which no
    // one can tell) and the rest added where Python adds it.
    Piece vid_digits, did_digits, name_text, fwver_text, address_text, pcode_text, vendor_text,
        product_text;
    Ref address_value, vendor_value, product_value;
    Sum vid, did, name, fwver, pre, wrapped, pcode, line;
    bool summing = false;
    int has_vid = 0, has_did = 0, has_name = 0, has_fwver = 0, has_pcode = 0, wrap = 0;
    int step = 0;   // the sums whose pieces are read

    static constexpr Span comma(","), paren(")");
    // piece = head + form (+ tail) when present, else ""
    auto optional = [](Sum& piece, int present, const auto& head, const Piece& form,
                       const Span* tail) {
        if (present == 0) {
            return piece.add(N.empty);
        }
        return piece.add(head) && piece.add(form) && (tail == nullptr || piece.add(*tail, nullptr));
    };
    // Adds the sums of steps [from, to).
    auto build = [&](int from, int to) {
        for (int k = from; k < to; ++k) {
            bool ok = true;
            switch (k) {
            case 0: ok = optional(vid, has_vid, " vid 0x", vid_digits, &comma); break;
            case 1: ok = optional(did, has_did, " did 0x", did_digits, &comma); break;
            case 2: ok = optional(name, has_name, " (", name_text, &paren); break;
            case 3: ok = optional(fwver, has_fwver, " fwVer ", fwver_text, nullptr); break;
            case 4: ok = pre.add("Master ") && pre.add(address_text); break;
            case 5:
                ok = !wrap || (wrapped.add("[color=#4699ff][b]") && wrapped.add(pre) &&
                               wrapped.add("[/b][/color]"));
                break;
            case 6: ok = optional(pcode, has_pcode, " (", pcode_text, &paren); break;
            default: break;
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    };
    // After step `step` read `piece`: its sum now when summing, or when the
    // piece brings code of its own.
    auto next = [&](const Piece* piece) {
        bool start = !summing && piece != nullptr && !exact(*piece);
        int from = start ? 0 : step;
        ++step;
        if (start) {
            summing = true;
        }
        return !summing || build(from, step);
    };

    has_vid = optional_piece(master, kVendorId, vid_digits, hex04);
    if (has_vid < 0 || !next(has_vid ? &vid_digits : nullptr)) {
        return nullptr;
    }
    has_did = optional_piece(master, kDeviceId, did_digits, hex04);
    if (has_did < 0 || !next(has_did ? &did_digits : nullptr)) {
        return nullptr;
    }
    has_name = optional_piece(master, kName, name_text, text_form);
    if (has_name < 0 || !next(has_name ? &name_text : nullptr)) {
        return nullptr;
    }
    has_fwver = optional_piece(master, kFwVersion, fwver_text, text_form);
    if (has_fwver < 0 || !next(has_fwver ? &fwver_text : nullptr)) {
        return nullptr;
    }
    address_value = master_attr(master, kAddress);
    if (!address_value || !text_form(address_value.get(), address_text) ||
        !next(&address_text)) {
        return nullptr;
    }
    wrap = truth(gui);
    if (wrap < 0 || !next(nullptr)) {
        return nullptr;
    }
    vendor_value = master_vendor(master);
    if (!vendor_value) {
        return nullptr;
    }
    has_pcode = master_product_code(master, pcode_text);
    if (has_pcode < 0 || !next(has_pcode ? &pcode_text : nullptr)) {
        return nullptr;
    }

    // "\n" + pre + name + ": " + str(vendor) + ", " + str(master.productName) + ...
    auto line_head = [&]() {
        return line.add("\n") && line.add(wrap ? wrapped : pre) && line.add(name) &&
               line.add(": ");
    };
    if (summing && !line_head()) {
        return nullptr;
    }
    if (!text_form(vendor_value.get(), vendor_text)) {
        return nullptr;
    }
    if (!summing && !exact(vendor_text)) {
        summing = true;
        if (!build(0, step) || !line_head()) {
            return nullptr;
        }
    }
    if (summing && (!line.add(vendor_text) || !line.add(", "))) {
        return nullptr;
    }
    product_value = master_attr(master, kProductName);
    if (!product_value || !text_form(product_value.get(), product_text)) {
        return nullptr;
    }
    if (!summing && !exact(product_text)) {
        summing = true;
        if (!build(0, step) || !line_head() || !line.add(vendor_text) || !line.add(", ")) {
            return nullptr;
        }
    }
    Ref joined;
    if (summing) {
        if (!line.add(product_text) || !line.add(pcode) || !line.add(",") ||
            !line.add("\n    ") || !line.add(vid) || !line.add(did) || !line.add(fwver)) {
            return nullptr;
        }
        joined = line.value();
    }
    else {
        joined = join_text(
            "\n", when(wrap, "[color=#4699ff][b]"), "Master ", address_text,
            when(wrap, "[/b][/color]"), when(has_name, " (", name_text, ")"), ": ", vendor_text,
            ", ", product_text, when(has_pcode, " (", pcode_text, ")"), ",\n    ",
            when(has_vid, " vid 0x", vid_digits, ","), when(has_did, " did 0x", did_digits, ","),
            when(has_fwver, " fwVer ", fwver_text));
    }
    if (!joined || !call_one(printFnc, joined.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Device report lines

// dict[key] of an exact dict, with the KeyError of a missing key.
Ref dict_item(PyObject* dict, PyObject* key)
{
    PyObject* value;   // always set, nullptr when missing
    int found = PyDict_GetItemRef(dict, key, &value);
    if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return Ref::steal(value);
}

PyObject* tc_get_text(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_get_text", {&N.val, &N.default_}, 2};
    PyObject* values[2] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    int present = truth(values[0]);
    if (present < 0) {
        return nullptr;
    }
    return Py_NewRef(present ? values[0] : values[1]);
}

// The pieces of one device text, read in the order of the text's
// definition: the port label, the identification values, the two IDs.
struct DeviceText {
    PyObject* module;
    PyObject* dev;
    PyObject* ident;
    int wrap = 0;
    // port label; prodText, prodId, ser, fwver, hdver, apptag, vendorName,
    // prodName (in reading order); the two IDs
    Piece port, field[kIdentValues], vid, did;
    Ref vendor_id, device_id;
    bool vid_read = false, did_read = false;   // IDs already read and formatted
};

// Whether _get_text holds the module's own function, so that its effect on
// an exact string can be applied inline; asked again only after the
// namespace changed (code run in between, even inside a dict look-up, may
// have rebound the name).
class OwnGetText {
public:
    explicit OwnGetText(PyObject* module) : module_(module) { ask(); }
    bool operator()() { return g_lookups.changes == own_since_ || ask(); }

private:
    bool ask()
    {
        const GlobalSlot* slot = remembered(module_, G::_get_text);
        bool own = slot != nullptr && slot->own == tc_get_text;
        own_since_ = own ? g_lookups.changes : kNotOwn;
        return own;
    }
    static constexpr size_t kNotOwn = 1;   // never a count of changes, which stays even
    PyObject* module_;
    size_t own_since_ = kNotOwn;
};

// ident[key]: an exact dict read directly (a dict's class cannot change,
// so that is decided once per text).
template <bool ExactDict>
inline Ref ident_item(PyObject* ident, PyObject* key)
{
    return ExactDict ? dict_item(ident, key) : Ref::steal(PyObject_GetItem(ident, key));
}

// Reads the identification values into t.field in the order of N.identKeys:
// the first ones through _get_text(value, placeholder), then strip(); the
// last two, `vendorName` and `productName`, by strip() alone. Returns -1 on
// error, else whether every value is an exact string.
template <bool ExactDict>
int read_values(DeviceText& t)
{
    PyObject* const ident = t.ident;
    OwnGetText own_get_text(t.module);
    bool all_exact = true;   // an exact string strips to one
    for (int i = 0; i < kWithPlaceholder; ++i) {
        // _get_text(ident[key], placeholder). As in Python the name is looked
        // up before the subscript, and what it held then is called, whatever
        // the subscript's code rebinds. The module's own function is applied
        // here: its truth test, exact strings first (placeholders are exact).
        Ref func;   // what to call; empty for the module's own
        if (!own_get_text()) {
            FastcallFunction impl = nullptr;
            func = lookup(t.module, G::_get_text, &impl);
            if (!func) {
                return -1;
            }
            if (impl == tc_get_text) {
                func = Ref();
            }
        }
        Ref value = ident_item<ExactDict>(ident, N.identKeys[i]);
        if (!value) {
            return -1;
        }
        if (func) {
            value = call(func.get(), {value.get(), N.placeholders[i]});
            if (!value) {
                return -1;
            }
        }
        else if (PyUnicode_CheckExact(value.get())) {
            if (PyUnicode_GET_LENGTH(value.get()) == 0) {
                value = Ref::borrow(N.placeholders[i]);
            }
            if (!strip_exact(std::move(value), t.field[i])) {
                return -1;
            }
            continue;
        }
        else {
            int present = truth(value.get());
            if (present < 0) {
                return -1;
            }
            if (present == 0) {
                value = Ref::borrow(N.placeholders[i]);
            }
        }
        if (!strip(std::move(value), t.field[i])) {
            return -1;
        }
        all_exact = all_exact && exact(t.field[i]);
    }
    for (int i = kWithPlaceholder; i < kIdentValues; ++i) {
        Ref value = ident_item<ExactDict>(ident, N.identKeys[i]);
        if (!value || !strip(std::move(value), t.field[i])) {
            return -1;
        }
        all_exact = all_exact && exact(t.field[i]);
    }
    return all_exact;
}

TC_NOINLINE int read_identification(DeviceText& t)
{
    return PyDict_CheckExact(t.ident) ? read_values<true>(t) : read_values<false>(t);
}

// The device text the way Python's `+` builds it, operand by operand: what
// any piece that is not an exact str needs (its __radd__ and __add__ run where
// Python runs them, and the IDs are read after the text before them is
// added). IDs read before (only after exact pieces, where no code runs in
// between) are not read again.
// pre = "  * Device port " + str(dev.portId) + ":"
bool device_label(const DeviceText& t, Sum& pre)
{
    return pre.add("  * Device port ") && pre.add(t.port) && pre.add(":");
}

// In GUI mode: pre = "[color=#72ff00]" + pre + "[/color]"
bool device_label_wrapped(const Sum& pre, Sum& wrapped)
{
    return wrapped.add("[color=#72ff00]") && wrapped.add(pre) && wrapped.add("[/color]");
}

// `pre` and `wrapped` as built where Python builds them when the port text
// is not an exact str (its code runs there); built here otherwise.
TC_NOINLINE Ref device_text_sum(DeviceText& t, bool identified, Sum* built_pre,
                                Sum* built_wrapped)
{
    // The sums are declared after the pieces they point into (in `t`).
    Sum own_pre, own_wrapped, line;
    Sum& pre = built_pre != nullptr ? *built_pre : own_pre;
    Sum& wrapped = built_wrapped != nullptr ? *built_wrapped : own_wrapped;
    if (built_pre == nullptr &&
        (!device_label(t, pre) || (t.wrap && !device_label_wrapped(pre, wrapped)))) {
        return {};
    }
    // ... + ", vid 0x" + format(dev.vendorId, "04x") + ", did 0x" + format(dev.deviceId, "04x"),
    // each ID read when the text before it has been added.
    auto ids = [&t, &line](const auto& vid_label) {
        if (!line.add(vid_label)) {
            return false;
        }
        if (!t.vid_read) {
            t.vendor_id = getattr(t.dev, N.vendorId);
            if (!t.vendor_id || !hex04(t.vendor_id.get(), t.vid)) {
                return false;
            }
        }
        if (!line.add(t.vid) || !line.add(", did 0x")) {
            return false;
        }
        if (!t.did_read) {
            t.device_id = getattr(t.dev, N.deviceId);
            if (!t.device_id || !hex04(t.device_id.get(), t.did)) {
                return false;
            }
        }
        return line.add(t.did);
    };
    if (!line.add(t.wrap ? wrapped : pre)) {
        return {};
    }
    if (!identified) {
        return ids(" NO_IDENT, vid 0x") ? line.value() : Ref();
    }
    auto& [prodText, prodId, ser, fwver, hdver, apptag, vendorName, prodName] = t.field;
    if (!line.add(" ") || !line.add(vendorName) || !line.add(", ") ||
        !line.add(prodName) || !line.add(" (") || !line.add(prodId) ||
        !line.add("),\n    ") || !line.add(prodText) || !ids(", vid 0x") ||
        !line.add(",\n    fwVer ") || !line.add(fwver) || !line.add(", hwVer ") ||
        !line.add(hdver) || !line.add(", S/N ") || !line.add(ser) || !line.add(", tag: ") ||
        !line.add(apptag)) {
        return {};
    }
    return line.value();
}

// Reads and formats the two IDs ahead of the text, while every piece before
// them is an exact str: then no code can run between the reads and the
// additions before them. Returns whether every piece is exact.
bool read_ids_ahead(DeviceText& t)
{
    t.vendor_id.reset(PyObject_GetAttr(t.dev, N.vendorId));
    if (!t.vendor_id || !hex04(t.vendor_id.get(), t.vid)) {
        return false;
    }
    t.vid_read = true;
    if (!exact(t.vid)) {
        return true;
    }
    t.device_id.reset(PyObject_GetAttr(t.dev, N.deviceId));
    if (!t.device_id || !hex04(t.device_id.get(), t.did)) {
        return false;
    }
    t.did_read = true;
    return true;
}

// A port text that is not an exact str: the label is built where Python
// builds it, its `+` running the text's code before gui is tested.
TC_NOINLINE Ref device_text_foreign_port(DeviceText& t, PyObject* gui)
{
    Sum pre, wrapped;   // after `t`, whose pieces they point into
    if (!device_label(t, pre)) {
        return {};
    }
    t.wrap = truth(gui);
    if (t.wrap < 0 || (t.wrap && !device_label_wrapped(pre, wrapped))) {
        return {};
    }
    int identified = truth(t.ident);
    if (identified < 0 || (identified && read_identification(t) < 0)) {
        return {};
    }
    return device_text_sum(t, identified != 0, &pre, &wrapped);
}

// The device text when the port text is an exact str.
Ref device_text(DeviceText& t, PyObject* gui)
{
    t.wrap = truth(gui);
    int identified = t.wrap < 0 ? -1 : truth(t.ident);
    if (identified < 0) {
        return {};
    }
    bool all_exact = true;
    if (identified) {
        int read = read_identification(t);
        if (read < 0) {
            return {};
        }
        all_exact = read > 0;
    }
    if (all_exact) {
        if (!read_ids_ahead(t)) {
            return {};
        }
        all_exact = t.did_read && exact(t.vid) && exact(t.did);
    }
    if (!all_exact) {
        return device_text_sum(t, identified != 0, nullptr, nullptr);
    }
    // Every piece an exact str: the text's layout joined in one go.
    Span open = t.wrap ? Span("[color=#72ff00]  * Device port ") : Span("  * Device port ");
    Span close = t.wrap ? Span(":[/color] ") : Span(": ");
    if (!identified) {
        return join_text(open, t.port, close, "NO_IDENT, vid 0x", t.vid, ", did 0x", t.did);
    }
    auto& [prodText, prodId, ser, fwver, hdver, apptag, vendorName, prodName] = t.field;
    return join_text(open, t.port, close, vendorName, ", ", prodName, " (", prodId,
                     "),\n    ", prodText, ", vid 0x", t.vid, ", did 0x", t.did,
                     ",\n    fwVer ", fwver, ", hwVer ", hdver, ", S/N ", ser, ", tag: ",
                     apptag);
}

PyObject* tc_print_dev(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    static const Signature sig{"_print_dev", {&N.dev, &N.ident, &N.printFnc, &N.gui}, 4};
    PyObject* values[4] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [dev, ident, printFnc, gui] = values;

    DeviceText t;
    t.module = module;
    t.dev = dev;
    t.ident = ident;
    Ref port_value = getattr(dev, N.portId);
    if (!port_value || !text_form(port_value.get(), t.port)) {
        return nullptr;
    }
    Ref joined = exact(t.port) ? device_text(t, gui) : device_text_foreign_port(t, gui);
    if (!joined || !call_one(printFnc, joined.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Module set-up

#define FASTCALL_FN(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// Rows of the namespace bound after _state, in binding order. The signature
// line before "--" feeds inspect.signature(); only the public functions carry
// documentation.
PyMethodDef function_defs[] = {
    {"abort", FASTCALL_FN(tc_abort), METH_FASTCALL | METH_KEYWORDS,
     "abort($module, /)\n--\n\nAbort running check"},
    {"isRunning", FASTCALL_FN(tc_isRunning), METH_FASTCALL | METH_KEYWORDS,
     "isRunning($module, /)\n--\n\nIs checker running?"},
    {"check", FASTCALL_FN(tc_check), METH_FASTCALL | METH_KEYWORDS, check_doc},
    {"_discover", FASTCALL_FN(tc_discover), METH_FASTCALL | METH_KEYWORDS,
     "_discover($module, /, base, address, found)\n--\n\n"},
    {"_list_master", FASTCALL_FN(tc_list_master), METH_FASTCALL | METH_KEYWORDS,
     "_list_master($module, /, masterbridge, opt, anyActivated, found, printFnc, debug, gui)"
     "\n--\n\n"},
    {"_get_master", FASTCALL_FN(tc_get_master), METH_FASTCALL | METH_KEYWORDS,
     "_get_master($module, /, masterbridge, opt, printFnc, debug)\n--\n\n"},
    {"_print_master", FASTCALL_FN(tc_print_master), METH_FASTCALL | METH_KEYWORDS,
     "_print_master($module, /, master, printFnc, gui)\n--\n\n"},
    {"_get_text", FASTCALL_FN(tc_get_text), METH_FASTCALL | METH_KEYWORDS,
     "_get_text($module, /, val, default)\n--\n\n"},
    {"_print_dev", FASTCALL_FN(tc_print_dev), METH_FASTCALL | METH_KEYWORDS,
     "_print_dev($module, /, dev, ident, printFnc, gui)\n--\n\n"},
};

bool init_names()
{
    if (N.ready) {
        return true;
    }
#define TC_TEXT_ROW(member, text) {&N.member, text},
    const std::pair<PyObject**, const char*> texts[] = {TC_NAMES(TC_TEXT_ROW)};
#undef TC_TEXT_ROW
    for (const auto& [slot, text] : texts) {
        *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) {
            return false;
        }
    }
#define TC_NUMBER_ROW(member, value) {&N.member, value},
    const std::pair<PyObject**, long> numbers[] = {TC_NUMBERS(TC_NUMBER_ROW)};
#undef TC_NUMBER_ROW
    for (const auto& [slot, value] : numbers) {
        *slot = PyLong_FromLong(value);
        if (*slot == nullptr) {
            return false;
        }
    }
    PyObject* const keys[] = {N.productText,      N.productId,
                              N.serialNumber,     N.firmwareRevision,
                              N.hardwareRevision, N.applicationSpecificTag,
                              N.vendorName,       N.productName};
    PyObject* const placeholders[] = {N.NO_PRODUCT_TEXT, N.NO_PRODUCT_ID, N.NO_SERIAL,
                                      N.NO_FW_VER,       N.NO_HW_VER,     N.NO_TAG};
    static_assert(std::size(keys) == kIdentValues && std::size(placeholders) == kWithPlaceholder);
    std::copy(std::begin(keys), std::end(keys), N.identKeys);
    std::copy(std::begin(placeholders), std::end(placeholders), N.placeholders);
    N.optionsKwnames = PyTuple_Pack(1, N.options);
    N.ready = N.optionsKwnames != nullptr;
    return N.ready;
}

// Create step: one module object per process, in one interpreter only.
PyObject* tc_create(PyObject* spec, PyModuleDef* def)
{
    (void)def;
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    }
    else if (current != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    PyObject* dict = module ? PyModule_GetDict(module.get()) : nullptr;
    if (dict == nullptr) {
        return nullptr;
    }
    struct Copy {
        const char* from;
        const char* to;
        bool allow_none;
    };
    const Copy copies[] = {{"loader", "__loader__", true},
                           {"origin", "__file__", true},
                           {"parent", "__package__", true},
                           {"submodule_search_locations", "__path__", false}};
    for (const Copy& copy : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, copy.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if ((copy.allow_none || value.get() != Py_None) &&
            PyDict_SetItemString(dict, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// `from <package> import <name>`, with the interpreter's import semantics: a
// submodule not yet imported is imported, a missing name is an ImportError.
Ref import_from(PyObject* package, PyObject* name)
{
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    Ref module = fromlist ? Ref::steal(PyImport_ImportModuleLevelObject(
                                package, nullptr, nullptr, fromlist.get(), 0))
                          : Ref();
    if (!module) {
        return {};
    }
    Ref value = getattr(module.get(), name);
    if (value) {
        return value;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return {};
    }
    PyErr_Clear();
    Ref fullname = Ref::steal(PyUnicode_FromFormat("%U.%U", package, name));
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* submodule = nullptr;
    if (!fullname || PyDict_GetItemRef(modules, fullname.get(), &submodule) < 0) {
        return {};
    }
    if (submodule != nullptr) {
        return Ref::steal(submodule);
    }
    Ref path = Ref::steal(PyObject_GetAttrString(module.get(), "__file__"));
    if (!path) {
        PyErr_Clear();
    }
    Ref message = Ref::steal(
        path ? PyUnicode_FromFormat("cannot import name '%U' from '%U' (%S)", name, package,
                                    path.get())
             : PyUnicode_FromFormat("cannot import name '%U' from '%U' (unknown location)", name,
                                    package));
    if (message) {
        PyErr_SetImportError(message.get(), package, path ? path.get() : nullptr);
    }
    return {};
}

bool bind(PyObject* module, PyObject* name, PyObject* value)
{
    return value != nullptr && PyObject_SetAttr(module, name, value) == 0;
}

// The module's load-time code.
bool exec_steps(PyObject* module)
{
    if (!init_names()) {
        return false;
    }
    int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime "
                      "version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                      runtime_major, runtime_minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
            return false;
        }
    }

    // Entered under its full name also when it was loaded under another one.
    PyObject* previous = nullptr;
    if (PyDict_SetDefaultRef(PyImport_GetModuleDict(), N.moduleName, module, &previous) < 0) {
        return false;
    }
    Py_XDECREF(previous);

    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* print = nullptr;
    if (builtins == nullptr || PyDict_GetItemRef(builtins, N.print, &print) < 0) {
        return false;
    }
    if (print == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", N.print);
        return false;
    }
    Py_XSETREF(g_print, print);

    Ref dict2obj = Ref::steal(PyUnicode_FromString("dict2obj"));
    Ref base = Ref::steal(PyUnicode_FromString("velmora.base"));
    if (!dict2obj || !base || !bind(module, N.Dict2Obj, import_from(dict2obj.get(), N.Dict2Obj).get())) {
        return false;
    }
    {
        Ref names = Ref::steal(PyTuple_Pack(2, N._IoddDrv, N.IoddUtility));
        Ref package = names ? Ref::steal(PyImport_ImportModuleLevelObject(
                                  base.get(), nullptr, nullptr, names.get(), 0))
                            : Ref();
        if (!package || !bind(module, N._IoddDrv, import_from(base.get(), N._IoddDrv).get()) ||
            !bind(module, N.IoddUtility, import_from(base.get(), N.IoddUtility).get())) {
            return false;
        }
    }

    Ref version = Ref::steal(PyUnicode_FromString(kVersion));
    if (!bind(module, N.__version__, version.get())) {
        return false;
    }
    Ref baseversion = import_from(base.get(), N.__version__);
    if (!baseversion) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return false;
        }
        PyErr_Clear();
        baseversion = lookup(module, G::__version__);
    }
    if (!bind(module, N.__baseversion__, baseversion.get())) {
        return false;
    }

    // _state, as `class _state: abort = False; isRuning = False` would make it.
    {
        Ref body = Ref::steal(PyDict_New());
        if (!body || PyDict_SetItem(body.get(), N.__module__, N.moduleName) < 0 ||
            PyDict_SetItem(body.get(), N.__qualname__, N._state) < 0 ||
            PyDict_SetItem(body.get(), N.abort, Py_False) < 0 ||
            PyDict_SetItem(body.get(), N.isRuning, Py_False) < 0) {
            return false;
        }
        Ref state = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                     "O(O)O", N._state, &PyBaseObject_Type,
                                                     body.get()));
        if (!bind(module, N._state, state.get())) {
            return false;
        }
    }

    for (PyMethodDef& def : function_defs) {
        Ref func = Ref::steal(PyCMethod_New(&def, module, N.moduleName, nullptr));
        if (!func || PyModule_AddObjectRef(module, def.ml_name, func.get()) < 0) {
            return false;
        }
    }

    // Run as the main program: one check with every default.
    Ref name = getattr(module, N.__name__);
    int is_main = name ? compare(name.get(), N.__main__, Py_EQ) : -1;
    if (is_main < 0) {
        return false;
    }
    if (is_main) {
        Ref check = lookup(module, G::check);
        if (!check || !call(check.get())) {
            return false;
        }
    }
    return true;
}

int tc_exec(PyObject* module)
{
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'TessadynChecker' has already been imported. Re-initialisation "
                        "is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);
    if (dict != nullptr) {
        watch_namespace(dict);
    }
    if (!exec_steps(module)) {
        Py_CLEAR(g_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(tc_create)},
    {Py_mod_exec, reinterpret_cast<void*>(tc_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "TessadynChecker",
    "Velmora Tessadyn Checker: finds IO-Link masters and reports their devices.\n"
    "\n"
    "(c) Velmora. Created 2026-12-07.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_TessadynChecker(void)
{
    return PyModuleDef_Init(&module_def);
}
