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

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

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
// process: names looked up or called, parameter names and fixed output texts.
struct Names {
    // module namespace
    PyObject *Dict2Obj, *_IoddDrv, *IoddUtility, *__version__, *__baseversion__, *__name__,
        *__main__, *_state, *abort, *isRuning, *check, *_discover, *_list_master, *_get_master,
        *_print_master, *_get_text, *_print_dev, *print, *moduleName, *__qualname__, *__module__;
    // driver library attributes and operations
    PyObject *CommonDriverManager, *iodd, *Logger, *IoddDev, *IoddMasterDriver, *_identNames,
        *driverlist, *IoddBaseDriver, *commonDrivers, *driverName, *getBaseDriverType, *exist,
        *checkBaseDriverActive, *getBaseDriver, *discover, *close, *_master, *_base,
        *checkActiveMasterDriver, *getActiveMasterDriver, *checkMasterDriver, *getMasterDriver,
        *connect, *disableEventChecking, *connected, *getPortModes, *activated, *getDevices,
        *options, *disconnect, *deviceIdentifier, *vendorId, *deviceId, *fwVersion, *vendor,
        *productName, *productCode, *portId;
    // Python methods and attributes
    PyObject *append, *args, *lower, *endswith, *startswith, *strip;
    // parameters
    PyObject *address, *auto_, *printFnc, *verbose, *select, *gui, *base, *found, *masterbridge,
        *opt, *anyActivated, *debug, *master, *val, *default_, *dev, *ident, *idx, *name;
    // identification keys and their placeholders
    PyObject *productText, *productId, *serialNumber, *firmwareRevision, *hardwareRevision,
        *applicationSpecificTag, *vendorName;
    PyObject *NO_PRODUCT_TEXT, *NO_PRODUCT_ID, *NO_SERIAL, *NO_FW_VER, *NO_HW_VER, *NO_TAG;
    // values compared or handed on
    PyObject *empty, *activatePorts, *off, *autoValue, *unknown, *Sim, *usb, *eth, *ethernet,
        *ble, *suffixUSB, *suffixIP, *suffixBLE, *hex04, *_logger, *_getIndexVar;
    // output texts of the check run
    PyObject *at, *atSeveral, *baseOpen, *bannerHead, *bannerMiddle, *dots, *mastersAnd,
        *devicesFound, *hint, *closing, *errorPrefix;
    // pieces of the report lines
    PyObject *open, *closeParen, *comma, *commaSpace, *colon, *colonSpace, *space, *newline,
        *masterVid, *masterDid, *masterFwVer, *masterSep, *masterLabel, *masterGuiOpen,
        *masterGuiClose, *portLabel, *devGuiOpen, *devGuiClose, *noIdent, *devVid, *devDid,
        *devLine1End, *devLine2End, *devHwVer, *devSerial, *devTag;
    // other constants
    PyObject *optionsKwnames, *int0, *int2, *int9, *int16, *int24;
};
Names N{};

// ---------------------------------------------------------------------------
// Small helpers over the C API.

// Interpreter truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

// Truth of the rich comparison `a <op> b`, as an `if` statement sees it.
int compare(PyObject* a, PyObject* b, int op)
{
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    return truth(result.get());
}

// Module-namespace look-ups are remembered until the namespace changes: a
// dict watcher on it clears the memory on every change, so a rebound name is
// seen at its next use. Without a free watcher every look-up goes to the dict.
struct LookupCache {
    int watcher = -1;
    PyObject* dict = nullptr;    // the watched namespace (borrowed)
    struct Entry {
        PyObject* name;          // interned name (borrowed)
        PyObject* value;         // borrowed: the namespace holds it while unchanged
    } entries[16];
    int count = 0;
};
LookupCache g_lookups;

