"""The status page in a real browser: headless Chromium (Debian's) loads the page of the
example day, after a server was killed and came back, and the rendered DOM holds every
model's row and state. Its screenshot goes to $GARNEL_PICTURES when that names a folder
(tools/pictures makes the README's from it). Run by ./dev check, which installs chromium.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "serve"))
from serve_support import REPO, STANDIN, Host, Rows, free_port, wait_until

CHROMIUM = shutil.which("chromium")
if CHROMIUM is None:
    pytest.skip("needs Debian's chromium (./dev check installs it)", allow_module_level=True)


def chromium(tmp_path: pathlib.Path, *args: str) -> str:
    """Headless Chromium in a session of its own, ended with everything it started."""
    argv = [
        str(CHROMIUM),
        *("--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars"),
        f"--user-data-dir={tmp_path / 'chromium'}",
        *args,
    ]
    browser = subprocess.Popen(
        argv,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
        start_new_session=True,
    )
    try:
        out, _ = browser.communicate(timeout=90)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(browser.pid, signal.SIGKILL)
        browser.wait(10)
    assert browser.returncode == 0, out
    return out


def test_the_status_page_in_chromium(tmp_path: pathlib.Path) -> None:
    port = free_port()
    config = (REPO / "examples" / "serve.toml").read_text()
    folder = tmp_path / "day"
    folder.mkdir()
    shutil.copy(STANDIN, folder / "standin.py")
    host = Host(folder, config.replace("127.0.0.1:8080", f"127.0.0.1:{port}"), port)
    try:
        host.wait_routes(**{"chat-8b": "ready", "embed-small": "ready", "rerank-base": "ready"})
        os.kill(host.server_of("chat-8b"), signal.SIGKILL)
        wait_until("chat-8b lost", lambda: host.routes()["chat-8b"] != "ready", 10)
        host.wait_routes(**{"chat-8b": "ready"})
        url = f"http://127.0.0.1:{port}/"

        rows = Rows()
        rows.feed(chromium(tmp_path, "--dump-dom", url))
        states = {row[0]: row[1] for row in rows.rows[1:]}
        assert list(states) == ["chat-8b", "coder-14b", "embed-small", "rerank-base"]
        assert states["coder-14b"] == "not admitted — short by 5.4 GiB"
        for name in ("chat-8b", "embed-small", "rerank-base"):
            assert states[name].startswith("resident for "), states
        chat = next(row for row in rows.rows if row[0] == "chat-8b")
        assert chat[6:8] == ["2", "1"]  # started twice, exited once

        picture = tmp_path / "status-page.png"
        chromium(tmp_path, f"--screenshot={picture}", "--window-size=1000,560", url)
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        keep = os.environ.get("GARNEL_PICTURES")
        if keep:
            shutil.copy(picture, pathlib.Path(keep) / "status-page.png")
        assert host.end() == 0
    finally:
        host.close()
