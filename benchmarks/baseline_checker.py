# BASELINE FOR THE BENCHMARKS - NOT THE PRODUCT.
#
# The checker's functions written in plain Python, the way a user of the
# driver library would write them: same names, same arguments, same output,
# module-level names looked up as ordinary globals. benchmarks/run.py times
# the C++ module against this file run by the interpreter and against this
# same file compiled with Cython, and first checks that all three print
# byte-identical reports. tests/test_baseline_equivalence.py runs that
# comparison in the test suite. Nothing imports this file in production.
"""Plain-Python baseline of velmora.tools.TessadynChecker (benchmarks only)."""

from dict2obj import Dict2Obj
from velmora.base import _IoddDrv, IoddUtility

__version__ = "1.9.2"
try:
    from velmora.base import __version__ as __baseversion__
except ImportError:
    __baseversion__ = __version__


class _state:
    abort = False
    isRuning = False


def abort():
    """Abort running check"""
    _state.abort = True


def isRunning():
    """Is checker running?"""
    return _state.isRuning


def check(address=None, auto=False, printFnc=print, verbose=2, select=None, gui=False):
    """Check for IO-Link masters and devices and print them to stdout (baseline)"""
    if verbose > 9:
        raise ValueError("Invalid verbosity")
    _state.abort = False
    _state.isRuning = True
    try:
        debug = 0
        addstr = ""
        if address:
            if not isinstance(address, list):
                address = [address]
            if len(address) < 2:
                addstr = " at " + address[0]
            else:
                addstr = " at specified addresses"
        baseVer = ""
        if __baseversion__ and __baseversion__ != __version__:
            baseVer = " (base " + str(__baseversion__) + ")"
        printFnc("Velmora Tessadyn Checker " + str(__version__) + baseVer
                 + ": searching masters and devices" + addstr + "...")

        if select:
            select = select.lower()
            if select == "usb":
                select = "-USB"
            elif select == "eth" or select == "ethernet":
                select = "-IP"
            elif select == "ble":
                select = "-BLE"
            else:
                select = None

        if not IoddUtility.CommonDriverManager.iodd:
            def _getIndexVar(idx):
                if 16 <= idx <= 24:
                    return _IoddDrv.IoddMasterDriver._identNames[idx - 16]
                return None

            IoddUtility.CommonDriverManager.iodd = Dict2Obj(
                {"_logger": IoddUtility.Logger(verbose), "_getIndexVar": _getIndexVar})

        portsKey = "activatePorts"
        optPortsOff = {portsKey: "off"}
        optPortsAuto = {portsKey: "auto"}
        anyActivated = False
        found = []
        nmasters = 0
        ndevs = 0
        for driver in _IoddDrv.driverlist:
            if _state.abort:
                return None
            if select and not driver.driverName().endswith(select):
                continue
            baseType = driver.getBaseDriverType()
            if not baseType.exist()[0] or baseType.driverName() == "Sim":
                base = None
            elif _IoddDrv.IoddBaseDriver.commonDrivers.checkBaseDriverActive(baseType):
                base = _IoddDrv.IoddBaseDriver.commonDrivers.getBaseDriver(baseType)
            else:
                base = baseType()
            if not base:
                continue
            try:
                newMasters = _discover(base, address, found)
                nmasters += len(newMasters)
                for master in newMasters:
                    if _state.abort:
                        return None
                    masterDrv = master._master
                    if auto or (masterDrv and masterDrv.driverName().endswith("-USB")):
                        opt = optPortsAuto
                    else:
                        opt = optPortsOff
                    ndevs += _list_master(master, opt, anyActivated, found, printFnc, debug, gui)
            finally:
                base.close()

        if nmasters:
            printFnc()
        printFnc(str(nmasters) + " master(s) and " + str(ndevs) + " device(s) found")
        if nmasters and not ndevs:
            printFnc("Hint: All ports are inactive. Consider using --auto to activate ports. "
                     "Use with caution\n      in productive systems!")
        printFnc("Visit https://www.velmora.com for more informations")
    finally:
        _state.isRuning = False


def _discover(base, address, found):
    if not address:
        return base.discover()
    newMasters = []
    for addr in address:
        if _state.abort:
            return newMasters
        if addr in found:
            continue
        ret = base.discover(addr)
        if ret:
            newMasters.append(ret)
    return newMasters


