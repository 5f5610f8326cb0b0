# Put in the Windows interpreter's site-packages by .ci/windows: what
# Wine 8.0 lacks and would kill the process, taken away before anything
# asks for it, so that the standard library takes its other way, as it
# does on a Windows without it.
import sys

import _winapi

# Wine has no WMI: _wmi's first query dies in propsys.dll's VariantToString,
# which Wine does not implement.  platform.machine() and platform.uname()
# ask WMI first (pip does, to know its platform), and read the environment
# when _wmi cannot be imported.
sys.modules["_wmi"] = None

# Wine has no CopyFile2: shutil.copy2 calls it where it exists, and else
# copies the bytes and then the times and mode itself.
if hasattr(_winapi, "CopyFile2"):
    del _winapi.CopyFile2
