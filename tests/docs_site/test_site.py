"""The built documentation site (make docs) in headless Chromium: pages that render, with their images.

Run by `make test-docs-site`, which builds the site first.
"""

import pathlib
import shutil
from urllib.parse import unquote

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

import quorvel

SITE = pathlib.Path(__file__).resolve().parents[2] / "build" / "docs" / "html"
# Debian's chromium and chromium-driver, installed by scripts/setup.sh.
BROWSER = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")

# What a page shows once loaded: its title, its images, and the pages of the site it links to.
PAGE_STATE = """
return {
  ready: document.readyState,
  title: document.title,
  heading: (document.querySelector("h1") || {}).textContent || "",
  images: Array.from(document.images, img => ({src: img.currentSrc || img.src,
                                                complete: img.complete, width: img.naturalWidth})),
  links: Array.from(document.querySelectorAll("a[href]"), a => a.href),
  ids: Array.from(document.querySelectorAll("[id]"), e => e.id),
  outputs: Array.from(document.querySelectorAll(".sphx-glr-script-out"), e => e.textContent),
};
"""


@pytest.fixture(scope="module")
def browser():
    assert BROWSER and DRIVER, "chromium and chromedriver are needed (scripts/setup.sh installs them)"
    options = webdriver.ChromeOptions()
    options.binary_location = BROWSER
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1024"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=Service(executable_path=DRIVER))
    yield driver
    driver.quit()


def visit(browser, page):
    path = SITE / page
    assert path.is_file(), f"{page} was not built (make docs)"
    browser.get(path.as_uri())
    state = browser.execute_script(PAGE_STATE)
    assert state["ready"] == "complete"
    return state


@pytest.mark.parametrize(
    ("page", "least_images"),
    [("index.html", 0), ("api.html", 0), ("gallery/index.html", 3), ("gallery/demo.html", 1)],
)
def test_page_renders_with_every_image_and_link(browser, page, least_images):
    state = visit(browser, page)
    assert state["title"].strip() and state["heading"].strip()
    assert len(state["images"]) >= least_images
    broken = [image["src"] for image in state["images"] if not (image["complete"] and image["width"] > 0)]
    assert broken == []
    # Every page of the site that this one links to exists.
    local = {link.split("#")[0] for link in state["links"] if link.startswith("file://")}
    missing = [link for link in sorted(local) if not pathlib.Path(unquote(link.removeprefix("file://"))).exists()]
    assert missing == []


def test_gallery_shows_what_the_demo_prints_and_plots(browser):
    state = visit(browser, "gallery/demo.html")
    assert any("observed orders match h^(degree + 1)" in output for output in state["outputs"])
    assert any("sphx_glr_demo_001" in image["src"] for image in state["images"])


def test_api_page_has_an_entry_for_every_public_name_method_and_attribute(browser):
    ids = set(visit(browser, "api.html")["ids"])
    expected = {f"quorvel.{name}" for name in quorvel.__all__}
    for name in quorvel.__all__:
        value = getattr(quorvel, name)
        if isinstance(value, type):
            expected |= {f"quorvel.{name}.{member}" for member in vars(value) if not member.startswith("_")}
    assert sorted(expected - ids) == []
