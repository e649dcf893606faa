#!/usr/bin/env python3
"""The web view in a real browser (headless chromium) at 1280x800: console,
buttons, backlight, registers, several tabs, run control and the board's end,
and a board that shrugs off requests that are not its page's.
Usage: web_test.py KELTOSIM IMAGE_DIR SCREENSHOT_DIR"""
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77
try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("python3-selenium is not installed")
    sys.exit(SKIP)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
WAIT = 20  # seconds for anything the page should show


def start_keltosim(keltosim, image, *options):
    process = subprocess.Popen([keltosim, "--web=127.0.0.1:0", *options, image], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = process.stderr.readline()  # keltosim names the address first
    match = re.search(r"http://\S+", line)
    if not match:
        process.kill()
        raise AssertionError(f"no address from keltosim: {line!r}")
    return process, match.group(0)


def open_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--window-size=1280,800"]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)


def console_text(browser):
    return browser.find_element(By.CSS_SELECTOR, ".xterm-rows").text


def wait_for_console(browser, text):
    WebDriverWait(browser, WAIT).until(lambda b: text in console_text(b), f"console never showed {text!r}")


def type_keys(browser, keys):
    """As a person types: click the terminal to give it focus, then the keys."""
    browser.find_element(By.CSS_SELECTOR, ".xterm-screen").click()
    ActionChains(browser).send_keys(keys).perform()


def wait_for_glow(browser, percent):
    """The drawn backlight glows in proportion to the brightness."""
    glow = browser.find_element(By.ID, "lcd-glow")
    WebDriverWait(browser, WAIT).until(lambda b: glow.get_attribute("data-percent") == percent,
                                       f"backlight never drawn at {percent} %")
    if percent != "unset":
        assert float(glow.get_attribute("opacity")) == int(percent) / 100, glow.get_attribute("opacity")


def socket_outcome(browser, url, message=None):
    """Opens a WebSocket from the current page; what happened to it."""
    return browser.execute_async_script("""
        const [url, message, done] = arguments;
        const ws = new WebSocket(url);
        ws.onopen = () => { if (message === null) done('open'); else ws.send(message); };
        ws.onmessage = event => { if (JSON.parse(event.data).t === 'refused') done('refused'); };
        ws.onclose = event => done(`closed ${event.code}`);
        setTimeout(() => done('no answer'), 5000);
    """, url, message)


def status_of(url, target, host, origin=None):
    """The status keltosim gives a request written by hand, as no browser would."""
    address = urllib.parse.urlsplit(url)
    upgrade = (f"Origin: {origin}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
               "Sec-WebSocket-Key: a2VsdG9zaW0gdGVzdCBrZXk=\r\n" if origin else "")
    with socket.create_connection((address.hostname, address.port), timeout=WAIT) as connection:
        connection.sendall(f"GET {target} HTTP/1.1\r\nHost: {host}\r\n{upgrade}\r\n".encode())
        return connection.recv(12).decode().split(" ")[-1]


def refuses_strangers(url):
    """A rebinding page's requests (its own name in Host and Origin), and paths out of the page's directory."""
    here, stranger = urllib.parse.urlsplit(url).netloc, "evil.example:" + str(urllib.parse.urlsplit(url).port)
    assert status_of(url, "/", stranger) == "403"
    assert status_of(url, "/ws", stranger, "http://" + stranger) == "403"
    assert status_of(url, "/page/%2e%2e/%2e%2e/%2e%2e/etc/passwd.js", here) == "404"


def text_of(browser, element_id):
    return browser.find_element(By.ID, element_id).text


def wait_for_text(browser, element_id, check, why):
    WebDriverWait(browser, WAIT, 0.05).until(lambda b: check(text_of(b, element_id)), why)


def in_sight(browser):
    """The whole console scrolled to its end, the registers' first rows and the LCD's words fit the window."""
    return browser.execute_script("""
        const inside = (e, bottom) => { const r = e.getBoundingClientRect();
                                        return r.right <= innerWidth && (bottom ? r.bottom : r.top + 40) <= innerHeight; };
        const viewport = document.querySelector('.xterm-viewport');
        showBacklight(null);  // the longest words the LCD shows
        const lcd = document.getElementById('lcd').getBBox(), words = document.getElementById('backlight-text').getBBox();
        return [inside(document.getElementById('terminal'), true), inside(document.getElementById('registers'), false),
                viewport.scrollTop + viewport.clientHeight >= viewport.scrollHeight - 1,
                words.x >= lcd.x && words.x + words.width <= lcd.x + lcd.width];""")


def held_buttons(browser):
    return {button.get_attribute("data-button") for button in browser.find_elements(By.CSS_SELECTOR, ".button.held")}


def arrow_keys(browser):
    """Each arrow key holds the button it points at, while the terminal does not have the focus."""
    browser.execute_script("document.activeElement.blur()")
    for name in ("up", "down", "left", "right"):
        key = getattr(Keys, "ARROW_" + name.upper())
        ActionChains(browser).key_down(key).perform()
        WebDriverWait(browser, WAIT, 0.05).until(lambda b: held_buttons(b) == {name}, f"{name} not alone held")
        ActionChains(browser).key_up(key).perform()
        WebDriverWait(browser, WAIT, 0.05).until(lambda b: not held_buttons(b), f"{name} stayed held")


def tour(browser, url, screenshot):
    """The console, a drawn button, the backlight and a second tab."""
    browser.get(url)
    wait_for_console(browser, "Kelto Firmware")
    wait_for_console(browser, "x> Exit")

    type_keys(browser, "1")
    wait_for_console(browser, "press any key (in keyboard)")
    up = browser.find_element(By.CSS_SELECTOR, '.button[data-button="up"]')
    ActionChains(browser).click_and_hold(up).perform()
    wait_for_console(browser, "Up key pressed")
    WebDriverWait(browser, WAIT).until(lambda b: "held" in up.get_attribute("class"), "up never drawn held")
    # A latched button looks other than a held one.
    down = browser.find_element(By.CSS_SELECTOR, '.button[data-button="down"]')
    ActionChains(browser).key_down(Keys.SHIFT).click(down).key_up(Keys.SHIFT).perform()
    WebDriverWait(browser, WAIT).until(lambda b: "latched" in down.get_attribute("class"), "down never drawn latched")
    fill = "return getComputedStyle(arguments[0].querySelector('path')).fill"
    assert browser.execute_script(fill, down) != browser.execute_script(fill, up), "latched drawn as held"
    ActionChains(browser).key_down(Keys.SHIFT).click(down).key_up(Keys.SHIFT).perform()
    ActionChains(browser).release(up).perform()
    WebDriverWait(browser, WAIT).until(lambda b: not held_buttons(b), "up or down stayed held")
    arrow_keys(browser)
    type_keys(browser, "q")

    type_keys(browser, "3")
    wait_for_console(browser, "x> Exit to back")
    # The firmware's write to the PWM compare register lights its row, in words.
    next(tab for tab in browser.find_elements(By.CSS_SELECTOR, "#peripherals button") if "timer" in tab.text).click()
    type_keys(browser, "2")
    wait_for_glow(browser, "90")
    WebDriverWait(browser, WAIT, 0.05).until(
        lambda b: b.find_elements(By.CSS_SELECTOR, '#registers tr.written[data-register^="TCMPB"]'), "no write lit")

    # Requests that are not the page's: each is refused, the board goes on.
    ws = url.replace("http://", "ws://") + "ws"
    assert socket_outcome(browser, ws, "launch missiles") == "refused"
    outcome = socket_outcome(browser, ws, "type " + "x" * 10000)
    assert outcome.startswith("closed"), outcome
    browser.get(url.replace("127.0.0.1", "localhost"))  # another origin, same browser
    assert socket_outcome(browser, ws).startswith("closed"), "a foreign page opened the board's socket"
    browser.get(url)

    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    browser.get(url)
    wait_for_console(browser, "LCD Backlight Control")  # what the first tab saw
    type_keys(browser, "1")
    browser.switch_to.window(first)
    wait_for_console(browser, "1 is selected")  # the second tab's key
    wait_for_glow(browser, "100")
    browser.save_screenshot(screenshot)

    # A reset while paused: on Run, the stop's notice goes and the console
    # shows the fresh board's newest lines.
    browser.find_element(By.ID, "pause").click()
    wait_for_text(browser, "notice", lambda text: "stopped: paused" in text, "no notice of the pause")
    browser.find_element(By.ID, "reset").click()
    browser.find_element(By.ID, "resume").click()
    wait_for_text(browser, "notice", lambda text: not text, "the notice of the pause stayed")
    assert text_of(browser, "run-state") == "running"
    wait_for_console(browser, "Kelto Firmware")
    WebDriverWait(browser, WAIT).until(lambda b: console_text(b).rstrip().endswith("x> Exit"), "no main menu")
    assert in_sight(browser) == [True] * 4, in_sight(browser)

    # Typing past what the board reads is refused, and the page says so.
    browser.find_element(By.ID, "pause").click()
    wait_for_text(browser, "notice", lambda text: "stopped: paused" in text, "no notice of the pause")
    browser.execute_script("typeText('0'.repeat(9000))")
    WebDriverWait(browser, WAIT).until(lambda b: "not typed" in b.find_element(By.ID, "notice").text,
                                       "typing past the bound was not refused")


def ending(browser, keltosim, image):
    """-S on the wall clock: the board stands at 0 s until Run; then main returns and the page keeps saying so."""
    process, url = start_keltosim(keltosim, image, "--clock", "wall", "--gdb", "127.0.0.1:0", "-S")
    try:
        browser.get(url)
        wait_for_text(browser, "notice", lambda text: "stopped: paused" in text, "not halted at main")
        assert text_of(browser, "clock").startswith("0.000 s"), text_of(browser, "clock")
        browser.find_element(By.ID, "resume").click()
        wait_for_console(browser, "x> Exit")
        type_keys(browser, "x")
        status = process.wait(timeout=WAIT)
    finally:
        process.kill()
    wait_for_text(browser, "run-state", lambda text: text == "ended", "the page never heard of the end")
    assert text_of(browser, "notice") == f"The board stopped: main returned {status}. " \
        f"keltosim ended with exit status {status}.", text_of(browser, "notice")


def main():
    keltosim, image_dir, screenshot_dir = sys.argv[1:4]
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print("chromium or chromium-driver is not installed")
        return SKIP
    for board in ("64", "24"):
        process, url = start_keltosim(keltosim, os.path.join(image_dir, f"consolefw-{board}"))
        try:
            refuses_strangers(url)
            with tempfile.TemporaryDirectory() as profile:
                browser = open_browser(profile)
                screenshot = os.path.join(screenshot_dir, f"web-view-{board}.png")
                try:
                    tour(browser, url, screenshot)
                    ending(browser, keltosim, os.path.join(image_dir, f"consolefw-{board}"))
                except Exception:
                    browser.save_screenshot(screenshot)  # what the page showed when it went wrong
                    raise
                finally:
                    browser.quit()
            assert process.poll() is None, "keltosim ended during the tour"
        finally:
            process.kill()
            process.wait(timeout=10)
        print(f"board {board}: web view tour passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
