// Walks the demo mall in headless Chromium, with scripts off, as people would use it.
// A shopper: the store list, a store, a department, a product with its choices into the cart,
// a changed quantity, a second product, the whole check-out with a card to the confirmation,
// and the order looked up again with its number and e-mail address; then searches, the tea
// house's own store pages, a download, a department without web orders, the error page and
// the diagnostics page. A signed-in member: saved details, member prices, a purchase order
// looked up with the user id, an order above the store's limit, and a cancelled order. Then
// the host's own answers: a page that is not there, a cancelled sign-in, files fetched again
// with their validators (304) and the favicon.
//
// Every page is checked for what a person sees on it, the mall's name and cart links,
// unfilled template names, broken pictures and links, form fields without a label and a
// layout wider than a phone; its HTML as served and its screenshots go to the output folder.
//
//   node walk.mjs --base http://127.0.0.1:PORT/ --out DIR
//
// DIR/pages/NN-name.html  the page as hostd sent it (run.sh hands each to tidy)
// DIR/screenshots/NN-name.png and NN-name-phone.png
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const MALL = 'Shopvera Web Mall';
const CANCEL_URL_PART = 'CMD=killorder';
const NO_ORDER = 'You have no order in progress';  // message 45 of the shipped kvzsvw.mcv
const PHONE = { width: 390, height: 844 };
const DESKTOP = { width: 1280, height: 900 };

function option(name) {
  const i = process.argv.indexOf(name);
  if (i < 0 || i + 1 >= process.argv.length) throw new Error(`walk.mjs wants ${name}`);
  return process.argv[i + 1];
}

const base = option('--base');
const out = option('--out');
const origin = new URL(base).origin;
const mall = new URL('webmall', base).href;
fs.mkdirSync(path.join(out, 'pages'), { recursive: true });
fs.mkdirSync(path.join(out, 'screenshots'), { recursive: true });

let pageCount = 0;
const problems = [];  // faults of a page that do not stop the walk; reported at the end

// A check whose failure is reported at the end, so one walk finds every such fault.
function check(condition, message) {
  if (!condition) {
    problems.push(message);
    console.error(`FAULT ${message}`);
  }
}
const checkedUrls = new Map();  // URL -> status, shared by every page's link check

// The text a person sees on the page, with runs of blanks made one.
async function visibleText(page) {
  return (await page.locator('body').innerText()).replace(/[ \t]+/g, ' ');
}

// Asserts that each text is visible somewhere on the page.
async function sees(page, ...texts) {
  const text = await visibleText(page);
  for (const t of texts) {
    if (t instanceof RegExp) assert.match(text, t, `page ${page.url()} should show ${t}`);
    else assert.ok(text.includes(t), `page ${page.url()} should show "${t}"; it shows:\n${text}`);
  }
}

async function doesNotSee(page, ...texts) {
  const text = await visibleText(page);
  for (const t of texts) assert.ok(!text.includes(t), `page ${page.url()} should not show "${t}"`);
}

async function heading(page) {
  return (await page.locator('h1').first().innerText()).trim();
}

