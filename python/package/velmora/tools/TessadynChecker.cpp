// velmora.tools.TessadynChecker: finds IO-Link masters through the driver
// library velmora.base, lists the devices on their ports and reports them
// through a caller-supplied output function.
//
// The module is written against the CPython C API directly. Every function
// behaves like the equivalent Python code would: module names are looked up
// in the module namespace when they are used, values are tested with the
// interpreter's truth test, and exceptions pass through unchanged after the
// clean-up that a Python try/finally would run.
//
// This file is the story of a check, read top-down in the order of a run:
//
//   check()            the banner, the walk over the driver list, the summary
//   _discover()        the masters of one base driver
//   _list_master()     one master: connected, its line, its devices, disconnected
//   _get_master()      the connection of one master
//   _print_master()    the master line
//   _print_dev()       the device lines (and _get_text())
//   abort(), isRunning()  run control
//   module set-up      the names bound at import and the one module object
//
// Its general machinery lies in checker/, one header each, included here
// once (this file stays the one translation unit); each header opens with
// what it is for and the rules its users keep.

#include "checker/platform.hpp"  // the C API, standard headers, inlining marks
#include "checker/refs.hpp"      // Ref, try/finally
#include "checker/names.hpp"     // interned names and small ints
#include "checker/ops.hpp"       // truth test, comparisons, calls, attribute reads
#include "checker/lookups.hpp"   // module-namespace look-ups and calls of global names
#include "checker/spans.hpp"     // spans and pieces of a text
#include "checker/forms.hpp"     // digits and strip() into pieces
#include "checker/join.hpp"      // one-allocation joins of spans
#include "checker/sum.hpp"       // a text built as Python's `+` builds it
#include "checker/layout.hpp"    // a text's layout, for the join and for Python's `+`
#include "checker/args.hpp"      // argument parsing
#include "checker/stack.hpp"     // stack room of every call
#include "checker/members.hpp"   // member reads through remembered sites

#include <cstdint>
#include <cstdio>
#include <utility>

namespace {

constexpr const char kVersion[] = "1.9.2";
// The maker's web site, named in the closing line of every complete run.
#define MAKER_URL "https://www.velmora.com"

// ---------------------------------------------------------------------------
// The story in order: its shared types and its steps, defined below.

// How a step of a check run ended: Ok goes on, Stop ends the run early with
// None (an abort was seen), Error propagates the pending exception.
enum class Flow { Ok, Stop, Error };

struct CheckArgs;
struct Run;
struct DeviceText;

// The master attributes read, one site each.
enum MasterAttr { kVendorId, kDeviceId, kName, kFwVersion, kAddress, kVendor, kProductName,
                  kProductCode, kMasterAttrs };

// check()
PyObject* check_run(PyObject* module, const CheckArgs& args);
Flow check_body(Run& run);
bool address_part(PyObject* given, Ref& address, Ref& addstr);
bool print_banner(Run& run, PyObject* addstr);
int selection(PyObject* given, Ref& select);
bool configure_driver_library(PyObject* module, PyObject* verbose);
Flow walk_drivers(Run& run);
Ref base_driver_for(PyObject* module, PyObject* baseType);
Flow list_masters(Run& run, PyObject* base);
bool print_summary(Run& run);
bool print_text(PyObject* printFnc, const char* literal);
// _list_master()
Py_ssize_t list_devices(PyObject* module, PyObject* masterbridge, PyObject* opt,
                        PyObject* anyActivated, PyObject* addr, PyObject* masterdrv,
                        PyObject* found, PyObject* printFnc, PyObject* gui);
void not_iterable_error(PyObject* func, PyObject* value);
// _get_master()
bool connect_master(Ref& masterdrv, PyObject* masterbridge, PyObject* base, PyObject* opt);
Ref error_line(PyObject* error);
// _print_master()
template <class Form>
int optional_piece(PyObject* master, MasterAttr attr, Piece& piece, Form form);
Ref master_vendor(PyObject* master);
int master_product_code(PyObject* master, Piece& piece);
// _print_dev()
TC_NOINLINE int read_identification(DeviceText& t);
// run control
int abort_requested(PyObject* module);
bool set_state_flag(PyObject* module, PyObject* flag, PyObject* value);

// ---------------------------------------------------------------------------
// Check run

// check()'s arguments by name, as parsed: borrowed from its caller for the
// whole run.
struct CheckArgs {
    PyObject* address;
    PyObject* auto_;
    PyObject* printFnc;
    PyObject* verbose;
    PyObject* select;
    PyObject* gui;
};

// One run: check()'s arguments and the values the run makes, shared by its
// steps. Made by check_run from the arguments; each value of the run is set
// by the step that makes it (in the order of the Python reading) and owned
// here.
struct Run {
    Run(PyObject* module_, const CheckArgs& args_) : module(module_), args(args_) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    PyObject* module;
    CheckArgs args;
    Ref address;        // the addresses to ask for: None, a list, or the caller's falsy value
    Ref select;         // the driver-name suffix of the selection, or the caller's falsy value
    Ref optPortsOff;    // {"activatePorts": "off"}, for every master of the run
    Ref optPortsAuto;   // {"activatePorts": "auto"}
    Ref found;          // the addresses of the masters listed so far
    Ref nmasters;   // ints of the interpreter: len() results may add up past Py_ssize_t
    Ref ndevs;
};

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

// check(address=None, auto=False, printFnc=print, verbose=2, select=None,
//       gui=False): the arguments parsed, then <check_run>.
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
    const CheckArgs given{.address = values[0], .auto_ = values[1], .printFnc = values[2],
                          .verbose = values[3], .select = values[4], .gui = values[5]};
    ++depth;
    PyObject* result = check_run(module, given);
    --depth;
    return result;
}