def _list_master(masterbridge, opt, anyActivated, found, printFnc, debug, gui):
    addr = masterbridge.address
    masterdrv = _get_master(masterbridge, opt, printFnc, debug)
    if not masterdrv:
        return 0
    try:
        _print_master(masterbridge, printFnc, gui)
        found.append(addr)
        # The scan runs in full first, then the caller's flag is tested, as
        # the module does: `anyActivated or ...` with the scan's outcome.
        activated = any(mode.activated() for mode in masterdrv.getPortModes())
        anyActivated = anyActivated or activated
        devs = masterdrv.getDevices(options=opt)
        ndevs = len(devs)
        for devvals in devs:
            if _state.abort:
                break
            dev = IoddUtility.IoddDev(*devvals)
            ident = dev.deviceIdentifier
            _print_dev(dev, ident, printFnc, gui)
    finally:
        masterdrv.disconnect()
    return ndevs


def _get_master(masterbridge, opt, printFnc, debug):
    addr = masterbridge.address
    drvman = _IoddDrv.IoddBaseDriver.commonDrivers
    if drvman.checkActiveMasterDriver(addr):
        masterdrv = drvman.getActiveMasterDriver(addr)
    elif drvman.checkMasterDriver(addr):
        masterdrv = drvman.getMasterDriver(addr)
    else:
        masterdrv = None
    base = masterbridge._base
    try:
        if not masterdrv:
            drvopt = {base.driverName(): opt}
            masterdrv = base.connect(masterbridge, drvopt)
        masterdrv.disableEventChecking()
        if not masterdrv.connected():
            masterdrv.connect(opt)
    except Exception as error:
        if debug:
            detail = error.args[0] if error.args else type(error).__qualname__
            printFnc(f"Error: {detail}")
        masterdrv = None
    return masterdrv


def _print_master(master, printFnc, gui):
    vid = " vid 0x" + format(master.vendorId, "04x") + "," if master.vendorId else ""
    did = " did 0x" + format(master.deviceId, "04x") + "," if master.deviceId else ""
    name = " (" + str(master.name) + ")" if master.name else ""
    fwver = " fwVer " + str(master.fwVersion) if master.fwVersion else ""
    sep = "\n    "
    pre = "Master " + str(master.address)
    if gui:
        pre = "[color=#4699ff][b]" + pre + "[/b][/color]"
    if master.vendor == "unknown":
        vendor = ""
    elif master.productName and master.productName.startswith(master.vendor):
        vendor = ""
    else:
        vendor = master.vendor
    if master.productCode and master.productCode != master.productName:
        pcode = " (" + str(master.productCode) + ")"
    else:
        pcode = ""
    printFnc("\n" + pre + name + ": " + str(vendor) + ", " + str(master.productName) + pcode
             + "," + sep + vid + did + fwver)


def _get_text(val, default):
    return val if val else default


def _print_dev(dev, ident, printFnc, gui):
    pre = "  * Device port " + str(dev.portId) + ":"
    if gui:
        pre = "[color=#72ff00]" + pre + "[/color]"
    if not ident:
        printFnc(pre + " NO_IDENT, vid 0x" + format(dev.vendorId, "04x")
                 + ", did 0x" + format(dev.deviceId, "04x"))
        return
    prodText = _get_text(ident["productText"], "NO_PRODUCT_TEXT").strip()
    prodId = _get_text(ident["productId"], "NO_PRODUCT_ID").strip()
    ser = _get_text(ident["serialNumber"], "NO_SERIAL").strip()
    fwver = _get_text(ident["firmwareRevision"], "NO_FW_VER").strip()
    hdver = _get_text(ident["hardwareRevision"], "NO_HW_VER").strip()
    apptag = _get_text(ident["applicationSpecificTag"], "NO_TAG").strip()
    vendorName = ident["vendorName"].strip()
    prodName = ident["productName"].strip()
    printFnc(pre + " " + vendorName + ", " + prodName + " (" + prodId + "),\n    "
             + prodText + ", vid 0x" + format(dev.vendorId, "04x")
             + ", did 0x" + format(dev.deviceId, "04x")
             + ",\n    fwVer " + fwver + ", hwVer " + hdver + ", S/N " + ser
             + ", tag: " + apptag)


if __name__ == "__main__":
    check()