// Every check a page gets, whatever it is.
async function checkPage(page, name, cart) {
  // The page frame: the mall's name and the cart links.
  const header = page.locator('header');
  assert.equal((await header.locator('.mall-name').innerText()).trim(), MALL, `${name}: mall name`);
  const links = (await header.locator('.cart-links').innerText()).replace(/\s+/g, ' ');
  if (cart === 'order') {
    assert.match(links, /View cart/, `${name}: cart links of a shopper with an order`);
    assert.match(links, /Check out/, `${name}: check-out link`);
    assert.match(links, /Cancel order/, `${name}: cancel link`);
    assert.equal(await header.locator('a', { hasText: 'Check out' }).count(), 1, `${name}: check out is a link`);
  } else if (cart === 'empty') {
    assert.match(links, /Your cart is empty/, `${name}: cart links of a shopper without an order`);
    assert.equal(await header.locator('a', { hasText: 'Check out' }).count(), 0,
      `${name}: no check-out link without an order`);
  } else {
    assert.match(links, /cart/i, `${name}: a cart link`);
  }

  // No token of a template is left unfilled where a person sees it or where a link goes.
  const text = await visibleText(page);
  const token = /_[A-Za-z][A-Za-z0-9]*_/;
  check(!token.test(text), `${name}: an unfilled template token in the text: ${text.match(token)}`);
  const targets = await page.$$eval('a[href], img[src], form[action]', els =>
    els.map(e => e.getAttribute('href') ?? e.getAttribute('src') ?? e.getAttribute('action')));
  for (const t of targets) check(!token.test(t), `${name}: an unfilled token in ${t}`);
  check(!text.includes('Unable to open script'), `${name}: a template is missing`);

  // Every picture shown has loaded and has a text alternative (empty for decoration). A
  // picture that the record leaves out comes with an empty src, and then must not show.
  const images = await page.$$eval('img', imgs => imgs.map(i => ({
    src: i.getAttribute('src'), url: i.currentSrc, loaded: i.complete && i.naturalWidth > 0,
    alt: i.hasAttribute('alt'), shown: getComputedStyle(i).display !== 'none',
  })));
  for (const img of images) {
    if (img.src === '') {
      check(!img.shown, `${name}: a picture without a file shows`);
      continue;
    }
    check(img.loaded && img.shown, `${name}: picture ${img.url} did not load`);
    check(img.alt, `${name}: picture ${img.url} has no alt text`);
  }
  // Background pictures of the mall and the store are files that answer too.
  const backgrounds = await page.$$eval('[style*="url("]', els => els.map(e => {
    const m = /url\(['"]?([^'")]*)['"]?\)/.exec(e.getAttribute('style'));
    return m && m[1] ? new URL(m[1], document.baseURI).href : null;
  }).filter(Boolean));
  for (const url of backgrounds) {
    const r = await page.request.get(url);
    check(r.status() === 200 && /^image\//.test(r.headers()['content-type'] ?? ''),
      `${name}: background ${url} answers ${r.status()} ${r.headers()['content-type']}`);
  }

  // Every form field has a label a screen reader can read.
  const unlabelled = await page.$$eval('input, select, textarea', els => els
    .filter(e => e.type !== 'hidden' && e.type !== 'submit' && !(e.labels && e.labels.length) &&
      !e.getAttribute('aria-label'))
    .map(e => e.name || e.id));
  check(unlabelled.length === 0, `${name}: form fields without a label: ${unlabelled.join(', ')}`);

  // Every link of the mall's own site answers, and a link of the mall does not end on its
  // error page, except where the page frame's fixed cart links meet a shopper without an order.
  // The cancel link is left to the walk, which follows it once the order it would throw away
  // is no longer needed. The sign-in link asks a shopper without credentials for them: 401
  // with a Basic challenge.
  const here = new URL(page.url());
  here.hash = '';
  const hrefs = await page.$$eval('a[href]', as => as.map(a => a.href));
  for (const href of hrefs) {
    const url = new URL(href);
    if (url.origin !== origin) continue;
    const fragment = url.hash !== '';
    url.hash = '';
    const key = url.href;
    if ((fragment && key === here.href) || key.includes(CANCEL_URL_PART) || checkedUrls.has(key)) continue;
    const r = await page.request.get(key, { maxRedirects: 0 });
    checkedUrls.set(key, r.status());
    const challenge = r.status() === 401 && key.includes('CMD=logon') &&
      /^Basic /.test(r.headers()['www-authenticate'] ?? '');
    check(r.status() === 200 || challenge, `${name}: link ${key} answers ${r.status()}`);
    if (url.pathname.startsWith('/webmall') && !challenge) {
      const body = await r.text();
      check(!body.includes('Unable to open script'), `${name}: link ${key} names a missing template`);
      const error = /<p class="error" role="alert">([\s\S]*?)<\/p>/.exec(body);
      check(!error || error[1].includes(NO_ORDER), `${name}: link ${key} ends on the error page: ${error?.[1]}`);
    }
  }

  // The layout fits a phone's width: nothing makes the page scroll sideways.
  await page.setViewportSize(PHONE);
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  check(overflow <= 0, `${name}: ${overflow} pixels wider than a phone's screen`);
  // A currency sign stays with its amount, whatever the layout does with the table cells.
  const apart = await page.$$eval('.currency', els => els.filter(e => e.textContent !== '').map(e => {
    const next = e.nextSibling;
    if (!next || next.nodeType !== Node.TEXT_NODE) return 0;
    const range = document.createRange();
    range.setStart(next, 0);  // the amount's first digit
    range.setEnd(next, Math.min(1, next.length));
    const a = e.getBoundingClientRect(), b = range.getBoundingClientRect();
    return Math.abs(b.left - a.right) + Math.abs(b.top - a.top);
  }).filter(d => d > 6));
  check(apart.length === 0, `${name}: a currency sign stands apart from its amount on a phone (${apart.join(', ')} px)`);
}

