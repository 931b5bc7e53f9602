"""The built site in a real headless browser: the index renders, the navigation reaches the
API reference, and a gallery page shows its pictures.

Needs Debian's ``chromium`` and ``chromium-driver`` and Selenium from the ``docs`` extra; the
browser is the distribution's, driven through the driver's path, never a downloaded build.
Without them the test fails and says what to install.
"""

import os
import pathlib
import shutil

import pytest

HINT = ("the browser test needs Chromium and its driver from the distribution: "
        "`apt-get update && apt-get install -y chromium chromium-driver`, and Selenium: "
        "`pip install \".[docs]\"`")


def _find(*names):
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    return None


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        pytest.fail(f"{HINT} ({e})")
    binary = os.environ.get("VELTRIX_CHROMIUM") or _find("chromium", "chromium-browser")
    driver = os.environ.get("VELTRIX_CHROMEDRIVER") or _find("chromedriver")
    if not (binary and os.path.exists(binary) and driver and os.path.exists(driver)):
        pytest.fail(f"{HINT} (found browser: {binary}, driver: {driver})")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,1000",
                f"--user-data-dir={tmp_path_factory.mktemp('chromium-profile')}"):
        options.add_argument(arg)
    session = webdriver.Chrome(service=Service(executable_path=driver), options=options)
    session.set_page_load_timeout(60)
    yield session
    session.quit()


def _open(browser, path: pathlib.Path):
    browser.get(path.resolve().as_uri())
    return browser


def test_index_renders_and_reaches_api(browser, site, tmp_path):
    from selenium.webdriver.common.by import By

    _open(browser, site / "index.html")
    assert "veltrix" in browser.title
    heading = browser.find_element(By.TAG_NAME, "h1")
    assert heading.is_displayed() and heading.text.startswith("veltrix")
    # Styles loaded: the theme lays the header out as a flex row.
    nav = browser.find_element(By.CSS_SELECTOR, "nav, header")
    assert nav.value_of_css_property("display") in ("flex", "block", "grid")
    links = [a for a in browser.find_elements(By.TAG_NAME, "a")
             if a.is_displayed() and a.text.strip() == "API reference"]
    assert links, "no visible link to the API reference on the index page"
    links[0].click()
    assert browser.current_url.endswith("/api.html")
    browser.find_element(By.LINK_TEXT, "veltrix.spatial").click()
    entry = browser.find_element(By.ID, "veltrix.spatial.KDTree.query")
    assert "query" in entry.text and entry.is_displayed()
    browser.save_screenshot(str(tmp_path / "api.png"))


def test_gallery_images_present(browser, site, tmp_path):
    from selenium.webdriver.common.by import By

    _open(browser, site / "auto_examples" / "index.html")
    thumbs = browser.find_elements(By.CSS_SELECTOR, ".sphx-glr-thumbcontainer")
    assert len(thumbs) >= 4
    _open(browser, site / "auto_examples" / "plot_density_iris.html")
    images = [img for img in browser.find_elements(By.TAG_NAME, "img")
              if "sphx_glr_plot_density_iris" in (img.get_attribute("src") or "")]
    assert images, "the gallery page shows no figure"
    for img in images:
        browser.execute_script("arguments[0].scrollIntoView();", img)
        loaded = browser.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth;", img)
        assert loaded and loaded > 100, f"{img.get_attribute('src')} did not load"
        assert img.size["width"] > 100 and img.size["height"] > 100
    browser.save_screenshot(str(tmp_path / "gallery.png"))
    shot = tmp_path / "gallery.png"
    assert shot.stat().st_size > 10_000
