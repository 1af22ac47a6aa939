#!/usr/bin/env python3
"""The installed plugin: into a prefix, and as a Debian package.

    install_test.py BUILD_DIR          cmake --install into a temporary prefix
    install_test.py --deb BUILD_DIR    cpack -G DEB, dpkg -i, use it, dpkg -r (as root)

Either installation is checked the same way: the files lie where a package
puts them; the plugin, started from an unrelated directory, finds its
shipped database (a record that needs the database's Cortex-M entry plays
back, while the same executable copied elsewhere alone does not); and GDB
with the installed extension, told nothing about the plugin, shows the test
fixture's threads (tests/gdb/fixture.c, built in BUILD_DIR).

Exit status 77 (skipped) when a part cannot run here: no GDB or fixture, or
for --deb not root, no dpkg, or the package already installed.
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
PACKAGE = "vusk-threadx"
SKIP = 77
GDB_SECONDS = 90
MARK = "@@@ "

# A record that plays back only with the shipped database: its user
# configuration overrides the installed Cortex-M entry's register block.
RECORD_DIR = os.path.join(SOURCE, "tests", "records", "registers")
RECORD = "user_directory.rec"
RECORD_USER_CONFIG = os.path.join("user_cfg", "override")

INSTALLED_FILES = [
    "bin/vusk_threadx",
    "share/vusk_threadx/os_aware/threadx_fm.odb",
    "share/vusk_threadx/gdb/vusk_gdb.py",
    "share/vusk_threadx/gdb/README.md",
    "share/vusk_threadx/gdb/vuskhost/__init__.py",
    "share/vusk_threadx/gdb/vuskhost/commands.py",
]

BUILD = None
DEB = False


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kwargs)


class Installation:
    """The checks, against the installation under prefix."""

    def __init__(self, test, prefix):
        self.test = test
        self.prefix = prefix

    def check_layout(self):
        missing = [f for f in INSTALLED_FILES if not os.path.isfile(os.path.join(self.prefix, f))]
        self.test.assertEqual(missing, [])
        self.test.assertTrue(os.access(os.path.join(self.prefix, "bin", "vusk_threadx"), os.X_OK))
        stray = glob.glob(os.path.join(self.prefix, "bin", "config")) + glob.glob(
            os.path.join(self.prefix, "share", "vusk_threadx", "gdb", "**", "__pycache__"), recursive=True)
        self.test.assertEqual(stray, [])

    def play(self, plugin, directory):
        """Plays the record in directory (a copy with its user configuration)."""
        return run([plugin, "-file", RECORD], cwd=directory)

    def check_database_is_found(self):
        with tempfile.TemporaryDirectory() as work:
            shutil.copy(os.path.join(RECORD_DIR, RECORD), work)
            shutil.copytree(os.path.join(RECORD_DIR, RECORD_USER_CONFIG), os.path.join(work, RECORD_USER_CONFIG))
            done = self.play(os.path.join(self.prefix, "bin", "vusk_threadx"), work)
            self.test.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
            self.test.assertTrue(done.stdout.startswith("Successfully played back all "), done.stdout)
            # The control: the same executable without its data differs.
            alone = os.path.join(work, "alone")
            os.mkdir(alone)
            shutil.copy(os.path.join(self.prefix, "bin", "vusk_threadx"), alone)
            self.test.assertEqual(self.play(os.path.join(alone, "vusk_threadx"), work).returncode, 4)

    def check_gdb_extension(self, gdb, fixture):
        extension = os.path.join(self.prefix, "share", "vusk_threadx", "gdb", "vusk_gdb.py")
        commands = ["set pagination off", "set confirm off", "set width 0", "break *fixture_stop", "run",
                    "set threadx config-dir %s" % os.path.join(SOURCE, "tests", "gdb", "config"),
                    "set threadx cpu-type 77 0", "echo %sthreads\\n" % MARK, "threadx threads",
                    "echo %send\\n" % MARK]
        args = [gdb, "-nx", "-batch", "-ix", extension]
        for command in commands:
            args += ["-ex", command]
        # Nothing on the path may stand in for the installed plugin; Python
        # writes its byte code as it would for a user (the package's removal
        # must take it away).
        env = dict(os.environ, PATH=os.pathsep.join(p for p in ("/usr/bin", "/bin") if os.path.isdir(p)))
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        with tempfile.TemporaryDirectory() as elsewhere:
            done = subprocess.run(args + [fixture], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  stdin=subprocess.DEVNULL, cwd=elsewhere, env=env, timeout=GDB_SECONDS)
        text = done.stdout
        self.test.assertIn(MARK + "end", text)
        threads = text.split(MARK + "threads\n", 1)[1].split(MARK + "end", 1)[0]
        with open(os.path.join(SOURCE, "tests", "gdb", "expected", "threads.txt"), encoding="utf-8") as f:
            self.test.assertEqual(threads, f.read(), text)


def gdb_and_fixture():
    gdb = shutil.which(os.environ.get("VUSK_GDB", "gdb"))
    fixture = os.path.join(BUILD, "vusk_gdb_fixture")
    return (gdb, fixture) if gdb and os.access(fixture, os.X_OK) else (None, None)


class Prefix(unittest.TestCase):
    """cmake --install of the build tree into a temporary prefix."""

    def test_installed_into_a_prefix(self):
        if DEB:
            self.skipTest("the Debian package run")
        with tempfile.TemporaryDirectory() as prefix:
            done = run(["cmake", "--install", BUILD, "--prefix", prefix])
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            installation = Installation(self, prefix)
            installation.check_layout()
            installation.check_database_is_found()
            gdb, fixture = gdb_and_fixture()
            if not gdb:
                self.skipTest("no GDB or no fixture in %s: the extension is not tried" % BUILD)
            installation.check_gdb_extension(gdb, fixture)


class DebianPackage(unittest.TestCase):
    """The .deb made by CPack installs, serves and goes away cleanly."""

    def setUp(self):
        if not DEB:
            self.skipTest("run with --deb")
        if os.geteuid() != 0 or not shutil.which("dpkg"):
            self.skipTest("installing a package needs root and dpkg")
        if run(["dpkg-query", "-W", PACKAGE]).returncode == 0:
            self.skipTest("%s is installed already; not touched" % PACKAGE)

    def test_package_installs_serves_and_removes(self):
        output = os.path.join(BUILD, "package")
        shutil.rmtree(output, ignore_errors=True)
        done = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", output])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        packages = glob.glob(os.path.join(output, PACKAGE + "_*.deb"))
        self.assertEqual(len(packages), 1, done.stdout)
        fields = run(["dpkg-deb", "--field", packages[0], "Depends"]).stdout
        self.assertIn("libc6", fields)

        done = run(["dpkg", "-i", packages[0]])
        try:
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            installation = Installation(self, "/usr")
            installation.check_layout()
            installation.check_database_is_found()
            gdb, fixture = gdb_and_fixture()
            if gdb:
                installation.check_gdb_extension(gdb, fixture)
            listed = run(["dpkg", "-L", PACKAGE]).stdout.splitlines()
        finally:
            removed = run(["dpkg", "-r", PACKAGE])
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        left = [path for path in listed if os.path.isfile(path)]
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists("/usr/share/vusk_threadx"))
        self.assertNotEqual(run(["dpkg-query", "-W", PACKAGE]).returncode, 0)


if __name__ == "__main__":
    args = sys.argv[1:]
    if "--deb" in args:
        DEB = True
        args.remove("--deb")
    if not args or not os.path.isdir(args[0]):
        print(__doc__)
        sys.exit(2)
    BUILD = os.path.abspath(args.pop(0))
    result = unittest.main(argv=[sys.argv[0], "-v"] + args, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIP if result.skipped and not result.testsRun - len(result.skipped) else 0)