// Runs one step that ends on a new page: saves the page as served, checks it, takes the
// screenshots. action() starts the navigation; it returns the page's response.
async function step(page, name, cart, action) {
  await page.setViewportSize(DESKTOP);
  const [response] = await Promise.all([
    page.waitForNavigation({ waitUntil: 'load' }),
    action(),
  ]);
  assert.ok(response, `${name}: no page came`);
  assert.equal(response.status(), 200, `${name}: status`);
  assert.match(response.headers()['content-type'] ?? '', /text\/html/, `${name}: content type`);
  const file = `${String(++pageCount).padStart(2, '0')}-${name}`;
  fs.writeFileSync(path.join(out, 'pages', `${file}.html`), await response.body());
  await page.screenshot({ path: path.join(out, 'screenshots', `${file}.png`), fullPage: true });
  await checkPage(page, name, cart);
  await page.screenshot({ path: path.join(out, 'screenshots', `${file}-phone.png`), fullPage: true });
  await page.setViewportSize(DESKTOP);
  console.log(`ok ${pageCount} ${name}: ${await page.title()}`);
}

const go = (page, query) => () => page.goto(`${mall}?${query}`);
const click = (locator) => () => locator.click();

// An amount the page shows, as a number.
async function amount(page, selector) {
  return Number((await page.locator(selector).first().innerText()).replace(/[^0-9.-]/g, ''));
}

