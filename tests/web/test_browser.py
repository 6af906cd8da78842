"""The front panel in a real browser: the page loads, shows the console's
start-up report, the LEDs breathing, the button's click and the voice, the
USB shell's reply, and the cable switch."""

import os
import sys
import unittest

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.dirname(__file__))
import browser  # noqa: E402
import wsclient  # noqa: E402

VBOARD, ELF, ARTIFACTS = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)


class FrontPanelInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.board = wsclient.Board(VBOARD, ELF)
        cls.driver = None
        try:
            cls.driver = browser.chromium()
            cls.driver.get(cls.board.url)
            browser.wait_until(cls.driver, "!!(window.panel && panel.connected && window.terminals)",
                               what="the page")
        except BaseException:
            # tearDownClass does not run after a failed setUpClass.
            if cls.driver:
                browser.quit(cls.driver)
            cls.board.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            os.makedirs(ARTIFACTS, exist_ok=True)
            cls.driver.save_screenshot(os.path.join(ARTIFACTS, "front-panel.png"))
        finally:
            browser.quit(cls.driver)
            status, err = cls.board.stop()
            if status != 0:
                print(err, file=sys.stderr)

    def until(self, script, timeout=30, what="condition"):
        return browser.wait_until(self.driver, script, timeout, what)

    def test_1_startup_report_and_breathing(self):
        self.until("panel.text('console').includes('setup done.')", what="the start-up report")
        self.until("panel.role === 'control'", what="the controls")
        # LED 1 lit and breathing: its brightness ramps up from 10 % and starts over
        # every 512 ms of device time (the drops of the ramp, about 6 of them in 3 s).
        self.until("panel.leds[0] > 0", what="LED 1 lit")
        first = self.driver.execute_script("return panel.ledTrace.length ? panel.ledTrace.at(-1).t : 0")
        trace = self.until(f"panel.ledTrace.at(-1).t > {first} + 3100 && panel.ledTrace", what="3 s of LEDs")
        trace = [p for p in trace if p["t"] > first]
        drops = [b["t"] for a, b in zip(trace, trace[1:]) if a["leds"][0] - b["leds"][0] > 0.5]
        self.assertGreaterEqual(len(drops), 5, trace)
        period = (drops[-1] - drops[0]) / (len(drops) - 1)
        self.assertAlmostEqual(512, period, delta=20)
        self.assertTrue(all(p["leds"][0] > 0 for p in trace))
        level = float(self.driver.find_element(By.ID, "led1").get_attribute("data-level"))
        self.assertGreater(level, 0)

    def test_2_button_held_150ms_clicks_then_speaks(self):
        # After the start-up announcement, so that what follows is the press's.
        self.until("panel.status && panel.status.t > 5000 && !document.getElementById('speaker')"
                   ".classList.contains('speaking')", timeout=60, what="the start-up announcement to end")
        tones = self.driver.execute_script("return panel.tones.length")
        voices = self.driver.execute_script("return panel.voiceStarts.length")
        button = self.driver.find_element(By.ID, "button")
        ActionChains(self.driver).click_and_hold(button).pause(0.15).release().perform()
        click = self.until(f"panel.tones.slice({tones}).find(t => Math.abs(t.hz - 4000) < 1)", what="the click")
        voice = self.until(f"panel.voiceStarts.length > {voices} && panel.voiceStarts[{voices}]",
                           what="the announcement's audio")
        self.assertLess(click["t"], voice)

    def test_3_led2_lights_while_space_held(self):
        self.driver.find_element(By.TAG_NAME, "h1").click()  # the focus off the terminals
        self.until("panel.leds[1] === 0", what="LED 2 dark")
        body = self.driver.find_element(By.TAG_NAME, "body")
        ActionChains(self.driver).key_down(Keys.SPACE, body).perform()
        try:
            self.until("panel.button && panel.leds[1] > 0", what="LED 2 lit while the button is held")
        finally:
            ActionChains(self.driver).key_up(Keys.SPACE, body).perform()
        self.until("!panel.button && panel.leds[1] === 0", what="LED 2 dark after the release")

    def test_4_usb_shell_answers_help(self):
        self.until("panel.status && panel.status.usb.port_open", what="the USB port open")
        area = self.driver.find_element(By.CSS_SELECTOR, "#usb-term .xterm-helper-textarea")
        self.driver.find_element(By.ID, "usb-term").click()
        area.send_keys("?" + Keys.ENTER)
        text = self.until("panel.text('usb').includes('On chip RTC') && panel.text('usb')",
                          what="the shell's help")
        self.assertIn("help message", text)
        self.assertRegex(text, r"Now RTC_time=2026-12-6 +1[01]:\d\d:\d\d")

    def test_5_console_takes_ctrl_a_escapes(self):
        self.until("panel.text('console').includes('setup done.')", what="the start-up report")
        self.assertNotIn("FIXED", self.driver.execute_script("return panel.text('console')"))
        self.driver.find_element(By.ID, "console-term").click()
        area = self.driver.find_element(By.CSS_SELECTOR, "#console-term .xterm-helper-textarea")
        ActionChains(self.driver).key_down(Keys.CONTROL, area).send_keys("a").key_up(Keys.CONTROL).perform()
        area.send_keys("?")
        text = self.until("panel.text('console').includes('FIXED') && panel.text('console')",
                          what="the escape help")
        self.assertIn("115200", text.split("setup done.")[-1])

    def test_6_cable_switch_unplugs_and_plugs(self):
        self.until("panel.status && panel.status.usb.state === 'configured'", what="the device configured")
        self.driver.find_element(By.ID, "cable").click()
        self.until("!panel.status.usb.plugged && panel.status.usb.state === 'unplugged'", what="the cable out")
        self.driver.find_element(By.ID, "cable").click()
        self.until("panel.status.usb.plugged && panel.status.usb.state === 'configured'", what="enumerated again")

    def test_7_cable_switch_by_keyboard_alone(self):
        # Tab to the switch, then the space bar toggles it (and leaves the button alone).
        self.until("panel.status && panel.status.usb.state === 'configured'", what="the device configured")
        self.driver.find_element(By.TAG_NAME, "h1").click()
        for _ in range(10):
            ActionChains(self.driver).send_keys(Keys.TAB).perform()
            if self.driver.execute_script("return document.activeElement.id") == "cable":
                break
        self.assertEqual("cable", self.driver.execute_script("return document.activeElement.id"))
        since = self.driver.execute_script("return panel.ledTrace.at(-1).t")
        for plugged, state in ((False, "unplugged"), (True, "configured")):
            ActionChains(self.driver).key_down(Keys.SPACE).pause(0.3).key_up(Keys.SPACE).perform()
            self.until(f"panel.status.usb.plugged === {str(plugged).lower()} && "
                       f"panel.status.usb.state === '{state}'", what=f"the cable {state}")
        self.assertFalse(self.driver.execute_script(
            f"return panel.ledTrace.some(p => p.t > {since} && p.leds[1] > 0)"),
                         "the space bar held the button")


    def test_8_double_press_and_hold_by_mouse_turns_five_minute_mode_on(self):
        # A hold turns five-minute mode off (LED 4 dark); a short press, a pause
        # and a hold turn it on again (LED 4 lit).
        button = self.driver.find_element(By.ID, "button")
        ActionChains(self.driver, duration=0).move_to_element(button).perform()
        ActionChains(self.driver, duration=0).click_and_hold().pause(0.15).release().perform()
        after = self.driver.execute_script("return panel.ledTrace.at(-1).t")
        self.until(f"panel.ledTrace.at(-1).t > {after} + 1000 && panel.leds[3] === 0", what="LED 4 dark")
        ActionChains(self.driver, duration=0).click_and_hold().pause(0.1).release().pause(0.15) \
            .click_and_hold().pause(0.4).release().perform()
        self.until("panel.leds[3] > 0", what="LED 4 lit")

    def test_9_nothing_went_wrong_in_the_page(self):
        # What the page did so far left no error in the browser's console
        # (a script error, a file it asked for and did not get).
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual([], errors)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
