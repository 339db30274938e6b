#!/usr/bin/env python3
"""Drives the `vorn-rag serve` web page in headless Chromium.

Indexes three small documents, starts `vorn-rag serve` on a free loopback
port, opens the page in Chromium (spoken to over the DevTools protocol on a
pipe: no extra packages, no network), asks a question, and checks that the
answer streams in, that a citation appears and that clicking it opens the
cited text. Exits 77 (skipped) when Chromium is missing; everything is
bounded in time.

    browser_test.py --vorn-rag PATH [--chromium PATH]
"""
import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DEADLINE_SECONDS = 60
QUESTION = "How does reciprocal rank fusion score a chunk?"


class DevTools:
    """The DevTools protocol over --remote-debugging-pipe: JSON messages ended by NUL."""

    def __init__(self, chromium, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def wire_fds():  # the browser reads commands on fd 3 and answers on fd 4
            read_end, write_end = os.dup(to_browser_r), os.dup(from_browser_w)  # neither is 3 nor 4 now
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        self.proc = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions", "--disable-sync",
             "--disable-background-networking", "--remote-debugging-pipe", f"--user-data-dir={profile}",
             "about:blank"],
            preexec_fn=wire_fds, close_fds=False,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.session = None

    def call(self, method, params=None, session=True, timeout=20):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise RuntimeError(f"{method}: {reply['error']}")
                    return reply.get("result", {})
            ready, _, _ = select.select([self.from_browser], [], [], 0.5)
            if ready:
                chunk = os.read(self.from_browser, 65536)
                if not chunk:
                    raise RuntimeError("the browser went away")
                self.buffer += chunk
        raise TimeoutError(f"no answer to {method}")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"page script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, what, timeout=20):
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        raise TimeoutError(f"the page never showed {what}")

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def check(condition, message):
    if not condition:
        print("FAIL:", message)
        sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vorn-rag", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or shutil.which("chromium-browser"))
    args = parser.parse_args()
    if not args.chromium or not os.path.exists(args.chromium):
        print("chromium not installed: skipped")
        return 77
    signal.alarm(DEADLINE_SECONDS * 2)  # a last resort if something hangs

    work = tempfile.mkdtemp(prefix="vorn_browser_")
    server = browser = None
    try:
        docs = os.path.join(work, "docs")
        os.makedirs(docs)
        with open(os.path.join(docs, "fusion.md"), "w") as f:
            f.write("# Fusion\n\nReciprocal rank fusion scores a chunk by the sum of 1 / (60 + rank) over the "
                    "lists that hold it. Chunks found near the top of several lists win.\n")
        with open(os.path.join(docs, "commits.md"), "w") as f:
            f.write("# Commits\n\nTo undo a commit, run git revert with the commit id.\n")
        store = os.path.join(work, "index.db")
        subprocess.run([args.vorn_rag, "--store", store, "index", "--no-progress", docs], check=True,
                       stdout=subprocess.DEVNULL, timeout=DEADLINE_SECONDS)

        server = subprocess.Popen([args.vorn_rag, "--store", store, "serve", "--port", "0"],
                                  stdout=subprocess.PIPE, text=True)
        banner = server.stdout.readline()
        check("http://127.0.0.1:" in banner, f"no address in the server's banner: {banner!r}")
        url = banner[banner.index("http://"):].split()[0]

        browser = DevTools(args.chromium, os.path.join(work, "profile"))
        targets = browser.call("Target.getTargets", session=False)["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        browser.session = browser.call("Target.attachToTarget", {"targetId": page["targetId"], "flatten": True},
                                       session=False)["sessionId"]
        browser.call("Page.enable")
        browser.call("Page.navigate", {"url": url})
        browser.wait_for("document.readyState === 'complete' && document.getElementById('strategy') !== null && "
                         "document.getElementById('strategy').options.length === 5", "the strategy choice")

        # Counts how often the answer's text changes while it streams in.
        browser.evaluate("""
            window.__answerUpdates = 0;
            new MutationObserver(() => { window.__answerUpdates++; })
                .observe(document.getElementById('conversation'),
                         {subtree: true, childList: true, characterData: true});
            document.getElementById('question').value = %s;
            document.getElementById('ask').click();
            true""" % json.dumps(QUESTION))
        turn = json.loads(browser.wait_for("""
            (() => {
              const t = document.querySelector('.turn');
              if (!t || t.dataset.done !== '1') return null;
              return JSON.stringify({answer: t.querySelector('.answer').textContent,
                                     citations: [...t.querySelectorAll('.citation')].map(b => b.textContent),
                                     updates: window.__answerUpdates});
            })()""", "a finished answer"))
        check("60 + rank" in turn["answer"], f"unexpected answer: {turn['answer']!r}")
        check(turn["citations"] and "fusion.md" in turn["citations"][0], f"no citation: {turn['citations']}")
        check(turn["updates"] >= 3, f"the answer did not stream in ({turn['updates']} updates)")

        cited = browser.evaluate("""
            document.querySelector('.citation').click();
            const box = document.getElementById('cited');
            box.hidden ? '' : box.textContent""")
        check("Reciprocal rank fusion scores a chunk" in cited, f"the citation did not open its text: {cited!r}")
        print("ok: answer streamed in", turn["updates"], "updates; citation", turn["citations"][0], "opens its text")
        return 0
    finally:
        if browser:
            browser.close()
        if server:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