async function shopperWalk(context) {
  const page = await context.newPage();
  page.setDefaultTimeout(10000);

  await step(page, 'store-list', 'empty', go(page, 'CMD=storelist'));
  assert.equal(await heading(page), 'Stores');
  await sees(page, 'Oak & Barn Outfitters', 'Kettle & Leaf Tea House', 'Byte Bay Electronics',
    'Northlight Print Gallery');

  await step(page, 'store', 'empty', click(page.getByRole('link', { name: 'Oak & Barn Outfitters' })));
  assert.equal(await heading(page), 'Oak & Barn Outfitters');
  await sees(page, 'Dana Whitfield', '1410 Alder Street', 'Bend, OR 97701', '541-555-0142',
    'oakbarn@shopvera.example');

  await step(page, 'departments', 'empty', click(page.getByRole('link', { name: 'Browse the departments' })));
  await sees(page, 'Departments', 'Jackets & Shells', 'Boots & Socks', 'Camp Kitchen', 'Gear Rental');

  await step(page, 'department', 'empty', click(page.getByRole('link', { name: 'Jackets & Shells' })));
  assert.equal(await heading(page), 'Jackets & Shells');
  await sees(page, 'Ridgeline Down Parka', '249.00', 'Stormbreak 3L Rain Shell', '129.00');

  await step(page, 'product', 'empty', click(page.getByRole('link', { name: 'Ridgeline Down Parka' }).first()));
  assert.equal(await heading(page), 'Ridgeline Down Parka');
  await sees(page, '249.00', 'Rated to -20');
  assert.equal(await page.locator('.product-pictures img').count() >= 1, true, 'product: its picture');
  // The size and colour choices, then a quantity.
  assert.equal(await page.getByLabel('Quantity').getAttribute('min'), '1', 'product: at least one unit');
  assert.equal(await page.getByLabel('Quantity').getAttribute('type'), 'number', 'product: a number field');
  await sees(page, '$249.00');
  await page.getByLabel('M', { exact: true }).check();
  await page.getByLabel('Navy', { exact: true }).check();
  await page.getByLabel('Quantity').fill('2');
  await step(page, 'added', 'order', click(page.getByRole('button', { name: 'Put in my order' })));
  assert.equal(await heading(page), 'Your order was updated');
  await doesNotSee(page, 'Item Added to order');

  await step(page, 'cart', 'order', click(page.getByRole('link', { name: 'Back to your cart' })));
  assert.equal(await heading(page), 'Your cart');
  await sees(page, 'Ridgeline Down Parka', 'M / Navy', '498.00');
  const row = page.locator('tbody tr', { hasText: 'Ridgeline Down Parka' });
  await row.getByLabel('Quantity').fill('1');
  await step(page, 'changed', 'order', click(row.getByRole('button', { name: 'Change' })));
  assert.equal(await heading(page), 'Your order was updated');
  await doesNotSee(page, 'Item Added to order');
  await step(page, 'cart-changed', 'order', click(page.getByRole('link', { name: 'Back to your cart' })));
  await sees(page, 'Ridgeline Down Parka', '249.00');
  assert.equal(await page.locator('tfoot .amount').innerText(), '$249.00', 'cart: the new subtotal');

  // A second product, from another department, without pictures.
  await step(page, 'camp', 'order', go(page, 'CMD=prodlist&SID=OAKBARN&DID=CAMP'));
  await step(page, 'mug', 'order', click(page.getByRole('link', { name: 'Enamel Camp Mug' }).first()));
  assert.equal(await heading(page), 'Enamel Camp Mug');
  await page.getByLabel('Rust', { exact: true }).check();
  await page.getByLabel('Quantity').fill('3');
  await step(page, 'mug-added', 'order', click(page.getByRole('button', { name: 'Put in my order' })));
  await step(page, 'cart-two', 'order', click(page.getByRole('link', { name: 'Back to your cart' })));
  await sees(page, 'Enamel Camp Mug', 'Rust', '37.50');
  assert.equal(await page.locator('tfoot .amount').innerText(), '$286.50', 'cart: subtotal of two lines');

  // Check-out: the billing details.
  await step(page, 'details', 'order', click(page.locator('header').getByRole('link', { name: 'Check out' })));
  assert.equal(await heading(page), 'Your details');
  await fillBilling(page, { name: 'Robin Park', street: '77 Larch Way', city: 'Spokane', state: 'WA',
    zip: '99201', country: 'USA', phone: '509-555-0199' });
  await step(page, 'shipping', 'order', click(page.getByRole('button', { name: 'Continue' })));
  await sees(page, 'UPS Ground, 3 to 5 days', 'Two-day air', 'Pick up at the Bend store',
    /\$\d+\.\d\d for the first lb, then \$\d+\.\d\d per further lb/);
  await doesNotSee(page, 'handling charged', 'unit of weight');
  await page.getByLabel(/UPS Ground/).check();

  await step(page, 'payment', 'order', click(page.getByRole('button', { name: 'Continue' })));
  await sees(page, 'Visa', 'MasterCard');
  await page.getByLabel('Visa').check();
  await step(page, 'card', 'order', click(page.getByRole('button', { name: 'Continue' })));
  await sees(page, 'Pay by Visa');
  const expiry = new Date();
  const yy = String((expiry.getFullYear() + 2) % 100).padStart(2, '0');
  await page.getByLabel('Name on the card').fill('Robin Park');
  await page.getByLabel('Card number').fill('4111111111111111');
  await page.getByLabel('Expiry (MM/YY)').fill(`12/${yy}`);
  await page.getByLabel('Billing street address').fill('77 Larch Way');
  await page.getByLabel('Billing postal code').fill('99201');
  await page.getByLabel('Card number').fill('4111111111111112');
  await step(page, 'card-refused', 'fixed', click(page.getByRole('button', { name: 'Continue to the totals' })));
  assert.equal(await heading(page), 'Sorry');
  await sees(page, 'The card number was not accepted', 'Back button to the card form');
  assert.equal(await page.locator('.ways-on a', { hasText: 'Your cart' }).count(), 1, 'card refused: a way to the cart');
  assert.equal(await page.locator('.ways-on a', { hasText: 'Browse the stores' }).count(), 1, 'card refused: the stores');
  await page.goBack();
  await sees(page, 'Pay by Visa');
  assert.equal(await page.getByLabel('Name on the card').inputValue(), 'Robin Park', 'card form: kept after Back');
  await page.getByLabel('Card number').fill('4111111111111111');

  await step(page, 'totals', 'order', click(page.getByRole('button', { name: 'Continue to the totals' })));
  await sees(page, 'Robin Park', '77 Larch Way', 'Spokane', 'Visa', 'Ridgeline Down Parka',
    'Enamel Camp Mug', 'UPS Ground');
  const subtotal = await amount(page, '.order-totals .subtotal');
  const shipping = await amount(page, '.order-totals .shipping');
  const handling = await amount(page, '.order-totals .handling');
  const tax = await amount(page, '.order-totals .tax');
  const total = await amount(page, '.order-totals .total');
  assert.equal(subtotal, 286.5, 'totals: subtotal');
  assert.ok(shipping > 0, 'totals: shipping by weight');
  // Washington's 6.5 % on the taxable lines: both are taxable.
  assert.equal(tax, Math.round(286.5 * 6.5) / 100, 'totals: tax');
  assert.equal(Math.round((subtotal + shipping + handling + tax) * 100), Math.round(total * 100),
    'totals: the total adds up');

  await page.getByLabel('How did you hear about Oak & Barn?').fill('A friend');
  await page.getByLabel(/e-mail address/).fill('robin.park@example.com');
  await step(page, 'confirmation', 'empty', click(page.getByRole('button', { name: 'Place the order' })));
  assert.equal(await heading(page), 'Thank you for your order');
  const invoice = (await page.locator('.invoice-number').innerText()).trim();
  assert.match(invoice, /^\d+$/, 'confirmation: an order number');
  await sees(page, 'robin.park@example.com', 'Looking your order up again', 'OAKBARN',
    'Reloading this page or going back does not place the order a second time.');

  // Back to the totals and "Place the order" once more: nothing is ordered twice, and the page
  // tells the shopper that the order went through and how to find it.
  await page.goBack();
  await sees(page, 'Place the order');
  await step(page, 'placed-again', 'fixed', click(page.getByRole('button', { name: 'Place the order' })));
  await sees(page, 'You have no order in progress.', 'If you have just placed an order, it has been received');

  // The order again, with its number and the e-mail address.
  await step(page, 'review-form', 'empty', go(page, `CMD=review&SID=OAKBARN&OID=${invoice}`));
  assert.equal(await heading(page), 'Look up an order');
  assert.equal(await page.getByLabel('Order number').inputValue(), invoice, 'review form: the number is filled in');
  await page.getByLabel(/Order password/).fill('robin.park@example.com');
  await step(page, 'review', 'empty', click(page.getByRole('button', { name: 'Show the order' })));
  assert.equal(await heading(page), `Order ${invoice}`);
  await sees(page, 'SUBMITTED', 'Robin Park', 'Ridgeline Down Parka', 'Enamel Camp Mug', 'Visa',
    'A friend', total.toFixed(2));
  assert.equal(await amount(page, '.order-totals .total'), total, 'review: the same total');

  // A search of the whole mall.
  await step(page, 'stores-again', 'empty', click(page.locator('header .mall-name')));
  await step(page, 'search-form', 'empty', click(page.getByRole('link', { name: 'Search the whole mall' })));
  assert.equal(await heading(page), 'Search the mall');
  await page.getByLabel(/keywords begin with/).fill('tea');
  await step(page, 'search-results', 'empty', click(page.getByRole('button', { name: 'Search' })));
  await sees(page, 'Products for', 'TEA', 'Sold by store KETTLE');
  assert.ok(await page.locator('.entry').count() > 0, 'search: some products found');
  await doesNotSee(page, 'Oak & Barn');
  // Every tea of the tea house answers to "tea", on this page and the next ones.
  const teas = new Set(await page.locator('.entry h2').allInnerTexts());
  while (await page.getByRole('link', { name: 'More results' }).count()) {
    await page.getByRole('link', { name: 'More results' }).click();
    for (const t of await page.locator('.entry h2').allInnerTexts()) teas.add(t);
  }
  for (const tea of ['Uji Sencha', 'Earl Grey Supreme', 'Assam TGFOP, Harmutty Estate'])
    assert.ok(teas.has(tea), `search: "tea" finds ${tea}; it found ${[...teas].join(', ')}`);


  // The tea house has its own copies of its store pages.
  await step(page, 'tea-store', 'empty', go(page, 'CMD=storeinfo&SID=KETTLE'));
  assert.equal(await heading(page), 'Kettle & Leaf Tea House');
  await sees(page, 'Visit the tea room', 'Hana Kobayashi', '512 SE Division Street');
  await step(page, 'tea-departments', 'empty', click(page.getByRole('link', { name: 'Browse the departments' })));
  await sees(page, 'Visit the tea room', 'Loose-Leaf Teas', 'Teaware', 'Gifts');
  await step(page, 'teas', 'empty', click(page.getByRole('link', { name: 'Loose-Leaf Teas' })));
  await sees(page, 'Brewing tip', 'Earl Grey Supreme', 'Uji Sencha');
  // ... and a search of one department.
  await step(page, 'teas-search-form', 'empty', click(page.getByRole('link', { name: 'Search this department' })));
  assert.ok(await page.getByLabel('This department').isChecked(), 'department search: this department first');
  await page.getByLabel(/keywords begin with/).fill('earl');
  await step(page, 'teas-search-results', 'empty', click(page.getByRole('button', { name: 'Search' })));
  await sees(page, 'Earl Grey Supreme');
  await doesNotSee(page, 'Uji Sencha');

  // A product delivered as a download, with one picture of three.
  await step(page, 'software', 'empty', go(page, 'CMD=prodlist&SID=BYTEBAY&DID=SOFTWARE'));
  await step(page, 'download', 'empty', click(page.getByRole('link', { name: 'PhotoKit 5 Photo Editor' }).first()));
  assert.equal(await heading(page), 'PhotoKit 5 Photo Editor');
  await sees(page, '49.00');

  // A department that takes no orders on the web: its products have no order form, and an
  // order sent all the same is answered with the store's notice.
  await step(page, 'rental', 'empty', go(page, 'CMD=prodinfo&SID=OAKBARN&DID=RENTALS&PID=TENT-4P'));
  assert.equal(await heading(page), 'Four-Person Tent, Weekend Rental');
  assert.equal(await page.getByRole('button', { name: 'Put in my order' }).count(), 0, 'rental: no order form');
  await step(page, 'rental-order', 'fixed', go(page, 'CMD=order&SID=OAKBARN&DID=RENTALS&PID=TENT-4P&OrderQuant=1'));
  assert.equal(await heading(page), 'This product cannot be ordered here');
  await sees(page, 'This department takes no orders on the web.');

  // The cart of a shopper without an order is the error page.
  await step(page, 'no-order', 'fixed', go(page, 'CMD=shopcart'));
  assert.equal(await heading(page), 'Sorry');
  await sees(page, 'You have no order in progress.', 'If you have just placed an order, it has been received');

  // What the mall sees of this browser.
  await step(page, 'diagnostics', 'fixed', go(page, 'CMD=debug'));
  await sees(page, 'Diagnostics', '127.0.0.1');
  assert.equal(await page.locator('dt:has-text("Order in progress") + dd').innerText(), 'No');
  await page.close();
}