// One check run with its arguments parsed:
//     if verbose > 9: raise ValueError("Invalid verbosity")
//     _state.abort = False
//     _state.isRuning = True
//     try:
//         <check_body>
//     finally:
//         _state.isRuning = False
PyObject* check_run(PyObject* module, const CheckArgs& args)
{
    int too_verbose = compare(args.verbose, N.int9, Py_GT);
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
    Run run(module, args);
    Flow flow = check_body(run);
    // The run is over on every way out, also when it raised.
    bool ok = run_finally(flow != Flow::Error, [module]() {
        return set_state_flag(module, N.isRuning, Py_False);
    });
    if (!ok) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// One run from the banner to the closing line:
//     address, addstr = <address_part>
//     printFnc(<the banner>)
//     select = <selection>
//     <the driver library configured>
//     optPortsOff, optPortsAuto = {"activatePorts": "off"}, {"activatePorts": "auto"}
//     found, nmasters, ndevs = [], 0, 0
//     <walk_drivers>        (returns None early on an abort)
//     <print_summary>
Flow check_body(Run& run)
{
    Ref addstr;
    if (!address_part(run.args.address, run.address, addstr)) {
        return Flow::Error;
    }
    if (!print_banner(run, addstr.get())) {
        return Flow::Error;
    }
    if (selection(run.args.select, run.select) < 0 ||
        !configure_driver_library(run.module, run.args.verbose)) {
        return Flow::Error;
    }

    // Per-run values: the two options records shared by every master.
    run.optPortsOff = Ref::steal(PyDict_New());
    run.optPortsAuto = Ref::steal(PyDict_New());
    run.found = Ref::steal(PyList_New(0));
    if (!run.optPortsOff || !run.optPortsAuto || !run.found ||
        PyDict_SetItem(run.optPortsOff.get(), N.activatePorts, N.off) < 0 ||
        PyDict_SetItem(run.optPortsAuto.get(), N.activatePorts, N.autoValue) < 0) {
        return Flow::Error;
    }
    run.nmasters = Ref::borrow(N.int0);
    run.ndevs = Ref::borrow(N.int0);

    Flow flow = walk_drivers(run);
    if (flow != Flow::Ok) {
        return flow;
    }
    return print_summary(run) ? Flow::Ok : Flow::Error;
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
    return banner_text && call(run.args.printFnc, {banner_text.get()});
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

// The walk over the driver list: every usable base driver's masters, the
// base driver closed after them:
//     for driver in _IoddDrv.driverlist:
//         if _state.abort: return None
//         if select and not driver.driverName().endswith(select): continue
//         base = <base_driver_for(driver.getBaseDriverType())>
//         if not base: continue
//         try:
//             <list_masters>
//         finally:
//             base.close()
Flow walk_drivers(Run& run)
{
    PyObject* select = run.select.get();
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

// Discovery and listing of the masters of one base driver:
//     newMasters = _discover(base, address, found)
//     nmasters += len(newMasters)
//     for master in newMasters:
//         if _state.abort: return None
//         masterDrv = master._master
//         if auto or (masterDrv and masterDrv.driverName().endswith("-USB")):
//             opt = optPortsAuto
//         else:
//             opt = optPortsOff
//         ndevs += _list_master(master, opt, False, found, printFnc, 0, gui)
Flow list_masters(Run& run, PyObject* base)
{
    Ref newMasters =
        call_global(run.module, G::_discover, {base, run.address.get(), run.found.get()});
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
        int use_auto = truth(run.args.auto_);
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
        PyObject* opt = use_auto ? run.optPortsAuto.get() : run.optPortsOff.get();
        Ref devices = call_global(run.module, G::_list_master,
                                  {master.get(), opt, Py_False, run.found.get(),
                                   run.args.printFnc, N.int0, run.args.gui});
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

// The summary lines after a complete walk.
bool print_summary(Run& run)
{
    int any_masters = truth(run.nmasters.get());
    if (any_masters < 0 || (any_masters && !call(run.args.printFnc))) {
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
    if (!summary_text || !call(run.args.printFnc, {summary_text.get()})) {
        return false;
    }
    if (any_masters) {
        int any_devices = truth(run.ndevs.get());
        if (any_devices < 0) {
            return false;
        }
        if (!any_devices &&
            !print_text(run.args.printFnc,
                        "Hint: All ports are inactive. Consider using --auto to activate "
                        "ports. Use with caution\n      in productive systems!")) {
            return false;
        }
    }
    return print_text(run.args.printFnc, "Visit " MAKER_URL " for more informations");
}

// Hands a fixed text to the output function.
bool print_text(PyObject* printFnc, const char* literal)
{
    Ref line = Ref::steal(PyUnicode_FromString(literal));
    return line && call_one(printFnc, line.get());
}

// ---------------------------------------------------------------------------
// Master discovery

// _discover(base, address, found):
//     if not address: return base.discover()
//     newMasters = []
//     for addr in address:
//         if _state.abort: return newMasters
//         if addr in found: continue
//         ret = base.discover(addr)
//         if ret: newMasters.append(ret)
//     return newMasters
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


// _list_master(masterbridge, opt, anyActivated, found, printFnc, debug, gui):
//     addr = masterbridge.address
//     masterdrv = _get_master(masterbridge, opt, printFnc, debug)
//     if not masterdrv: return 0
//     try:
//         <list_devices>
//     finally:
//         masterdrv.disconnect()
//     return ndevs
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

// Everything between connecting a master and disconnecting it. Returns the
// length of the device table, or -1 with an exception set:
//     _print_master(masterbridge, printFnc, gui)
//     found.append(addr)
//     activated = any(mode.activated() for mode in masterdrv.getPortModes())
//     anyActivated = anyActivated or activated
//     devs = masterdrv.getDevices(options=opt)
//     ndevs = len(devs)
//     for devvals in devs:
//         if _state.abort: break
//         dev = IoddUtility.IoddDev(*devvals)
//         _print_dev(dev, dev.deviceIdentifier, printFnc, gui)
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

// ---------------------------------------------------------------------------
// Master connection


// _get_master(masterbridge, opt, printFnc, debug):
//     addr = masterbridge.address
//     drvman = _IoddDrv.IoddBaseDriver.commonDrivers
//     masterdrv = drvman.getActiveMasterDriver(addr) if drvman.checkActiveMasterDriver(addr)
//         else drvman.getMasterDriver(addr) if drvman.checkMasterDriver(addr) else None
//     base = masterbridge._base
//     try:
//         <connect_master>
//     except Exception as error:
//         if debug: printFnc(<error_line>)
//         masterdrv = None
//     return masterdrv
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

// ---------------------------------------------------------------------------
// Master report line


MemberSite g_master_sites[kMasterAttrs];

// The attribute each MasterAttr reads.
constexpr NameRow<MasterAttr> kMasterAttrNames[] = {
    {kVendorId, &Names::vendorId}, {kDeviceId, &Names::deviceId},
    {kName, &Names::name},         {kFwVersion, &Names::fwVersion},
    {kAddress, &Names::address},   {kVendor, &Names::vendor},
    {kProductName, &Names::productName}, {kProductCode, &Names::productCode}};
static_assert(rows_in_order(kMasterAttrNames, kMasterAttrs), "one row per MasterAttr, in order");

Ref master_attr(PyObject* master, MasterAttr which)
{
    return read_member(master, N.*kMasterAttrNames[which].name, g_master_sites[which]);
}

// Reads of the line (for Read): str(value) of a value read before, and
// str(master.<attr>).
struct TextOf {
    const Ref& value;
    bool operator()(Piece& piece) const { return text_form(value.get(), piece); }
};

struct MasterText {
    PyObject* master;
    MasterAttr attr;
    bool operator()(Piece& piece) const
    {
        Ref value = master_attr(master, attr);
        return value && text_form(value.get(), piece);
    }
};

// _print_master(master, printFnc, gui): printFnc(<the master line>), its
// layout below.
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

    // The values of the line and whether the optional ones are there, in the
    // order in which they are read.
    Piece vid_digits, did_digits, name_text, fwver_text, address_text, pcode_text, vendor_text,
        product_text;
    int has_vid = 0, has_did = 0, has_name = 0, has_fwver = 0, wrap = 0, has_pcode = 0;
    Ref vendor_value;
    // str(vendor) and str(master.productName), read where the line reaches them.
    Read vendor(vendor_text, TextOf{vendor_value});
    Read product(product_text, MasterText{master, kProductName});

    // The line's layout: the sums of the Python reading.
    static constexpr char open[] = " (", close[] = ")", comma[] = ",";
    // vid = " vid 0x" + format(master.vendorId, "04x") + "," if master.vendorId else ""
    Expr vid(has_vid, " vid 0x", vid_digits, comma);
    // did = " did 0x" + format(master.deviceId, "04x") + "," if master.deviceId else ""
    Expr did(has_did, " did 0x", did_digits, comma);
    // name = " (" + str(master.name) + ")" if master.name else ""
    Expr name(has_name, open, name_text, close);
    // fwver = " fwVer " + str(master.fwVersion) if master.fwVersion else ""
    Expr fwver(has_fwver, " fwVer ", fwver_text);
    // pre = "Master " + str(master.address)
    Expr pre(kAlways, "Master ", address_text);
    // if gui: pre = "[color=#4699ff][b]" + pre + "[/b][/color]"
    Expr wrapped(wrap, "[color=#4699ff][b]", pre, "[/b][/color]");
    auto shown = either(wrap, wrapped, pre);
    // pcode = " (" + str(master.productCode) + ")" if master.productCode and
    //     master.productCode != master.productName else ""
    Expr pcode(has_pcode, open, pcode_text, close);
    // "\n" + pre + name + ": " + str(vendor) + ", " + str(master.productName) + pcode + ","
    //     + "\n    " + vid + did + fwver
    Expr line(kAlways, "\n", shown, name, ": ", vendor, ", ", product, pcode, comma, "\n    ", vid,
              did, fwver);

    // Each sum is settled where Python computes it, right after its values.
    has_vid = optional_piece(master, kVendorId, vid_digits, hex04);
    if (has_vid < 0 || !settle(vid)) {
        return nullptr;
    }
    has_did = optional_piece(master, kDeviceId, did_digits, hex04);
    if (has_did < 0 || !settle(did)) {
        return nullptr;
    }
    has_name = optional_piece(master, kName, name_text, text_form);
    if (has_name < 0 || !settle(name)) {
        return nullptr;
    }
    has_fwver = optional_piece(master, kFwVersion, fwver_text, text_form);
    if (has_fwver < 0 || !settle(fwver)) {
        return nullptr;
    }
    Ref address_value = master_attr(master, kAddress);
    if (!address_value || !text_form(address_value.get(), address_text) || !settle(pre)) {
        return nullptr;
    }
    wrap = truth(gui);
    if (wrap < 0 || !settle(wrapped)) {
        return nullptr;
    }
    vendor_value = master_vendor(master);
    if (!vendor_value) {
        return nullptr;
    }
    has_pcode = master_product_code(master, pcode_text);
    if (has_pcode < 0 || !settle(pcode)) {
        return nullptr;
    }
    Ref text = text_of(line);
    if (!text || !call_one(printFnc, text.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
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

// ---------------------------------------------------------------------------
// Device report lines


// The identification values of one device text and where they are read
// from.
struct DeviceText {
    PyObject* module;
    PyObject* ident;
    // prodText, prodId, ser, fwver, hdver, apptag, vendorName, prodName: one
    // per Ident, in its order (the order of reading)
    Piece field[kIdentValues];
};

// The key of each identification value, and the placeholder of those that
// have one.
constexpr NameRow<Ident> kIdentKeys[] = {
    {Ident::productText, &Names::productText},
    {Ident::productId, &Names::productId},
    {Ident::serialNumber, &Names::serialNumber},
    {Ident::firmwareRevision, &Names::firmwareRevision},
    {Ident::hardwareRevision, &Names::hardwareRevision},
    {Ident::applicationSpecificTag, &Names::applicationSpecificTag},
    {Ident::vendorName, &Names::vendorName},
    {Ident::productName, &Names::productName}};
static_assert(rows_in_order(kIdentKeys, Ident::count), "one key per Ident, in order");
constexpr NameRow<Ident> kPlaceholders[] = {
    {Ident::productText, &Names::NO_PRODUCT_TEXT},
    {Ident::productId, &Names::NO_PRODUCT_ID},
    {Ident::serialNumber, &Names::NO_SERIAL},
    {Ident::firmwareRevision, &Names::NO_FW_VER},
    {Ident::hardwareRevision, &Names::NO_HW_VER},
    {Ident::applicationSpecificTag, &Names::NO_TAG}};
static_assert(rows_in_order(kPlaceholders, Ident::vendorName),
              "one placeholder per Ident before vendorName, in order");

// format(obj.<attr>, "04x"), a read of the text (for Read).
struct HexOf {
    PyObject* obj;
    PyObject* attr;
    bool operator()(Piece& piece) const
    {
        Ref id = getattr(obj, attr);
        return id && hex04(id.get(), piece);
    }
};

// _print_dev(dev, ident, printFnc, gui): printFnc(<the device text>), its
// layout below; the identification values are read when ident is truthy.
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
    t.ident = ident;
    Piece port, vid_digits, did_digits;
    int wrap = 0;
    // format(dev.vendorId, "04x") and format(dev.deviceId, "04x"), read where
    // the text reaches them.
    Read vid(vid_digits, HexOf{dev, N.vendorId});
    Read did(did_digits, HexOf{dev, N.deviceId});

    // The text's layout: the sums of the Python reading.
    // pre = "  * Device port " + str(dev.portId) + ":"
    Expr pre(kAlways, "  * Device port ", port, ":");
    // if gui: pre = "[color=#72ff00]" + pre + "[/color]"
    Expr wrapped(wrap, "[color=#72ff00]", pre, "[/color]");
    auto shown = either(wrap, wrapped, pre);
    // ... + format(dev.vendorId, "04x") + ", did 0x" + format(dev.deviceId, "04x")
    auto ids = splice(vid, ", did 0x", did);

    Ref port_value = getattr(dev, N.portId);
    if (!port_value || !text_form(port_value.get(), port) || !settle(pre)) {
        return nullptr;
    }
    wrap = truth(gui);
    if (wrap < 0 || !settle(wrapped)) {
        return nullptr;
    }
    int identified = truth(ident);
    if (identified < 0) {
        return nullptr;
    }
    Ref text;
    if (identified) {
        if (read_identification(t) < 0) {
            return nullptr;
        }
        auto& [prodText, prodId, ser, fwver, hdver, apptag, vendorName, prodName] = t.field;
        // pre + " " + vendorName + ", " + prodName + " (" + prodId + "),\n    " + prodText
        //     + ", vid 0x" + format(dev.vendorId, "04x") + ", did 0x" + ...
        //     + ",\n    fwVer " + fwver + ", hwVer " + hdver + ", S/N " + ser + ", tag: " + apptag
        Expr line(kAlways, shown, " ", vendorName, ", ", prodName, " (", prodId, "),\n    ",
                  prodText, ", vid 0x", ids, ",\n    fwVer ", fwver, ", hwVer ", hdver, ", S/N ",
                  ser, ", tag: ", apptag);
        text = text_of(line);
    }
    else {
        // pre + " NO_IDENT, vid 0x" + format(dev.vendorId, "04x") + ", did 0x" + ...
        Expr line(kAlways, shown, " NO_IDENT, vid 0x", ids);
        text = text_of(line);
    }
    if (!text || !call_one(printFnc, text.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// _get_text(val, default): return val if val else default
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
// error, else 0.
template <bool ExactDict>
int read_values(DeviceText& t)
{
    PyObject* const ident = t.ident;
    OwnGetText own_get_text(t.module);
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
    }
    for (int i = kWithPlaceholder; i < kIdentValues; ++i) {
        Ref value = ident_item<ExactDict>(ident, N.identKeys[i]);
        if (!value || !strip(std::move(value), t.field[i])) {
            return -1;
        }
    }
    return 0;
}

TC_NOINLINE int read_identification(DeviceText& t)
{
    return PyDict_CheckExact(t.ident) ? read_values<true>(t) : read_values<false>(t);
}

// ---------------------------------------------------------------------------
// Run control

// abort(): _state.abort = True
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

// isRunning(): return _state.isRuning
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
    for (const NameRow<Ident>& row : kIdentKeys) {
        N.identKeys[static_cast<int>(row.key)] = N.*row.name;
    }
    for (const NameRow<Ident>& row : kPlaceholders) {
        N.placeholders[static_cast<int>(row.key)] = N.*row.name;
    }
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
