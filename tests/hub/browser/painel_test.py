#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The hub's page in a real browser: Debian's chromium, headless, driven
through chromium-driver with Debian's python3-selenium.

    painel_test.py TIVAX_HUB OUTPUT_DIR

Starts tivax-hub --emulador (twice: without and with a token), opens the
page and checks what a technician sees: the serial number, a sale listed
within 3 s, "inacessível" within consulta_status + 3 s of the device going
away, the token asked before any data, no console errors, no layout shift,
keyboard access and both widths. Saves screenshots (PNG) in OUTPUT_DIR and
prints the page's weight and its time to first data.

Exit 77 (skipped) when chromium, its driver or selenium is missing, unless
CI=true or TIVAX_NAVEGADOR_OBRIGATORIO=1, where that is a failure.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

SKIP = 77
CONSULTA = 2  # consulta_status of the hubs started here
SERIAL = "900004019"
CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
HERE = os.path.dirname(os.path.abspath(__file__))
SALE = os.path.join(HERE, "..", "..", "..", "examples", "vendas", "venda-minima.xml")


def required():
    return os.environ.get("CI") == "true" or os.environ.get("TIVAX_NAVEGADOR_OBRIGATORIO") == "1"


def give_up(reason):
    if required():
        print("FALHA: " + reason, file=sys.stderr)
        sys.exit(1)
    print("ignorado: " + reason)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    give_up("python3-selenium não instalado")
if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    give_up("chromium ou chromium-driver não instalado")


class Hub:
    """One tivax-hub --emulador in a directory of its own."""

    def __init__(self, program, token=""):
        self.dir = tempfile.mkdtemp(prefix="tivax-painel-")
        config = os.path.join(self.dir, "hub.conf")
        with open(config, "w") as f:
            f.write("codigo_ativacao = 12345678\nescutar = 127.0.0.1:0\n")
            f.write("diario = %s/diario.db\nconsulta_status = %d\n" % (self.dir, CONSULTA))
            if token:
                f.write("token = %s\n" % token)
        os.chmod(config, 0o600)
        self.token = token
        self.log = open(os.path.join(self.dir, "hub.log"), "w")
        self.process = subprocess.Popen([program, "--config", config, "--emulador"], stdout=subprocess.PIPE,
                                        stderr=self.log, text=True)
        address = self.process.stdout.readline().strip()
        if not address:
            raise RuntimeError("o hub não iniciou: " + open(os.path.join(self.dir, "hub.log")).read())
        self.url = "http://" + address

    def request(self, path, form=None):
        headers = {"Authorization": "Bearer " + self.token} if self.token else {}
        data = urllib.parse.urlencode(form).encode() if form else None
        with urllib.request.urlopen(urllib.request.Request(self.url + path, data=data, headers=headers),
                                    timeout=60) as answer:
            return answer.read()

    def sell(self, caixa):
        with open(SALE) as f:
            body = json.loads(self.request("/hub/v1/enviardadosvenda",
                                           {"numero_caixa": str(caixa), "dados_venda": f.read()}))
        fields = body["retorno"].split("|")
        assert fields[1] == "06000", body["retorno"][:200]
        return fields[8]

    def switch_device(self):
        self.process.send_signal(signal.SIGUSR1)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--user-data-dir=" + profile, "--window-size=1366,768"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait(driver, seconds, condition, what):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.05,
                             ignored_exceptions=(StaleElementReferenceException,)).until(condition)
    except Exception:
        raise AssertionError("esperava %s em %s s; a página mostra: %s" % (
            what, seconds, driver.find_element(By.TAG_NAME, "body").text[:1500]))


def console_errors(driver, allowed=()):
    errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    return [m for m in errors if not any(a in m for a in allowed)]


def layout_shift(driver):
    return driver.execute_script("return window.__deslocamento || 0;")


# Installed before the page's own code runs: the sum of its layout shifts.
SHIFT_OBSERVER = """
window.__deslocamento = 0;
new PerformanceObserver((list) => {
  for (const e of list.getEntries()) if (!e.hadRecentInput) window.__deslocamento += e.value;
}).observe({type: 'layout-shift', buffered: true});
"""