// Fills the billing part of the details form.
async function fillBilling(page, who) {
  await page.locator('#bname').fill(who.name);
  await page.locator('#baddr1').fill(who.street);
  await page.locator('#bcity').fill(who.city);
  await page.locator('#bstate').fill(who.state);
  await page.locator('#bzip').fill(who.zip);
  await page.locator('#bcountry').fill(who.country);
  await page.locator('#bphone').fill(who.phone);
}

// From the cart links to the totals: the saved details, a shipping method and a way to pay
// that needs no card; returns after the way to pay was sent.
async function checkOutAsMember(page, prefix, who, shipping, payment) {
  await step(page, `${prefix}-details`, 'order', click(page.locator('header').getByRole('link', { name: 'Check out' })));
  assert.equal(await page.locator('#bname').inputValue(), who.name, `${prefix}: the saved details are filled in`);
  assert.equal(await page.locator('#bcity').inputValue(), who.city, `${prefix}: the saved city`);
  await step(page, `${prefix}-shipping`, 'order', click(page.getByRole('button', { name: 'Continue' })));
  await page.getByLabel(shipping).check();
  await step(page, `${prefix}-payment`, 'order', click(page.getByRole('button', { name: 'Continue' })));
  await page.getByLabel(payment, { exact: true }).check();
}

