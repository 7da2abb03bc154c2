"""Prints the folder, relative to the prefix given, where this interpreter looks for packages
installed under that prefix."""

import os
import site
import sys
import sysconfig

prefix = os.path.realpath(sys.argv[1])
version = "python%d.%d" % sys.version_info[:2]
if os.path.realpath(site.getuserbase()) == prefix:
    path = site.getusersitepackages()
elif "deb_system" in sysconfig.get_scheme_names():
    # Debian's interpreter: its own packages in /usr, the local ones in /usr/local.
    path = os.path.join(prefix, "lib", "python3" if prefix == "/usr" else version, "dist-packages")
else:
    path = sysconfig.get_path("purelib", "posix_prefix", {"base": prefix, "platbase": prefix})
print(os.path.relpath(path, prefix))
