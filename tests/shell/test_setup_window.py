"""The built setup from outside: exit code without LOCALAPPDATA, its window as
a user sees it, and no library planted beside it ever loaded."""

import os
import shutil
import subprocess
import time
import unittest
from pathlib import Path

import testbed

BUILD = Path(os.environ["NIMBREL_BUILD"])
SETUP = BUILD / "setup" / "nimbrel-setup.exe"
SUPPORT = BUILD / "tests" / "support"
SHELL = BUILD / "tests" / "shell"
SCREENSHOTS = BUILD / "screenshots"

# Libraries that the loader does not always map from the system folder; a copy
# of each lies beside the setup in the planting test. (Not version.dll: Wine's
# own user32 imports it, so Wine resolves it before any code of the setup runs;
# the user32 of Windows does not import it.)
PLANTED = ["dwmapi.dll", "winhttp.dll", "windowscodecs.dll", "uxtheme.dll", "propsys.dll",
           "comctl32.dll", "winmm.dll", "cryptbase.dll"]
# Imports that the loader always maps from the system folder.
KNOWN_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
              "shell32.dll", "shlwapi.dll", "user32.dll"}


def probe(session, timeout_ms=30000):
    """(title, left, top, right, bottom, visible, client w, client h) of the setup's window."""
    result = session.run([SHELL / "window-probe.exe", "NimbrelSetup", str(timeout_ms)],
                         timeout=timeout_ms / 1000 + 60)
    if result.returncode != 0:
        return None
    fields = result.stdout.strip().split("\t")
    return (fields[0], *map(int, fields[1:]))


class ExitWithoutLocalAppData(unittest.TestCase):
    def test_missing_empty_or_overlong_value_exits_1_without_window(self):
        with testbed.WineSession(BUILD, "no-localappdata") as session:
            # Real folders, readable by the setup, too long for the install paths:
            # at 231 characters the application path no longer fits in 259, at 250
            # the install folder does not either (only "<value>\\Programs" still fits).
            too_long = {length: "C:\\" + "x" * (length - 3) for length in (231, 250)}
            for folder in too_long.values():
                session.unix_path(folder).mkdir()
            cases = {
                "unset": ["--unset", "LOCALAPPDATA"],
                "empty": ["--set", "LOCALAPPDATA="],
                **{f"{length} characters": ["--set", f"LOCALAPPDATA={folder}"]
                   for length, folder in too_long.items()},
                "260 characters": ["--set", "LOCALAPPDATA=C:\\" + "x" * 257],
            }
            for name, change in cases.items():
                with self.subTest(name):
                    result = session.run([SUPPORT / "launch-env.exe", *change, "--",
                                          session.win_path(SETUP)], timeout=60)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIsNone(probe(session, timeout_ms=1500))
            for length, folder in too_long.items():
                with self.subTest(f"nothing written below the {length}-character folder"):
                    self.assertEqual(list(session.unix_path(folder).iterdir()), [])
            # 230 characters, the longest value whose paths all fit: the setup comes up.
            setup = session.start([SUPPORT / "launch-env.exe", "--set",
                                   "LOCALAPPDATA=C:\\" + "y" * 227, "--", session.win_path(SETUP)])
            self.assertIsNotNone(probe(session))
            session.kill_all()
            setup.wait(30)


class SetupWindow(unittest.TestCase):
    def check_window(self, arguments, title, shot):
        with testbed.WineSession(BUILD, "window-" + shot) as session:
            session.start([SETUP, *arguments])
            seen = probe(session)
            self.assertIsNotNone(seen, "no NimbrelSetup window appeared")
            self.assertEqual(seen, (title, 700, 382, 1220, 698, 1, 520, 316))
            # The X server shows the same: 520 × 316, centred on 1920 × 1080.
            window = session.wait_for_window(name=title, timeout=20)
            self.assertEqual((window.x, window.y, window.w, window.h), (700, 382, 520, 316))
            SCREENSHOTS.mkdir(exist_ok=True)
            session.screenshot(SCREENSHOTS / f"{shot}.png", window.id)
            session.kill_all()

    def test_install_window(self):
        self.check_window([], "Installing Nimbrel Desktop", "install")

    def test_update_window(self):
        self.check_window(["--update", "--from", "1.0"], "Updating Nimbrel Desktop", "update")


class PlantedLibraries(unittest.TestCase):
    def test_imports_only_libraries_mapped_from_the_system_folder(self):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(SETUP)],
                              capture_output=True, text=True, check=True).stdout
        imports = {line.split()[-1].lower() for line in dump.splitlines() if "DLL Name:" in line}
        self.assertTrue(imports)
        self.assertLessEqual(imports, KNOWN_DLLS)

    def test_no_library_beside_the_setup_is_loaded(self):
        # Native-first for the planted names, so that Wine would take a
        # planted copy wherever the search reaches it.
        overrides = ";".join(Path(name).stem + "=n,b" for name in PLANTED)
        env = {"WINEDLLOVERRIDES": testbed.DLL_OVERRIDES + ";" + overrides}
        with testbed.WineSession(BUILD, "planted") as session:
            downloads = session.user_dir / "Downloads"
            downloads.mkdir(parents=True, exist_ok=True)
            for name in PLANTED:
                shutil.copy(SHELL / "planted.dll", downloads / name)
            shutil.copy(SETUP, downloads / "nimbrel-setup.exe")
            shutil.copy(SHELL / "naive-loader.exe", downloads / "naive-loader.exe")
            markers = session.unix_path("C:\\planted-markers")

            # The control: a plain load by name does find the planted copy.
            control = session.run([downloads / "naive-loader.exe", "dwmapi.dll"], env_extra=env)
            self.assertEqual(control.returncode, 0, control.stderr)
            self.assertTrue((markers / "dwmapi.dll").exists(), "the bed cannot see a planted load")
            shutil.rmtree(markers)

            # The setup comes up, tries its download (winhttp) and fails.
            session.start([downloads / "nimbrel-setup.exe"], env_extra=env)
            self.assertIsNotNone(probe(session))
            time.sleep(5)
            loaded = sorted(p.name for p in markers.iterdir()) if markers.exists() else []
            self.assertEqual(loaded, [])
            session.kill_all()


if __name__ == "__main__":
    unittest.main()