async function memberWalk(context) {
  const page = await context.newPage();
  page.setDefaultTimeout(10000);
  const member = { name: 'Morgan Lee', street: '9 Harbour Road', city: 'Seattle', state: 'WA', zip: '98101',
    country: 'USA', phone: '206-555-0100' };

  await step(page, 'signed-in', 'fixed', go(page, 'CMD=logon'));
  assert.equal(await heading(page), 'Welcome, member');
  assert.equal((await page.locator('footer .signed-in').innerText()).trim(), 'Signed in as member');

  // Details kept for the next check-outs.
  await step(page, 'saved-details-form', 'empty',
    click(page.getByRole('link', { name: 'Your saved billing and shipping details' })));
  await fillBilling(page, member);
  await step(page, 'saved-details', 'empty', click(page.getByRole('button', { name: 'Continue' })));
  assert.equal(await heading(page), 'Your details are saved');

  // A store search, and the member price of a club member.
  await step(page, 'member-store', 'empty', go(page, 'CMD=deptlist&SID=BYTEBAY'));
  await step(page, 'store-search-form', 'empty', click(page.getByRole('link', { name: 'Search this store' })));
  assert.ok(await page.getByLabel('This store').isChecked(), 'store search: this store first');
  await page.getByLabel(/keywords begin with/).fill('ear');
  await step(page, 'store-search-results', 'empty', click(page.getByRole('button', { name: 'Search' })));
  await step(page, 'member-price', 'empty',
    click(page.getByRole('link', { name: 'Wavelet X2 Wireless Earbuds' }).first()));
  await sees(page, '69.00');
  await doesNotSee(page, '79.00');

  // A product with three pictures, an abstract and a sound clip.
  await step(page, 'full-product', 'empty', go(page, 'CMD=prodinfo&SID=BYTEBAY&DID=AUDIO&PID=STUDIO+S1'));
  assert.equal(await heading(page), 'Studio S1 Closed-Back Headphones');
  await sees(page, '129.00', 'Abstract', 'Sound');
  assert.equal(await page.locator('.product-pictures img:visible').count(), 3, 'full product: three pictures');

  // The club's gallery, paid by purchase order, looked up again with the user id.
  await step(page, 'prints', 'empty', go(page, 'CMD=prodlist&SID=NLIGHT&DID=PRINTS'));
  await step(page, 'print', 'empty',
    click(page.getByRole('link', { name: 'Aurora over Lofoten, Edition of 50' }).first()));
  await page.locator('fieldset.formats').nth(0).getByRole('radio').first().check();
  await page.locator('fieldset.formats').nth(1).getByRole('radio').first().check();
  await page.getByLabel('Quantity').fill('1');
  await step(page, 'print-added', 'order', click(page.getByRole('button', { name: 'Put in my order' })));
  await checkOutAsMember(page, 'print', member, /Tracked post/, 'Purchase order');
  await step(page, 'purchase-order', 'order', click(page.getByRole('button', { name: 'Continue' })));
  assert.equal(await heading(page), 'Pay by purchase order');
  await page.getByLabel('Purchase-order number').fill('PO-2231');
  await step(page, 'print-totals', 'order', click(page.getByRole('button', { name: 'Continue to the totals' })));
  await sees(page, 'Morgan Lee', 'Purchase order', 'Aurora over Lofoten', 'Tracked post',
    'You can look this order up later with your user id.');
  const total = await amount(page, '.order-totals .total');
  await step(page, 'print-confirmation', 'empty', click(page.getByRole('button', { name: 'Place the order' })));
  const invoice = (await page.locator('.invoice-number').innerText()).trim();
  assert.equal((await page.locator('.order-password').innerText()).trim(), 'member');
  await step(page, 'print-review-form', 'empty', click(page.getByRole('link', { name: 'Look up this order' })));
  await page.getByLabel(/Order password/).fill('member');
  await step(page, 'print-review', 'empty', click(page.getByRole('button', { name: 'Show the order' })));
  assert.equal(await heading(page), `Order ${invoice}`);
  await sees(page, 'Aurora over Lofoten', 'Purchase order', 'Morgan Lee');
  assert.equal(await amount(page, '.order-totals .total'), total, 'print review: the same total');

  // An order above the store's limit is refused; the shopper then cancels it.
  await step(page, 'parkas', 'empty', go(page, 'CMD=prodinfo&SID=OAKBARN&DID=JACKETS&PID=RIDGE+PARKA'));
  await page.getByLabel('L', { exact: true }).check();
  await page.getByLabel('Forest', { exact: true }).check();
  await page.getByLabel('Quantity').fill('11');
  await step(page, 'parkas-added', 'order', click(page.getByRole('button', { name: 'Put in my order' })));
  await checkOutAsMember(page, 'parkas', member, /UPS Ground/, 'Invoice');
  await step(page, 'parkas-totals', 'order', click(page.getByRole('button', { name: 'Continue' })));
  await sees(page, 'Invoice', '2739.00');
  await step(page, 'above-limit', 'order', click(page.getByRole('button', { name: 'Place the order' })));
  assert.equal(await heading(page), "Your order is above the store's limit");
  await sees(page, 'at most 2500.00');
  await step(page, 'cancelled', 'empty', click(page.locator('header').getByRole('link', { name: 'Cancel order' })));
  assert.equal(await heading(page), 'Your order is cancelled');
  await page.close();
}

