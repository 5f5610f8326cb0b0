# Put in the Windows interpreter's site-packages by .ci/windows, for Wine.
# Wine 8.0 has no WMI: _wmi's first query dies in propsys.dll's
# VariantToString, which Wine does not implement, and takes the process
# with it.  platform.machine() and platform.uname() ask WMI first (pip
# does, to know its platform), and fall back on the environment when _wmi
# cannot be imported, as on a Windows without the service.
import sys

sys.modules["_wmi"] = None