int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*)
{
    if (dict == g_lookups.dict) {
        g_lookups.count = 0;
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
    g_lookups.count = 0;
}

// Looks a name up in the module namespace, then in the built-ins, like a
// global name in Python code; a missing name is a NameError.
Ref lookup(PyObject* module, PyObject* name)
{
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) {
        return {};
    }
    bool cached = dict == g_lookups.dict;
    if (cached) {
        for (int i = 0; i < g_lookups.count; ++i) {
            if (g_lookups.entries[i].name == name) {
                return Ref::borrow(g_lookups.entries[i].value);
            }
        }
    }
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, name, &value);
    if (found > 0 && cached && PyUnicode_CHECK_INTERNED(name) &&
        g_lookups.count < static_cast<int>(std::size(g_lookups.entries))) {
        g_lookups.entries[g_lookups.count++] = {name, value};
    }
    if (found != 0) {
        return Ref::steal(found > 0 ? value : nullptr);
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        found = PyDict_GetItemRef(builtins, name, &value);
        if (found != 0) {
            return Ref::steal(found > 0 ? value : nullptr);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
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
    PyObject* stack[8] = {};
    size_t n = 1;
    for (PyObject* arg : args) {
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_Vectorcall(
        func, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Looks `name` up in the module namespace and calls it.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Whether `func` is one of this module's own functions, bound to `module`.
bool is_own_function(PyObject* module, PyObject* func, FastcallFunction impl = nullptr)
{
    if (!PyCFunction_Check(func) || PyCFunction_GET_SELF(func) != module) {
        return false;
    }
    return impl == nullptr ||
           PyCFunction_GET_FUNCTION(func) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(impl));
}

// Looks `name` up in the module namespace and calls it. While the name still
// holds the module's own function, that function is entered directly.
Ref call_global(PyObject* module, PyObject* name, std::initializer_list<PyObject*> args)
{
    Ref func = lookup(module, name);
    if (!func) {
        return {};
    }
    if (is_own_function(module, func.get())) {
        auto impl = reinterpret_cast<FastcallFunction>(
            reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(func.get())));
        return Ref::steal(impl(module, args.begin(), static_cast<Py_ssize_t>(args.size()), nullptr));
    }
    return call(func.get(), args);
}

// The text form of a value: str(value).
Ref text(PyObject* value) { return Ref::steal(PyObject_Str(value)); }

// ---------------------------------------------------------------------------
// Output texts are built from pieces and allocated once: a piece is a whole
// string, a slice of one (what strip() keeps), or ASCII characters written
// here (the digits of plain ints).

struct Piece {
    Ref owner;                  // keeps `str` alive while the text is built
    PyObject* str = nullptr;    // nullptr: the piece is `ascii`
    Py_ssize_t start = 0;
    Py_ssize_t end = -1;        // -1: to the end of `str`
    char ascii[24];
    Py_ssize_t nascii = 0;

    void set(Ref value)
    {
        owner = std::move(value);
        str = owner.get();
    }
};

// A view of a piece as the join sees it; converts from a string object.
struct Span {
    PyObject* str;
    Py_ssize_t start;
    Py_ssize_t end;
    const char* ascii;
    Py_ssize_t nascii;

    // Left unset: the span arrays of Spans are filled before they are read,
    // and setting every slot of every sum costs more than its report.
    Span() = default;
    Span(PyObject* whole) : str(whole), start(0), end(-1), ascii(nullptr), nascii(0) {}
    Span(const Piece& piece)
        : str(piece.str), start(piece.start), end(piece.end), ascii(piece.ascii),
          nascii(piece.nascii) {}
};

// Writes the digits of `number` in base 10 or 16 (lower case, at least
// `width` digits) into the piece.
void digits(Piece& piece, unsigned long long number, unsigned base, int width)
{
    char reversed[24];
    int count = 0;
    do {
        reversed[count++] = "0123456789abcdef"[number % base];
        number /= base;
    } while (number != 0);
    while (count < width) {
        reversed[count++] = '0';
    }
    for (int i = 0; i < count; ++i) {
        piece.ascii[i] = reversed[count - 1 - i];
    }
    piece.nascii = count;
    piece.str = nullptr;
}

// The digits of a non-negative exact int, written into the piece: 1 when
// written, 0 when the value takes the generic path, -1 on error.
int int_digits(PyObject* value, Piece& piece, unsigned base, int width)
{
    if (!PyLong_CheckExact(value)) {
        return 0;
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow != 0 || number < 0) {
        return 0;
    }
    digits(piece, static_cast<unsigned long long>(number), base, width);
    return 1;
}

// The hex form of an identifier: format(value, "04x"). Non-negative exact
// ints are written here with the same digits.
bool hex04(PyObject* value, Piece& piece)
{
    int done = int_digits(value, piece, 16, 4);
    if (done != 0) {
        return done > 0;
    }
    piece.set(Ref::steal(PyObject_Format(value, N.hex04)));
    return piece.str != nullptr;
}

// The text form of a value: str(value); strings and plain ints directly.
bool text_form(PyObject* value, Piece& piece)
{
    if (PyUnicode_CheckExact(value)) {
        piece.set(Ref::borrow(value));
        return true;
    }
    int done = int_digits(value, piece, 10, 1);
    if (done != 0) {
        return done > 0;
    }
    piece.set(text(value));
    return piece.str != nullptr;
}

// value.strip(): exact strings are trimmed here with the white-space rule of
// str.strip(), without a copy; other objects get their own method called.
bool strip(PyObject* value, Piece& piece)
{
    if (!PyUnicode_CheckExact(value)) {
        piece.set(call_method(value, N.strip));
        return piece.str != nullptr;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    Py_ssize_t start = 0;
    while (start < length && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
        ++start;
    }
    Py_ssize_t end = length;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
        --end;
    }
    piece.set(Ref::borrow(value));
    piece.start = start;
    piece.end = end;
    return true;
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

// Copies `length` characters into a wider string.
template <class From, class To>
void widen(const void* from, void* to, Py_ssize_t length)
{
    const From* source = static_cast<const From*>(from);
    To* target = static_cast<To*>(to);
    for (Py_ssize_t i = 0; i < length; ++i) {
        target[i] = source[i];
    }
}

// Joins pieces into one new string with a single allocation. String pieces
// must be str, as with Python's `+` on strings.
Ref join(const Span* spans, size_t count)
{
    struct Source {
        const void* data;
        Py_ssize_t length;
        int kind;
    };
    Source sources[40];
    if (count > std::size(sources)) {
        PyErr_SetString(PyExc_SystemError, "too many pieces in one text");
        return {};
    }
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0x7f;
    for (size_t i = 0; i < count; ++i) {
        const Span& span = spans[i];
        Source& source = sources[i];
        if (span.str == nullptr) {
            source = {span.ascii, span.nascii, PyUnicode_1BYTE_KIND};
        }
        else {
            if (!PyUnicode_Check(span.str)) {
                PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                             Py_TYPE(span.str)->tp_name);
                return {};
            }
            Py_ssize_t full = PyUnicode_GET_LENGTH(span.str);
            Py_ssize_t end = span.end < 0 ? full : span.end;
            source.kind = PyUnicode_KIND(span.str);
            source.data = static_cast<const char*>(PyUnicode_DATA(span.str)) +
                          span.start * source.kind;
            source.length = end - span.start;
            if (source.length == full) {
                Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(span.str);
                maxchar = piece_max > maxchar ? piece_max : maxchar;
            }
            else if (!PyUnicode_IS_ASCII(span.str)) {
                // A slice may hold narrower characters than its string.
                for (Py_ssize_t at = 0; at < source.length; ++at) {
                    Py_UCS4 c = PyUnicode_READ(source.kind, source.data, at);
                    maxchar = c > maxchar ? c : maxchar;
                }
            }
        }
        if (source.length > PY_SSIZE_T_MAX - length) {
            PyErr_NoMemory();
            return {};
        }
        length += source.length;
    }
    Ref result = Ref::steal(PyUnicode_New(length, maxchar));
    if (!result) {
        return {};
    }
    int kind = PyUnicode_KIND(result.get());
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    for (size_t i = 0; i < count; ++i) {
        const Source& source = sources[i];
        if (source.kind == kind) {
            std::memcpy(data, source.data, static_cast<size_t>(source.length * kind));
        }
        else if (source.kind > kind) {
            // A stripped slice can be narrower than the string it comes from.
            for (Py_ssize_t k = 0; k < source.length; ++k) {
                PyUnicode_WRITE(kind, data, k, PyUnicode_READ(source.kind, source.data, k));
            }
        }
        else if (kind == PyUnicode_2BYTE_KIND) {
            widen<Py_UCS1, Py_UCS2>(source.data, data, source.length);
        }
        else if (source.kind == PyUnicode_1BYTE_KIND) {
            widen<Py_UCS1, Py_UCS4>(source.data, data, source.length);
        }
        else {
            widen<Py_UCS2, Py_UCS4>(source.data, data, source.length);
        }
        data += source.length * kind;
    }
    return result;
}

Ref join(std::initializer_list<Span> spans) { return join(spans.begin(), spans.size()); }

#if defined(__GNUC__) || defined(__clang__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#define NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define ALWAYS_INLINE __forceinline
#define NOINLINE __declspec(noinline)
#else
#define ALWAYS_INLINE inline
#define NOINLINE
#endif

// Collects the spans of one text in order.
template <size_t N>
struct Spans {
    Span items[N];
    size_t count = 0;

    // Field by field: a whole-struct copy becomes `rep movs`, slow for 40 bytes.
    ALWAYS_INLINE void push(const Span& span)
    {
        Span& slot = items[count++];
        slot.str = span.str;
        slot.start = span.start;
        slot.end = span.end;
        slot.ascii = span.ascii;
        slot.nascii = span.nascii;
    }
    Ref join() const { return ::join(items, count); }
    bool full() const { return count == std::size(items); }
};


// A span as a string object of its own.
Ref span_object(const Span& span)
{
    if (span.str == nullptr) {
        return Ref::steal(PyUnicode_FromStringAndSize(span.ascii, span.nascii));
    }
    if (span.start == 0 && span.end < 0) {
        return Ref::borrow(span.str);
    }
    Py_ssize_t end = span.end < 0 ? PyUnicode_GET_LENGTH(span.str) : span.end;
    return Ref::steal(PyUnicode_Substring(span.str, span.start, end));
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
template <size_t N>
class Sum {
public:
    // Adds one operand; false with an exception set when `+` failed.
    ALWAYS_INLINE bool add(const Span& span)
    {
        if (!adding_ && (span.str == nullptr || PyUnicode_CheckExact(span.str)) &&
            spans_.count < N) {
            spans_.push(span);
            return true;
        }
        return add_operand(span);
    }
    template <size_t M>
    bool add(const Sum<M>& inner)
    {
        if (inner.adding_) {
            return add(Span(inner.value_.get()));   // the inner sum keeps its value
        }
        if (!adding_ && spans_.count + inner.spans_.count <= std::size(spans_.items)) {
            for (size_t i = 0; i < inner.spans_.count; ++i) {
                spans_.push(inner.spans_.items[i]);
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
        return spans_.count == 1 ? span_object(spans_.items[0]) : spans_.join();
    }

private:
    // The interpreter's `+` with one more operand, switching to it first when
    // the collected operands are all there was so far.
    NOINLINE bool add_operand(const Span& span)
    {
        if (!adding_) {
            if (spans_.count == 0) {
                // The first operand is the value so far, not added to anything.
                adding_ = true;
                value_ = span_object(span);
                return static_cast<bool>(value_);
            }
            if (!start_adding()) {
                return false;
            }
        }
        Ref operand = span_object(span);
        value_ = operand ? Ref::steal(PyNumber_Add(value_.get(), operand.get())) : Ref();
        return static_cast<bool>(value_);
    }

    bool start_adding()
    {
        value_ = value();
        adding_ = true;
        return static_cast<bool>(value_);
    }

    template <size_t>
    friend class Sum;

    Spans<N> spans_;
    Ref value_;   // the value so far, once `+` is in use
    bool adding_ = false;
};

// A whole report line, and a part of one (a sub-expression such as `pre`).
using Line = Sum<32>;
using Part = Sum<6>;

// Runs `cleanup` after `body` the way Python's try/finally does: when the
// body failed, its exception is the one being handled while the clean-up
// runs, so an exception raised by the clean-up carries it as __context__ and
// propagates instead. Returns false when an exception is pending afterwards.
template <class Cleanup>
bool run_finally(bool body_ok, Cleanup&& cleanup)
{
    if (body_ok) {
        return cleanup();
    }
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(raised);
    bool cleanup_ok = cleanup();
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    if (cleanup_ok) {
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
    Ref state = lookup(module, N._state);
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
    Ref state = lookup(module, N._state);
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
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
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
// stack has too little room left; one look at the thread's record per call.
class StackScope {
public:
    StackScope()
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
    Ref state = lookup(module, N._state);
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
    const Signature sig{"_getIndexVar", {&N.idx}, 1};
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
    Ref drv = lookup(module, N._IoddDrv);
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
    Ref utility = lookup(module, N.IoddUtility);
    Ref manager = utility ? getattr(utility.get(), N.CommonDriverManager) : Ref();
    Ref current = manager ? getattr(manager.get(), N.iodd) : Ref();
    if (!current) {
        return false;
    }
    int is_set = truth(current.get());
    if (is_set != 0) {
        return is_set > 0;
    }
    Ref dict2obj = lookup(module, N.Dict2Obj);
    if (!dict2obj) {
        return false;
    }
    utility = lookup(module, N.IoddUtility);
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
    utility = lookup(module, N.IoddUtility);
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
        Ref drv = lookup(module, N._IoddDrv);
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
    Ref newMasters = call_global(run.module, N._discover, {base, run.address, run.found});
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
        Ref devices = call_global(run.module, N._list_master,
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

// The walk over the driver list, from the banner to the closing line.
Flow check_body(Run& run, PyObject* verbose)
{
    PyObject* module = run.module;

    // Address part of the banner; a single address becomes a one-element list.
    Ref address = Ref::borrow(run.address);
    Ref addstr = Ref::borrow(N.empty);
    int has_address = truth(address.get());
    if (has_address < 0) {
        return Flow::Error;
    }
    if (has_address) {
        // isinstance(address, list): honours __class__, as mocks use it.
        int is_list = PyList_Check(address.get())
                          ? 1
                          : PyObject_IsInstance(address.get(),
                                                reinterpret_cast<PyObject*>(&PyList_Type));
        if (is_list < 0) {
            return Flow::Error;
        }
        if (!is_list) {
            address = Ref::steal(PyList_New(1));
            if (!address) {
                return Flow::Error;
            }
            PyList_SET_ITEM(address.get(), 0, Py_NewRef(run.address));
        }
        Py_ssize_t count = PyObject_Size(address.get());
        if (count < 0) {
            return Flow::Error;
        }
        if (count < 2) {
            Ref first = Ref::steal(PyObject_GetItem(address.get(), N.int0));
            addstr = first ? Ref::steal(PyNumber_Add(N.at, first.get())) : Ref();
        }
        else {
            addstr = Ref::borrow(N.atSeveral);
        }
        if (!addstr) {
            return Flow::Error;
        }
    }
    run.address = address.get();

    // Banner, with the driver library's version when it differs from ours.
    Ref version = lookup(module, N.__version__);
    Ref baseversion = version ? lookup(module, N.__baseversion__) : Ref();
    if (!baseversion) {
        return Flow::Error;
    }
    Ref base_text, version_text;
    Part baseVer;
    Line banner;
    int show_base = truth(baseversion.get());
    if (show_base > 0) {
        show_base = compare(baseversion.get(), version.get(), Py_NE);
    }
    if (show_base < 0) {
        return Flow::Error;
    }
    if (show_base) {
        base_text = text(baseversion.get());
        if (!base_text || !baseVer.add(N.baseOpen) || !baseVer.add(base_text.get()) ||
            !baseVer.add(N.closeParen)) {
            return Flow::Error;
        }
    }
    else if (!baseVer.add(N.empty)) {
        return Flow::Error;
    }
    version_text = text(version.get());
    if (!version_text || !banner.add(N.bannerHead) || !banner.add(version_text.get()) ||
        !banner.add(baseVer) || !banner.add(N.bannerMiddle) || !banner.add(addstr.get()) ||
        !banner.add(N.dots)) {
        return Flow::Error;
    }
    Ref banner_text = banner.value();
    if (!banner_text || !call(run.printFnc, {banner_text.get()})) {
        return Flow::Error;
    }

    // Selection of the transport by driver-name suffix.
    Ref select = Ref::borrow(run.select);
    int selected = truth(select.get());
    if (selected < 0) {
        return Flow::Error;
    }
    if (selected) {
        Ref lowered = call_method(select.get(), N.lower);
        if (!lowered) {
            return Flow::Error;
        }
        const std::pair<PyObject*, PyObject*> table[] = {
            {N.usb, N.suffixUSB}, {N.eth, N.suffixIP}, {N.ethernet, N.suffixIP},
            {N.ble, N.suffixBLE}};
        select = Ref::borrow(Py_None);
        for (const auto& [value, suffix] : table) {
            int equal = compare(lowered.get(), value, Py_EQ);
            if (equal < 0) {
                return Flow::Error;
            }
            if (equal) {
                select = Ref::borrow(suffix);
                break;
            }
        }
    }

    if (!configure_driver_library(module, verbose)) {
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

    Ref drv = lookup(module, N._IoddDrv);
    Ref driverlist = drv ? getattr(drv.get(), N.driverlist) : Ref();
    Ref drivers = driverlist ? Ref::steal(PyObject_GetIter(driverlist.get())) : Ref();
    if (!drivers) {
        return Flow::Error;
    }
    while (Ref driver = Ref::steal(PyIter_Next(drivers.get()))) {
        int stop = abort_requested(module);
        if (stop != 0) {
            return stop > 0 ? Flow::Stop : Flow::Error;
        }
        // `if select and ...`: also a falsy select given by the caller is
        // tested at each driver.
        int matches = truth(select.get());
        if (matches > 0) {
            Ref name = call_method(driver.get(), N.driverName);
            matches = name ? affix(name.get(), select.get(), true) : -1;
            if (matches == 0) {
                continue;
            }
        }
        if (matches < 0) {
            return Flow::Error;
        }
        Ref baseType = call_method(driver.get(), N.getBaseDriverType);
        Ref base = baseType ? base_driver_for(module, baseType.get()) : Ref();
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
    if (PyErr_Occurred()) {
        return Flow::Error;
    }

    // Summary lines.
    int any_masters = truth(run.nmasters.get());
    if (any_masters < 0 || (any_masters && !call(run.printFnc))) {
        return Flow::Error;
    }
    Ref nmasters_text = text(run.nmasters.get());
    Ref ndevs_text;
    Line summary;
    if (!nmasters_text || !summary.add(nmasters_text.get()) || !summary.add(N.mastersAnd)) {
        return Flow::Error;
    }
    ndevs_text = text(run.ndevs.get());
    if (!ndevs_text || !summary.add(ndevs_text.get()) || !summary.add(N.devicesFound)) {
        return Flow::Error;
    }
    Ref summary_text = summary.value();
    if (!summary_text || !call(run.printFnc, {summary_text.get()})) {
        return Flow::Error;
    }
    if (any_masters) {
        int any_devices = truth(run.ndevs.get());
        if (any_devices < 0) {
            return Flow::Error;
        }
        if (!any_devices && !call(run.printFnc, {N.hint})) {
            return Flow::Error;
        }
    }
    if (!call(run.printFnc, {N.closing})) {
        return Flow::Error;
    }
    return Flow::Ok;
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
    const Signature sig{
        "check", {&N.address, &N.auto_, &N.printFnc, &N.verbose, &N.select, &N.gui}, 0};
    PyObject* values[6] = {Py_None, Py_False, g_print, N.int2, Py_None, Py_False};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    // An output function that starts a check of its own can recurse through
    // C callables alone, where no Python frame counts it: nested runs on one
    // thread are bounded by the interpreter's recursion limit as well as by
    // the stack left (room, above).
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
    const Signature sig{"_discover", {&N.base, &N.address, &N.found}, 3};
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
    if (!call_global(module, N._print_master, {masterbridge, printFnc, gui})) {
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
        Ref utility = lookup(module, N.IoddUtility);
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
        if (!ident || !call_global(module, N._print_dev, {dev.get(), ident.get(), printFnc, gui})) {
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
    const Signature sig{"_list_master",
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
    Ref masterdrv = call_global(module, N._get_master, {masterbridge, opt, printFnc, debug});
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
    return shown ? join({N.errorPrefix, shown.get()}) : Ref();
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
    const Signature sig{"_get_master", {&N.masterbridge, &N.opt, &N.printFnc, &N.debug}, 4};
    PyObject* values[4] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [masterbridge, opt, printFnc, debug] = values;

    Ref addr = getattr(masterbridge, N.address);
    if (!addr) {
        return nullptr;
    }
    Ref drv = lookup(module, N._IoddDrv);
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
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(error);
    int show = truth(debug);
    bool ok = show >= 0;
    if (show > 0) {
        Ref line = error_line(error);
        ok = line && call(printFnc, {line.get()});
    }
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    Py_DECREF(error);
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Master report line

// Reads master.<attr>; when it is truthy reads it again and puts its form
// into `piece`. Returns 1 when present, 0 when not, -1 on error.
template <class Form>
int optional_piece(PyObject* master, PyObject* attr, Piece& piece, Form form)
{
    Ref value = getattr(master, attr);
    int present = value ? truth(value.get()) : -1;
    if (present <= 0) {
        return present;
    }
    value = getattr(master, attr);
    return value && form(value.get(), piece) ? 1 : -1;
}

// The vendor shown in the master line: left out when it is "unknown" or the
// product name already begins with it.
Ref master_vendor(PyObject* master)
{
    Ref vendor = getattr(master, N.vendor);
    int unknown = vendor ? compare(vendor.get(), N.unknown, Py_EQ) : -1;
    if (unknown != 0) {
        return unknown < 0 ? Ref() : Ref::borrow(N.empty);
    }
    Ref product = getattr(master, N.productName);
    int named = product ? truth(product.get()) : -1;
    if (named < 0) {
        return {};
    }
    if (named) {
        product = getattr(master, N.productName);
        vendor = product ? getattr(master, N.vendor) : Ref();
        int prefix = vendor ? affix(product.get(), vendor.get(), false) : -1;
        if (prefix != 0) {
            return prefix < 0 ? Ref() : Ref::borrow(N.empty);
        }
    }
    return getattr(master, N.vendor);
}

// The product code, shown when present and not the product name: 1, 0 or -1
// as for optional_piece.
int master_product_code(PyObject* master, Piece& piece)
{
    Ref code = getattr(master, N.productCode);
    int present = code ? truth(code.get()) : -1;
    if (present <= 0) {
        return present;
    }
    code = getattr(master, N.productCode);
    Ref product = code ? getattr(master, N.productName) : Ref();
    int differs = product ? compare(code.get(), product.get(), Py_NE) : -1;
    if (differs <= 0) {
        return differs;
    }
    code = getattr(master, N.productCode);
    return code && text_form(code.get(), piece) ? 1 : -1;
}

PyObject* tc_print_master(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    const Signature sig{"_print_master", {&N.master, &N.printFnc, &N.gui}, 3};
    PyObject* values[3] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [master, printFnc, gui] = values;

    // Each piece, value and sum is declared before the sums that point into it.
    Piece vid_digits, did_digits, name_text, fwver_text, address_text, pcode_text, vendor_text,
        product_text;
    Ref address_value, vendor_value, product_value;
    Part vid, did, name, fwver, pre, wrapped, pcode;
    Line line;

    // piece = head + form + tail when present, else ""
    auto optional = [](Part& piece, int present, PyObject* head, const Piece& form,
                       PyObject* tail) {
        if (present == 0) {
            return piece.add(N.empty);
        }
        return present > 0 && piece.add(head) && piece.add(form) &&
               (tail == nullptr || piece.add(tail));
    };
    if (!optional(vid, optional_piece(master, N.vendorId, vid_digits, hex04), N.masterVid,
                  vid_digits, N.comma) ||
        !optional(did, optional_piece(master, N.deviceId, did_digits, hex04), N.masterDid,
                  did_digits, N.comma) ||
        !optional(name, optional_piece(master, N.name, name_text, text_form), N.open, name_text,
                  N.closeParen) ||
        !optional(fwver, optional_piece(master, N.fwVersion, fwver_text, text_form),
                  N.masterFwVer, fwver_text, nullptr)) {
        return nullptr;
    }
    address_value = getattr(master, N.address);
    if (!address_value || !text_form(address_value.get(), address_text) ||
        !pre.add(N.masterLabel) || !pre.add(address_text)) {
        return nullptr;
    }
    int wrap = truth(gui);
    if (wrap < 0 || (wrap && (!wrapped.add(N.masterGuiOpen) || !wrapped.add(pre) ||
                              !wrapped.add(N.masterGuiClose)))) {
        return nullptr;
    }
    vendor_value = master_vendor(master);
    if (!vendor_value) {
        return nullptr;
    }
    int has_pcode = master_product_code(master, pcode_text);
    if (!optional(pcode, has_pcode, N.open, pcode_text, N.closeParen)) {
        return nullptr;
    }

    // "\n" + pre + name + ": " + str(vendor) + ", " + str(master.productName) + pcode + ","
    //     + sep + vid + did + fwver
    if (!line.add(N.newline) || !line.add(wrap ? wrapped : pre) || !line.add(name) ||
        !line.add(N.colonSpace) || !text_form(vendor_value.get(), vendor_text) ||
        !line.add(vendor_text) || !line.add(N.commaSpace)) {
        return nullptr;
    }
    product_value = getattr(master, N.productName);
    if (!product_value || !text_form(product_value.get(), product_text) ||
        !line.add(product_text) || !line.add(pcode) || !line.add(N.comma) ||
        !line.add(N.masterSep) || !line.add(vid) || !line.add(did) || !line.add(fwver)) {
        return nullptr;
    }
    Ref joined = line.value();
    if (!joined || !call(printFnc, {joined.get()})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Device report lines

// ident[key]; exact dicts are read directly, with the same KeyError.
Ref subscript(PyObject* mapping, PyObject* key)
{
    if (!PyDict_CheckExact(mapping)) {
        return Ref::steal(PyObject_GetItem(mapping, key));
    }
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(mapping, key, &value);
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
    const Signature sig{"_get_text", {&N.val, &N.default_}, 2};
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

// _get_text(val, default) through the module namespace; the module's own
// function is applied inline.
Ref get_text(PyObject* module, PyObject* val, PyObject* default_)
{
    Ref func = lookup(module, N._get_text);
    if (!func) {
        return {};
    }
    if (is_own_function(module, func.get(), tc_get_text)) {
        int present = truth(val);
        return present < 0 ? Ref() : Ref::borrow(present ? val : default_);
    }
    return call(func.get(), {val, default_});
}

PyObject* tc_print_dev(FASTCALL_ARGS)
{
    StackScope room;
    if (!room) {
        return nullptr;
    }
    const Signature sig{"_print_dev", {&N.dev, &N.ident, &N.printFnc, &N.gui}, 4};
    PyObject* values[4] = {};
    if (!parse_args(sig, args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto [dev, ident, printFnc, gui] = values;

    // Each piece, value and sum is declared before the sums that point into it.
    Piece port, vid, did, field[6], vendorName, prodName;
    Ref port_value, vendor_id, device_id, vendor_value, product_value;
    Part pre, wrapped;
    Line line;

    // pre = "  * Device port " + str(dev.portId) + ":"; in GUI mode wrapped
    port_value = getattr(dev, N.portId);
    if (!port_value || !text_form(port_value.get(), port) || !pre.add(N.portLabel) ||
        !pre.add(port) || !pre.add(N.colon)) {
        return nullptr;
    }
    int wrap = truth(gui);
    if (wrap < 0 || (wrap && (!wrapped.add(N.devGuiOpen) || !wrapped.add(pre) ||
                              !wrapped.add(N.devGuiClose)))) {
        return nullptr;
    }
    int identified = truth(ident);
    if (identified < 0) {
        return nullptr;
    }
    // ... + ", vid 0x" + format(dev.vendorId, "04x") + ", did 0x" + format(dev.deviceId, "04x"),
    // each ID read when the text before it has been added.
    PyObject* record = dev;   // Clang before 16 cannot capture structured bindings
    auto ids = [&](PyObject* vid_label) {
        if (!line.add(vid_label)) {
            return false;
        }
        vendor_id = getattr(record, N.vendorId);
        if (!vendor_id || !hex04(vendor_id.get(), vid) || !line.add(vid) ||
            !line.add(N.devDid)) {
            return false;
        }
        device_id = getattr(record, N.deviceId);
        return device_id && hex04(device_id.get(), did) && line.add(did);
    };
    if (!identified) {
        if (!line.add(wrap ? wrapped : pre) || !ids(N.noIdent)) {
            return nullptr;
        }
    }
    else {
        // Identification values with a placeholder, in the order they are read.
        PyObject* const keys[] = {N.productText,      N.productId,
                                  N.serialNumber,     N.firmwareRevision,
                                  N.hardwareRevision, N.applicationSpecificTag};
        PyObject* const placeholders[] = {N.NO_PRODUCT_TEXT, N.NO_PRODUCT_ID, N.NO_SERIAL,
                                          N.NO_FW_VER,       N.NO_HW_VER,     N.NO_TAG};
        for (int i = 0; i < 6; ++i) {
            Ref value = subscript(ident, keys[i]);
            Ref shown = value ? get_text(module, value.get(), placeholders[i]) : Ref();
            if (!shown || !strip(shown.get(), field[i])) {
                return nullptr;
            }
        }
        auto& [prodText, prodId, ser, fwver, hdver, apptag] = field;
        vendor_value = subscript(ident, N.vendorName);
        product_value = vendor_value && strip(vendor_value.get(), vendorName)
                            ? subscript(ident, N.productName)
                            : Ref();
        if (!product_value || !strip(product_value.get(), prodName)) {
            return nullptr;
        }
        if (!line.add(wrap ? wrapped : pre) || !line.add(N.space) || !line.add(vendorName) ||
            !line.add(N.commaSpace) || !line.add(prodName) || !line.add(N.open) ||
            !line.add(prodId) || !line.add(N.devLine1End) || !line.add(prodText) ||
            !ids(N.devVid) || !line.add(N.devLine2End) || !line.add(fwver) ||
            !line.add(N.devHwVer) || !line.add(hdver) || !line.add(N.devSerial) ||
            !line.add(ser) || !line.add(N.devTag) || !line.add(apptag)) {
            return nullptr;
        }
    }
    Ref joined = line.value();
    if (!joined || !call(printFnc, {joined.get()})) {
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
    if (N.empty != nullptr) {
        return true;
    }
    struct Entry {
        PyObject** slot;
        const char* value;
    };
    const Entry entries[] = {
        {&N.Dict2Obj, "Dict2Obj"}, {&N._IoddDrv, "_IoddDrv"}, {&N.IoddUtility, "IoddUtility"},
        {&N.__version__, "__version__"}, {&N.__baseversion__, "__baseversion__"},
        {&N.__name__, "__name__"}, {&N.__main__, "__main__"}, {&N._state, "_state"},
        {&N.abort, "abort"}, {&N.isRuning, "isRuning"}, {&N.check, "check"},
        {&N._discover, "_discover"}, {&N._list_master, "_list_master"},
        {&N._get_master, "_get_master"}, {&N._print_master, "_print_master"},
        {&N._get_text, "_get_text"}, {&N._print_dev, "_print_dev"}, {&N.print, "print"},
        {&N.moduleName, kModuleName}, {&N.__qualname__, "__qualname__"},
        {&N.__module__, "__module__"},

        {&N.CommonDriverManager, "CommonDriverManager"}, {&N.iodd, "iodd"},
        {&N.Logger, "Logger"}, {&N.IoddDev, "IoddDev"},
        {&N.IoddMasterDriver, "IoddMasterDriver"}, {&N._identNames, "_identNames"},
        {&N.driverlist, "driverlist"}, {&N.IoddBaseDriver, "IoddBaseDriver"},
        {&N.commonDrivers, "commonDrivers"}, {&N.driverName, "driverName"},
        {&N.getBaseDriverType, "getBaseDriverType"}, {&N.exist, "exist"},
        {&N.checkBaseDriverActive, "checkBaseDriverActive"}, {&N.getBaseDriver, "getBaseDriver"},
        {&N.discover, "discover"}, {&N.close, "close"}, {&N._master, "_master"},
        {&N._base, "_base"}, {&N.checkActiveMasterDriver, "checkActiveMasterDriver"},
        {&N.getActiveMasterDriver, "getActiveMasterDriver"},
        {&N.checkMasterDriver, "checkMasterDriver"}, {&N.getMasterDriver, "getMasterDriver"},
        {&N.connect, "connect"}, {&N.disableEventChecking, "disableEventChecking"},
        {&N.connected, "connected"}, {&N.getPortModes, "getPortModes"},
        {&N.activated, "activated"}, {&N.getDevices, "getDevices"}, {&N.options, "options"},
        {&N.disconnect, "disconnect"}, {&N.deviceIdentifier, "deviceIdentifier"},
        {&N.vendorId, "vendorId"}, {&N.deviceId, "deviceId"}, {&N.fwVersion, "fwVersion"},
        {&N.vendor, "vendor"}, {&N.productName, "productName"},
        {&N.productCode, "productCode"}, {&N.portId, "portId"},

        {&N.append, "append"}, {&N.args, "args"}, {&N.lower, "lower"},
        {&N.endswith, "endswith"}, {&N.startswith, "startswith"}, {&N.strip, "strip"},

        {&N.address, "address"}, {&N.auto_, "auto"}, {&N.printFnc, "printFnc"},
        {&N.verbose, "verbose"}, {&N.select, "select"}, {&N.gui, "gui"}, {&N.base, "base"},
        {&N.found, "found"}, {&N.masterbridge, "masterbridge"}, {&N.opt, "opt"},
        {&N.anyActivated, "anyActivated"}, {&N.debug, "debug"}, {&N.master, "master"},
        {&N.val, "val"}, {&N.default_, "default"}, {&N.dev, "dev"}, {&N.ident, "ident"},
        {&N.idx, "idx"}, {&N.name, "name"},

        {&N.productText, "productText"}, {&N.productId, "productId"},
        {&N.serialNumber, "serialNumber"}, {&N.firmwareRevision, "firmwareRevision"},
        {&N.hardwareRevision, "hardwareRevision"},
        {&N.applicationSpecificTag, "applicationSpecificTag"}, {&N.vendorName, "vendorName"},
        {&N.NO_PRODUCT_TEXT, "NO_PRODUCT_TEXT"}, {&N.NO_PRODUCT_ID, "NO_PRODUCT_ID"},
        {&N.NO_SERIAL, "NO_SERIAL"}, {&N.NO_FW_VER, "NO_FW_VER"}, {&N.NO_HW_VER, "NO_HW_VER"},
        {&N.NO_TAG, "NO_TAG"},

        {&N.activatePorts, "activatePorts"}, {&N.off, "off"}, {&N.autoValue, "auto"},
        {&N.unknown, "unknown"}, {&N.Sim, "Sim"}, {&N.usb, "usb"}, {&N.eth, "eth"},
        {&N.ethernet, "ethernet"}, {&N.ble, "ble"}, {&N.suffixUSB, "-USB"},
        {&N.suffixIP, "-IP"}, {&N.suffixBLE, "-BLE"}, {&N.hex04, "04x"},
        {&N._logger, "_logger"}, {&N._getIndexVar, "_getIndexVar"},

        {&N.at, " at "}, {&N.atSeveral, " at specified addresses"}, {&N.baseOpen, " (base "},
        {&N.bannerHead, "Velmora Tessadyn Checker "},
        {&N.bannerMiddle, ": searching masters and devices"}, {&N.dots, "..."},
        {&N.mastersAnd, " master(s) and "}, {&N.devicesFound, " device(s) found"},
        {&N.hint, "Hint: All ports are inactive. Consider using --auto to activate ports. "
                  "Use with caution\n      in productive systems!"},
        {&N.closing, "Visit " MAKER_URL " for more informations"},
        {&N.errorPrefix, "Error: "},

        {&N.open, " ("}, {&N.closeParen, ")"}, {&N.comma, ","}, {&N.commaSpace, ", "},
        {&N.colon, ":"}, {&N.colonSpace, ": "}, {&N.space, " "}, {&N.newline, "\n"},
        {&N.masterVid, " vid 0x"}, {&N.masterDid, " did 0x"}, {&N.masterFwVer, " fwVer "},
        {&N.masterSep, "\n    "}, {&N.masterLabel, "Master "},
        {&N.masterGuiOpen, "[color=#4699ff][b]"}, {&N.masterGuiClose, "[/b][/color]"},
        {&N.portLabel, "  * Device port "}, {&N.devGuiOpen, "[color=#72ff00]"},
        {&N.devGuiClose, "[/color]"}, {&N.noIdent, " NO_IDENT, vid 0x"},
        {&N.devVid, ", vid 0x"}, {&N.devDid, ", did 0x"}, {&N.devLine1End, "),\n    "},
        {&N.devLine2End, ",\n    fwVer "}, {&N.devHwVer, ", hwVer "},
        {&N.devSerial, ", S/N "}, {&N.devTag, ", tag: "},
    };
    for (const Entry& entry : entries) {
        *entry.slot = PyUnicode_InternFromString(entry.value);
        if (*entry.slot == nullptr) {
            return false;
        }
    }
    const std::pair<PyObject**, long> numbers[] = {
        {&N.int0, 0}, {&N.int2, 2}, {&N.int9, 9}, {&N.int16, 16}, {&N.int24, 24}};
    for (const auto& [slot, value] : numbers) {
        *slot = PyLong_FromLong(value);
        if (*slot == nullptr) {
            return false;
        }
    }
    N.optionsKwnames = PyTuple_Pack(1, N.options);
    if (N.optionsKwnames == nullptr) {
        return false;
    }
    // Set last: marks the table complete.
    N.empty = PyUnicode_InternFromString("");
    return N.empty != nullptr;
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
        baseversion = lookup(module, N.__version__);
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
        Ref check = lookup(module, N.check);
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