// One of the host's own answers: its status, its page from www/errors/ with a way back into
// the mall, saved and photographed like the mall's pages.
async function answerPage(page, name, url, status, title) {
  await page.setViewportSize(DESKTOP);
  const response = await page.goto(url);
  assert.equal(response.status(), status, `${name}: status`);
  assert.match(response.headers()['content-type'] ?? '', /text\/html/, `${name}: content type`);
  const file = `${String(++pageCount).padStart(2, '0')}-${name}`;
  fs.writeFileSync(path.join(out, 'pages', `${file}.html`), await response.body());
  await page.screenshot({ path: path.join(out, 'screenshots', `${file}.png`), fullPage: true });
  assert.equal(await heading(page), title, `${name}: heading`);
  assert.equal((await page.locator('header .mall-name').innerText()).trim(), MALL, `${name}: mall name`);
  const back = await page.locator('main a.button').getAttribute('href');
  const r = await page.request.get(new URL(back, page.url()).href);
  check(r.status() === 200, `${name}: the way back ${back} answers ${r.status()}`);
  const style = await page.evaluate(() => getComputedStyle(document.querySelector('.button')).backgroundColor);
  check(style !== 'rgba(0, 0, 0, 0)', `${name}: the style sheet applies`);
  await page.setViewportSize(PHONE);
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  check(overflow <= 0, `${name}: ${overflow} pixels wider than a phone's screen`);
  await page.screenshot({ path: path.join(out, 'screenshots', `${file}-phone.png`), fullPage: true });
  console.log(`ok ${pageCount} ${name}: ${await page.title()}`);
}

