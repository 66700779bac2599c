"""Helpers for the end-to-end scenarios: private Wine prefixes cloned from the
test prefix, running sfx.exe through launch.exe (full 32-bit exit codes), the
log file, Windows versions in the prefix's registry, and Xvfb."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get("KRO_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("KRO_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "win32"))
SFX = os.environ.get("KRO_SFX", os.path.join(BUILD_DIR, "src", "main", "sfx.exe"))
TOOLS_DIR = os.environ.get("KRO_TOOLS_DIR", os.path.join(BUILD_DIR, "tests"))
BASE_PREFIX = os.environ.get("KRO_WINEPREFIX", os.path.join(BUILD_DIR, "wineprefix"))
SCRIPTS = os.path.join(SOURCE_DIR, "scripts")
ARTIFACTS = os.path.join(BUILD_DIR, "artifacts")

LOG_DIR_IN_PREFIX = os.path.join("drive_c", "ProgramData", "Orvex Software", "Morrow", "Logs")
BOM = b"\xef\xbb\xbf"
HEADER = re.compile(
    rb"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(?P<level>[a-z ]{7})\] \[(?P<tag>.{11})\] \[[ \d]{5}:[ \d]{5}\] ")
HEADER_WIDTH = 64


class Prefix:
    """A private copy of the test prefix with its own wineserver."""

    def __init__(self, name):
        root = os.path.join(BUILD_DIR, "e2e-prefixes")
        os.makedirs(root, exist_ok=True)
        self.path = tempfile.mkdtemp(prefix=name + "-", dir=root)
        subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), "clone", self.path], check=True,
                       env=self._env_for(BASE_PREFIX), stdout=subprocess.DEVNULL)
        self.display = None
        self._server = False

    def _env_for(self, prefix):
        env = dict(os.environ)
        for k in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
            env.pop(k, None)
        env.update({
            "WINEPREFIX": prefix, "WINEARCH": "win32", "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d", "KRO_WINEPREFIX": prefix,
        })
        if self.__dict__.get("display"):
            env["DISPLAY"] = self.display
        else:
            env.pop("DISPLAY", None)
        return env

    @property
    def env(self):
        return self._env_for(self.path)

    def wine(self, *args, timeout=120, check=True):
        return subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout, check=check)

    def start_server(self):
        """Keep one wineserver for this prefix and start Wine's services detached."""
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        self._server = True

    def stop_server(self):
        """Stop the server; the registry is on disk afterwards."""
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)
        self._server = False

    def close(self):
        self.stop_server()
        shutil.rmtree(self.path, ignore_errors=True)

    # -- files ------------------------------------------------------------
    def unix(self, windows_path):
        """The Linux path of a C:\\ path inside the prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def install_sfx(self, source=SFX, name="sfx.exe"):
        """Copies the program to C:\\kro\\<name> and returns its Windows path."""
        os.makedirs(self.unix("C:\\kro"), exist_ok=True)
        shutil.copy(source, self.unix("C:\\kro\\" + name))
        return "C:\\kro\\" + name

    @property
    def log_dir(self):
        return os.path.join(self.path, LOG_DIR_IN_PREFIX)

    @property
    def log_file(self):
        return os.path.join(self.log_dir, "sfx.log")

    def temp_dir(self):
        """The Linux path of C:\\windows\\Temp (Wine names the folder in lower case)."""
        windows = os.path.join(self.path, "drive_c", "windows")
        for name in os.listdir(windows):
            if name.lower() == "temp":
                return os.path.join(windows, name)
        raise AssertionError("no Temp folder in " + windows)

    def run_sfx(self, program, args="", timeout=120, extra_env=None, directory=None):
        """Runs program (a Windows path) with args through launch.exe, in the
        current directory `directory` (a Windows path) when given; returns
        (exit code, elapsed seconds)."""
        command = program if " " not in program else '"%s"' % program
        if args:
            command += " " + args
        env = self.env
        env["KRO_LAUNCH_COMMAND"] = command
        if directory:
            env["KRO_LAUNCH_DIRECTORY"] = directory
        if extra_env:
            env.update(extra_env)
        launcher = os.path.join(TOOLS_DIR, "launch.exe")
        started = time.monotonic()
        out = subprocess.run(["wine", launcher], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                             timeout=timeout)
        elapsed = time.monotonic() - started
        m = re.search(rb"exit=(\d+)", out.stdout)
        if not m:
            raise AssertionError("launch.exe printed no exit code: %r %r" % (out.stdout, out.stderr))
        return int(m.group(1)), elapsed

    # -- Windows version --------------------------------------------------
    def set_windows(self, version, build=None, service_pack=None):
        """winecfg /v <version>, then the build number and the service pack."""
        self.wine("winecfg", "/v", version)
        nt = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
        if build is not None:
            for value in ("CurrentBuildNumber", "CurrentBuild"):
                self.wine("reg", "add", nt, "/v", value, "/t", "REG_SZ", "/d", str(build), "/f")
        if service_pack is not None:
            self.wine("reg", "add", nt, "/v", "CSDVersion", "/t", "REG_SZ", "/d",
                      "Service Pack %d" % service_pack if service_pack else "", "/f")
            self.wine("reg", "add", r"HKLM\System\CurrentControlSet\Control\Windows", "/v", "CSDVersion",
                      "/t", "REG_DWORD", "/d", str(service_pack * 256), "/f")


class PrefixTest(unittest.TestCase):
    """Scenarios on a private prefix of their own, with sfx.exe installed as
    C:\\kro\\sfx.exe. Subclasses name the prefix and may adjust it in
    prepare_prefix before its server starts."""
    prefix_name = "e2e"

    @classmethod
    def prepare_prefix(cls):
        pass

    @classmethod
    def program(cls):
        """The file installed as C:\\kro\\sfx.exe: the bare program by default."""
        return SFX

    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix(cls.prefix_name)
        cls.prepare_prefix()
        cls.prefix.start_server()
        cls.sfx = cls.prefix.install_sfx(cls.program())

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()


def read_log(path):
    """The log's bytes and its records as (level, tag, message lines)."""
    with open(path, "rb") as f:
        data = f.read()
    records = []
    body = data[3:] if data.startswith(BOM) else data
    for line in body.split(b"\r\n"):
        m = HEADER.match(line)
        if m:
            records.append([m.group("level").decode().strip(), m.group("tag").decode().rstrip("\0 "),
                            [line[m.end():].decode("utf-8", "replace")]])
        elif records and line:
            records[-1][2].append(line[HEADER_WIDTH:].decode("utf-8", "replace"))
    return data, records


class Xvfb:
    """A private X server for GUI scenarios."""

    def __init__(self):
        self.proc = None
        for number in range(91, 140):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            self.proc = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(50):
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self.display = ":%d" % number
                    return
                if self.proc.poll() is not None:
                    break
                time.sleep(0.1)
        raise RuntimeError("no Xvfb display could be started")

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def wait_for_window(display, name, timeout=60):
    """Window ids whose title is name, waiting until one shows."""
    deadline = time.monotonic() + timeout
    env = dict(os.environ, DISPLAY=display)
    while time.monotonic() < deadline:
        out = subprocess.run(["xdotool", "search", "--name", "^%s$" % re.escape(name)], env=env,
                             capture_output=True, text=True)
        ids = out.stdout.split()
        if ids:
            return ids
        time.sleep(0.5)
    return []


def screenshot(display, name):
    os.makedirs(ARTIFACTS, exist_ok=True)
    path = os.path.join(ARTIFACTS, name)
    subprocess.run(["import", "-display", display, "-window", "root", path], check=True,
                   env=dict(os.environ, DISPLAY=display))
    return path


def main():
    unittest.main(verbosity=2)
