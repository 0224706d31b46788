// Debian's Firefox ESR, headless, driven over WebDriver BiDi by puppeteer-core (it
// downloads no browser of its own); it plays into whatever audio server PULSE_SERVER
// names. Its pages offer the few calls of Playwright's that the browser tests make, so
// that one test drives either browser.
import { existsSync } from "node:fs";
import { createRequire } from "node:module";

export const firefoxPath = process.env.QUORVEL_FIREFOX || "/usr/bin/firefox-esr";

// Why Firefox cannot be driven here, or nothing when it can.
export function missingFirefox() {
  if (!existsSync(firefoxPath)) return `Firefox is not installed (${firefoxPath}); install the package "firefox-esr"`;
  try {
    createRequire(import.meta.url).resolve("puppeteer-core");
  } catch {
    return "puppeteer-core is not installed (scripts/browser-test-deps.sh)";
  }
  return null;
}

// Sound starts only once the page has had a click or a key press, as in a desktop Firefox.
// puppeteer-core, from beside the tests.
export const loadPuppeteer = async () => (await import("puppeteer-core")).default;

export async function launchFirefox() {
  const puppeteer = await loadPuppeteer();
  const browser = await puppeteer.launch(firefoxOptions({ autoplay: false }));
  return {
    async newContext() {
      const context = await browser.createBrowserContext();
      return { newPage: async () => new FirefoxPage(await context.newPage(), context) };
    },
    close: () => browser.close(),
  };
}

// puppeteer's launch options; `autoplay`: sound may start without a click or a key press.
export const firefoxOptions = ({ autoplay }) => ({
  browser: "firefox",
  executablePath: firefoxPath,
  headless: true,
  protocolTimeout: 30000, // a page that hangs fails its test, not the whole run
  extraPrefsFirefox: { "media.autoplay.default": autoplay ? 0 : 1, "media.autoplay.blocking_policy": 0,
    "media.autoplay.block-webaudio": !autoplay },
});

class FirefoxPage {
  constructor(page, context) {
    this.page = page;
    this.browserContext = context;
  }

  context() { return this.browserContext; }

  // A script to run in every document before the page's own: a function or {content}.
  addInitScript(script) {
    return this.page.evaluateOnNewDocument(typeof script === "function" ? script : script.content);
  }

  on(event, handler) {
    this.page.on(event, event === "response" ? (response) => handler(new FirefoxResponse(response)) : handler);
    return this;
  }

  goto(url) { return this.page.goto(url); }
  evaluate(f, argument) { return this.page.evaluate(f, argument); }
  click(selector) { return this.page.click(selector); }
  // Not puppeteer's locator: it waits for animation frames, which a tab in the background
  // never draws.
  fill(selector, value) {
    return this.page.$eval(selector, (element, text) => {
      element.value = text;
      element.dispatchEvent(new Event("input", { bubbles: true }));
    }, value);
  }
  selectOption(selector, value) { return this.page.select(selector, value); }
  waitForSelector(selector, { state } = {}) {
    return this.page.waitForSelector(selector, { visible: state === "visible", hidden: state === "hidden" });
  }
  setViewportSize({ width, height }) { return this.page.setViewport({ width, height }); }

  waitForFunction(f, argument, { timeout, polling } = {}) {
    return this.page.waitForFunction(f, { timeout, polling }, argument);
  }
}

// Over WebDriver BiDi puppeteer cannot say what a request loaded, only whether it was a
// page's own navigation: the one kind the tests tell apart.
class FirefoxResponse {
  constructor(response) { this.response = response; }
  status() { return this.response.status(); }
  url() { return this.response.url(); }
  request() {
    const navigation = this.response.request().isNavigationRequest();
    return { resourceType: () => (navigation ? "document" : "other") };
  }
}
