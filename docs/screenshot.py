"""Makes docs/graphiql.png: GraphiQL on the bundled servers, a query run, the documentation open.

Run in the dev root after tools/main has built the module and installed the npm servers:

    tools/devroot env PYTHONPATH=build:. PATH=/opt/dive-ziri-npm/node_modules/.bin:/usr/bin:/bin \\
        python3 docs/screenshot.py

It starts the gateway on a free loopback port, drives Debian's headless Chromium
through Selenium and writes the picture over docs/graphiql.png.
"""

import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as shown
from selenium.webdriver.support.ui import WebDriverWait

DOCS = Path(__file__).resolve().parent
QUERY = """# One request, three MCP servers
{
  servers { name toolCount }
  sum: toolbox_add(numbers: [1, 2, 3.5]) { json }
  here: files_list_directory(path: ".") { text }
}
"""
WAIT = 60


def main() -> int:
    gateway = subprocess.Popen([sys.executable, "-m", "gateway", "--serve", "127.0.0.1:0"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        assert gateway.stderr is not None
        line = gateway.stderr.readline()
        found = re.search(r"http://127\.0\.0\.1:\d+", line)
        if found is None:
            print(f"screenshot: the gateway did not start: {line}", file=sys.stderr)
            return 1
        with tempfile.TemporaryDirectory() as profile:
            options = webdriver.ChromeOptions()
            options.binary_location = "/usr/bin/chromium"
            for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
                         "--disable-background-networking", f"--user-data-dir={profile}", "--window-size=1440,900"):
                options.add_argument(flag)
            browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
            try:
                shoot(browser, found.group())
            finally:
                browser.quit()
    finally:
        gateway.terminate()
        gateway.wait(WAIT)
    return 0


def shoot(browser: webdriver.Chrome, base: str) -> None:
    wait = WebDriverWait(browser, WAIT)
    browser.get(f"{base}/graphql")
    editor = "document.querySelector('.graphiql-query-editor .CodeMirror').CodeMirror"
    wait.until(shown.presence_of_element_located((By.CSS_SELECTOR, ".graphiql-query-editor .CodeMirror")))
    browser.execute_script(f"{editor}.setValue(arguments[0])", QUERY)
    wait.until(shown.element_to_be_clickable((By.CSS_SELECTOR, ".graphiql-execute-button"))).click()
    result = "document.querySelector('.result-window .CodeMirror').CodeMirror.getValue()"
    wait.until(lambda _: "toolCount" in browser.execute_script(f"return {result}"))
    json.loads(browser.execute_script(f"return {result}"))  # a whole answer, not a spinner's text
    wait.until(shown.element_to_be_clickable((By.CSS_SELECTOR, 'button[aria-label="Show Documentation Explorer"]'))
               ).click()
    wait.until(shown.element_to_be_clickable((By.LINK_TEXT, "Query"))).click()
    wait.until(shown.text_to_be_present_in_element((By.CSS_SELECTOR, ".graphiql-doc-explorer-title"), "Query"))
    browser.save_screenshot(str(DOCS / "graphiql.png"))


if __name__ == "__main__":
    sys.exit(main())