// What the host answers itself: a page that is not there, a sign-in the shopper cancelled,
// the files a browser keeps and asks again about, and the favicon.
async function hostWalk(context) {
  const page = await context.newPage();
  page.setDefaultTimeout(10000);
  await answerPage(page, 'not-found', new URL('no-such-page.html', base).href, 404, 'We could not find that page');
  await sees(page, 'Error 404');
  // A shopper who cancels the browser's sign-in box sees the page that came with the 401. The
  // headless browser has no box to cancel: it gets the answer without its challenge.
  const logon = `${mall}?CMD=logon`;
  const challenged = await page.request.get(logon);
  assert.equal(challenged.status(), 401, 'sign-in: asks for credentials');
  assert.match(challenged.headers()['www-authenticate'] ?? '', /^Basic realm=/, 'sign-in: a Basic challenge');
  const challengedBody = await challenged.body();
  const headers = { ...challenged.headers() };
  delete headers['www-authenticate'];
  await page.route(logon, route => route.fulfill({ status: 401, headers, body: challengedBody }));
  await answerPage(page, 'sign-in-cancelled', logon, 401, 'You did not sign in');
  await page.unroute(logon);
  await sees(page, 'You can go on shopping without signing in');

  for (const file of ['shopvera.css', 'KVZSV/OAKBARN/oakbarn.png']) {
    const url = new URL(file, base).href;
    const first = await page.request.get(url);
    assert.equal(first.status(), 200, `${file}: first fetch`);
    const tag = first.headers()['etag'];
    assert.ok(tag, `${file}: an ETag`);
    assert.ok(first.headers()['last-modified'], `${file}: a Last-Modified`);
    assert.equal(first.headers()['cache-control'], 'max-age=86400', `${file}: kept a day`);
    const again = await page.request.get(url, { headers: { 'If-None-Match': tag } });
    assert.equal(again.status(), 304, `${file}: fetched again with its tag`);
    const since = await page.request.get(url, { headers: { 'If-Modified-Since': first.headers()['last-modified'] } });
    assert.equal(since.status(), 304, `${file}: fetched again with its date`);
  }
  const icon = await page.request.get(new URL('favicon.ico', base).href);
  assert.equal(icon.status(), 200, 'favicon');
  assert.equal(icon.headers()['content-type'], 'image/x-icon', 'favicon: its type');
  await page.close();
}

const launch = {
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  viewport: DESKTOP,
  javaScriptEnabled: false,  // the mall needs no script
};

// One browser with a new, empty profile for one walk.
async function withBrowser(options, walk) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'shopvera-chromium-'));
  const context = await chromium.launchPersistentContext(profile, { ...launch, ...options });
  try {
    await walk(context);
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

let failed = false;
try {
  await withBrowser({}, shopperWalk);
  await withBrowser({ httpCredentials: { username: 'member', password: 'member1' } }, memberWalk);
  await withBrowser({}, hostWalk);
} catch (e) {
  failed = true;
  console.error(`walk failed after ${pageCount} pages: ${e.stack ?? e}`);
}
console.log(`${pageCount} pages walked; ${checkedUrls.size} links checked`);
if (problems.length) {
  console.error(`${problems.length} faults on the pages:\n  ${problems.join('\n  ')}`);
  failed = true;
}
process.exit(failed ? 1 : 0);
