#!/usr/bin/env python3
"""Opens report pages in headless Chromium and prints what a reader of each would find.

    html_page.py SCREENSHOT_DIR PAGE.html...

For every page, after its script has finished (body[data-state] set), one line per finding,
fields separated by tabs:
    page      <path>
    state     <drawn | failed | unfinished>
    title     <document title>
    console   <level> <message>           every console message
    request   <url>                       every request the page made, itself included
    reference <attribute> <value>         every src and href attribute
    chart     <id> <data-points> <drawn paths> <circles>
    notice    <id> <text>
    cell      <table id> <row label> <value>...
    hover     <chart id> <tooltip text>   with the pointer over the middle of each chart
    print     <chart id> <visible|hidden> <tooltip|no-tooltip>   under the print style sheet,
                                          as if the pointer were over the chart
and a full-page screenshot SCREENSHOT_DIR/<page name>.png. The browser starts once, with a
fresh profile and nothing that would reach the network; the exit status is 0 unless it could
not start. A page that does not finish drawing in time gets the state "unfinished".
"""
import json
import os
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

DRAW_TIMEOUT_SECONDS = 30
WIDTH = 1200

FLAGS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--no-first-run',
         '--disable-default-apps', '--disable-extensions', f'--window-size={WIDTH},900']

# What the page shows, read in one script so that the findings belong to one moment.
READ_PAGE = """
const text = e => e.textContent.replace(/\\s+/g, ' ').trim();
const out = {title: document.title, state: document.body.dataset.state || '', charts: [],
             notices: [], cells: [], references: []};
for (const f of document.querySelectorAll('figure.chart')) {
  const paths = [...f.querySelectorAll('.series path')].filter(p => p.getAttribute('d'));
  out.charts.push([f.id, f.dataset.points, paths.length,
                   f.querySelectorAll('.series circle').length]);
}
for (const n of document.querySelectorAll('.notice')) {
  if (!n.hidden && n.id) out.notices.push([n.id, text(n)]);
}
for (const t of document.querySelectorAll('table')) {
  for (const row of t.querySelectorAll('tr')) {
    out.cells.push([t.id, ...[...row.children].map(text)]);
  }
}
for (const e of document.querySelectorAll('[src], [href]')) {
  for (const a of ['src', 'href']) {
    if (e.hasAttribute(a)) out.references.push([a, e.getAttribute(a)]);
  }
}
return out;
"""

READ_PRINT = """
return [...document.querySelectorAll('figure.chart')].map(f => {
  f.classList.add('hovering');  // as if the pointer were over it
  const svg = f.querySelector('svg');
  const shown = e => e && getComputedStyle(e).display !== 'none' &&
      e.getBoundingClientRect().height > 0;
  const found = [f.id, shown(svg) ? 'visible' : 'hidden',
                 shown(f.querySelector('.tooltip')) ? 'tooltip' : 'no-tooltip'];
  f.classList.remove('hovering');
  return found;
});
"""


def emit(*fields):
    print('\t'.join(str(f).replace('\t', ' ').replace('\n', ' ') for f in fields))


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in FLAGS + [f'--user-data-dir={profile}']:
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL', 'performance': 'ALL'})
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


# Every request of the page's document, and any other that is not the browser's own (its
# new-tab page loads chrome:// and data: resources on its own).
def requests_made(driver, page_url):
    urls = []
    for entry in driver.get_log('performance'):
        message = json.loads(entry['message'])['message']
        if message.get('method') != 'Network.requestWillBeSent':
            continue
        url = message['params']['request']['url']
        own = url.startswith(('chrome://', 'chrome-untrusted://', 'data:'))
        if message['params'].get('documentURL') == page_url or not own:
            urls.append(url)
    return urls


def hover_each_chart(driver):
    for figure in driver.find_elements(By.CSS_SELECTOR, 'figure.chart'):
        areas = figure.find_elements(By.CSS_SELECTOR, '.hover-area')
        if not areas:
            continue
        driver.execute_script('arguments[0].scrollIntoView({block: "center"})', figure)
        ActionChains(driver).move_to_element(areas[0]).perform()
        tooltip = figure.find_element(By.CSS_SELECTOR, '.tooltip')
        shown = tooltip.text if tooltip.is_displayed() else ''
        emit('hover', figure.get_attribute('id'), shown)
        ActionChains(driver).move_to_element(figure.find_element(By.TAG_NAME, 'figcaption')).perform()


def screenshot(driver, path):
    driver.execute_script('window.scrollTo(0, 0)')
    height = driver.execute_script('return document.documentElement.scrollHeight')
    driver.set_window_size(WIDTH, max(600, min(int(height) + 40, 16000)))
    driver.save_screenshot(path)
    driver.set_window_size(WIDTH, 900)


def inspect(driver, page, screenshot_dir):
    driver.get_log('performance')  # what earlier pages left
    driver.get_log('browser')
    url = 'file://' + os.path.abspath(page)
    driver.get(url)
    emit('page', page)
    try:
        WebDriverWait(driver, DRAW_TIMEOUT_SECONDS).until(
            lambda d: d.execute_script('return document.body && document.body.dataset.state'))
    except TimeoutException:
        emit('state', 'unfinished')
        report_console(driver)
        return
    found = driver.execute_script(READ_PAGE)
    emit('state', found['state'])
    emit('title', found['title'])
    for url in requests_made(driver, url):
        emit('request', url)
    for kind, value in found['references']:
        emit('reference', kind, value)
    for chart in found['charts']:
        emit('chart', *chart)
    for notice in found['notices']:
        emit('notice', *notice)
    for cell in found['cells']:
        emit('cell', *cell)
    hover_each_chart(driver)
    name = os.path.splitext(os.path.basename(page))[0]
    screenshot(driver, os.path.join(screenshot_dir, name + '.png'))
    driver.execute_cdp_cmd('Emulation.setEmulatedMedia', {'media': 'print'})
    for chart in driver.execute_script(READ_PRINT):
        emit('print', *chart)
    driver.execute_cdp_cmd('Emulation.setEmulatedMedia', {'media': ''})
    report_console(driver)


def report_console(driver):
    for entry in driver.get_log('browser'):
        emit('console', entry['level'], entry['message'])


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory(prefix='kelv-chromium-') as profile:
        driver = start_browser(profile)
        try:
            for page in sys.argv[2:]:
                inspect(driver, page, sys.argv[1])
        finally:
            driver.quit()


if __name__ == '__main__':
    main()