def main():
    program, output = sys.argv[1], sys.argv[2]
    os.makedirs(output, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="tivax-chromium-")
    hubs = []
    driver = None
    try:
        hub = Hub(program)
        hubs.append(hub)
        weight = sum(len(hub.request(p)) for p in ("/", "/painel/painel.css", "/painel/painel.js"))
        driver = browser(profile)
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": SHIFT_OBSERVER})

        started = time.monotonic()
        driver.get(hub.url + "/")
        wait(driver, 15, lambda d: text(d, "serie") == SERIAL, "o número de série")
        first_data = time.monotonic() - started
        # The same from the page's own clock: navigation start to the first
        # /estado answer, without WebDriver's overhead.
        in_page = driver.execute_script(
            "const e = performance.getEntriesByType('resource').find((r) => r.name.includes('/estado'));"
            "return e ? e.responseEnd : null;")
        assert driver.find_element(By.TAG_NAME, "html").get_attribute("lang") == "pt-BR"

        key = hub.sell(4)
        sold = time.monotonic()
        wait(driver, 3, lambda d: key in text(d, "diario"), "a venda %s listada" % key)
        listed = time.monotonic() - sold
        driver.save_screenshot(os.path.join(output, "painel.png"))

        # Keyboard: the filter and the archive button are reached with Tab.
        reached = set()
        body = driver.find_element(By.TAG_NAME, "body")
        body.send_keys(Keys.TAB)
        for _ in range(12):
            reached.add(driver.switch_to.active_element.get_attribute("id"))
            driver.switch_to.active_element.send_keys(Keys.TAB)
        assert {"caixa", "arquivo"} <= reached, reached

        # The checkout filter.
        caixa = driver.find_element(By.ID, "caixa")
        caixa.send_keys("4")
        caixa.send_keys(Keys.TAB)
        # Read in one go inside the page: the rows are replaced every second.
        wait(driver, 5, lambda d: d.execute_script(
            "const rows = [...document.querySelectorAll('#diario tr')];"
            "return rows.length > 0 && rows.every((r) => r.cells[1].textContent === '4');"), "só o caixa 4")
        caixa.clear()
        caixa.send_keys(Keys.TAB)

        hub.switch_device()
        gone = time.monotonic()
        wait(driver, CONSULTA + 3, lambda d: "inacessível" in text(d, "conexao") and "inacessível" in text(d, "alertas"),
             "inacessível")
        unreachable = time.monotonic() - gone
        driver.execute_script("window.scrollTo(0, 0);")
        driver.save_screenshot(os.path.join(output, "painel-inacessivel.png"))
        hub.switch_device()
        wait(driver, 30, lambda d: text(d, "conexao").startswith("conectado"), "conectado de novo")

        shift = layout_shift(driver)
        assert shift < 0.05, "deslocamento de layout %.3f" % shift

        # A phone's width: nothing wider than the screen.
        driver.set_window_size(390, 844)
        overflow = driver.execute_script("return document.documentElement.scrollWidth - document.documentElement.clientWidth;")
        assert overflow <= 0, "a página passa da largura do celular em %d px" % overflow
        driver.save_screenshot(os.path.join(output, "painel-celular.png"))
        driver.set_window_size(1366, 768)

        errors = console_errors(driver)
        assert not errors, errors

        # With a token: nothing shows before it is given.
        guarded = Hub(program, token="s3gr3do-do-teste")
        hubs.append(guarded)
        driver.get(guarded.url + "/painel")
        wait(driver, 10, lambda d: d.find_element(By.ID, "token").is_displayed(), "o pedido de token")
        assert text(driver, "serie") == "—" and SERIAL not in driver.page_source
        field = driver.find_element(By.ID, "token")
        field.send_keys("s3gr3do-do-teste")
        field.send_keys(Keys.ENTER)
        wait(driver, 15, lambda d: text(d, "serie") == SERIAL, "o número de série depois do token")
        assert not driver.find_element(By.ID, "token-form").is_displayed()
        # The one refusal before the token was given is the only error.
        errors = console_errors(driver, allowed=("/hub/v1/estado - Failed to load resource: the server responded "
                                                 "with a status of 403",))
        assert not errors, errors

        print("peso da página: %d bytes (HTML, CSS e JS, sem compressão)" % weight)
        print("primeiros dados na tela: %.0f ms (visto pelo WebDriver); primeira resposta de /estado %.0f ms "
              "após o início da navegação (relógio da página)" % (first_data * 1000, in_page or -1))
        print("venda listada em: %.0f ms" % (listed * 1000))
        print("inacessível mostrado em: %.0f ms (consulta_status = %d s)" % (unreachable * 1000, CONSULTA))
        print("capturas: " + ", ".join(os.path.join(output, n)
                                       for n in ("painel.png", "painel-inacessivel.png", "painel-celular.png")))
        print("1 passed, 0 failed")
        return 0
    finally:
        if driver:
            driver.quit()
        for h in hubs:
            h.stop()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
