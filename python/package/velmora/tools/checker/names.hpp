// Interned names and small ints, made once at load time and kept for the
// life of the process, and the process-wide storage of the module.
//
// Rules: every text the module looks up, reads, calls or compares is a row
// of TC_NAMES (its member of N and its initialisation come from that row);
// small ints of TC_NUMBERS alike. Members of N are borrowed by every user
// and never released. init_names() runs once, at load time, before any of
// them is used. A table of names indexed by an enum (the master attributes,
// the identification keys and placeholders) is an array of NameRow whose
// rows are checked against the enum at compile time (rows_in_order); the
// global names and their enum G come from one list (TC_GLOBALS). The fixed
// pieces of the report texts are not names: they are written in the texts'
// layouts.

#ifndef TESSADYN_CHECKER_NAMES_HPP
#define TESSADYN_CHECKER_NAMES_HPP

#include "platform.hpp"

#include <cstddef>
#include <cstdint>

namespace {

constexpr const char kModuleName[] = "velmora.tools.TessadynChecker";

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
// those before vendorName through _get_text with a placeholder.
enum class Ident {
    productText, productId, serialNumber, firmwareRevision, hardwareRevision,
    applicationSpecificTag, vendorName, productName, count
};
constexpr int kIdentValues = static_cast<int>(Ident::count);
constexpr int kWithPlaceholder = static_cast<int>(Ident::vendorName);

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

// A row of a name table indexed by an enum: the enum's value and the member
// of N that it names. A table's rows are checked at compile time with
// rows_in_order.
template <class Key>
struct NameRow {
    Key key;
    PyObject* Names::*name;
};

// Whether `rows` holds one row for each of the `count` values of its enum,
// in the enum's order, so that rows[key] is the row of `key`.
template <class Key, size_t K>
constexpr bool rows_in_order(const NameRow<Key> (&rows)[K], Key count)
{
    if (K != static_cast<size_t>(count)) {
        return false;
    }
    for (size_t i = 0; i < K; ++i) {
        if (static_cast<size_t>(rows[i].key) != i) {
            return false;
        }
    }
    return true;
}

}  // namespace

#endif  // TESSADYN_CHECKER_NAMES_HPP
