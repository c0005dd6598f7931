// Page switching and the functions the application calls. Nothing here answers a state push or
// an openStudioPage call with a message: only the user's own actions are reported.
import { F } from './format.js';
import { post, watchVideoSlot } from './bridge.js';
import { guard, errors } from './widgets.js';
import { live } from './live.js';
import { bill } from './bill.js';
import { settings } from './settings.js';
import { signin } from './signin.js';

var $ = function (id) { return document.getElementById(id); };
var pages = ['live', 'bill', 'settings'];
var current = 'live';

// fromUser: the page itself changed pages and tells the application (which hides or shows the
// video region); a page opened by the application is not reported back.
function showPage(name, fromUser) {
  if (pages.indexOf(name) < 0) return;
  var changed = name !== current;
  current = name;
  pages.forEach(function (p) { F.show($('page-' + p), p === name); });
  Array.prototype.forEach.call(document.querySelectorAll('[data-nav]'), function (b) {
    if (b.getAttribute('data-nav') === name) b.setAttribute('aria-current', 'page');
    else b.removeAttribute('aria-current');
  });
  if (!fromUser) return;
  post('page', name);
  if (name === 'bill') bill.load();
  if (name === 'settings' && changed) settings.load();
}

function renderRail(state) {
  var online = F.bool(state.online);
  var stale = F.bool(state.hasUsage) && F.bool(state.networkStale);
  var offline = F.str(state.networkState) === 'offline';
  var tone = online ? 'ok' : offline ? 'danger' : stale ? 'warn' : 'neutral';
  $('rail-status').className = 'rail-status ' + tone;
  F.setText('rail-network', online ? '在线' : offline ? '离线' : stale ? '待同步' : '连接中');
}

window.refreshStudio = function (raw) {
  var state = F.obj(raw);
  if (Array.isArray(state.gallery)) live.receiveGallery(state.gallery);
  live.render(state);
  guard(bill.render, state);
  settings.render(state);
  guard(signin.render, state);
  guard(renderRail, state);
};

// "presets" is the live page with its presets tab open (screenshot mode asks for it).
window.openStudioPage = function (name) {
  if (String(name) === 'presets') {
    showPage('live', false);
    live.showPresets();
    return;
  }
  showPage(String(name), false);
};
window.receiveBilling = function (reply) { bill.receiveBilling(reply); };
window.receiveSessionBilling = function (reply) { bill.receiveSessionBilling(reply); };
window.receiveCameraCheck = function (found, ticket) { settings.receiveCameraCheck(found, ticket); };
window.receiveSignIn = function (reply) { signin.receive(reply); };
// Screenshot mode shows a picture as the current reference without importing it.
window.showReferencePreview = function (url) { live.showReferencePreview(url); };
// What the application's tests may read; nothing here leads to the handler.
window.Studio = Object.freeze({ get renderErrors() { return errors.count; } });

live.bind(function () { showPage('settings', true); });
bill.bind();
settings.bind();
signin.bind();
Array.prototype.forEach.call(document.querySelectorAll('[data-nav]'), function (b) {
  b.addEventListener('click', function () { showPage(b.getAttribute('data-nav'), true); });
});
// The engine's page menu (reload, back) has no place in an application window.
document.addEventListener('contextmenu', function (event) {
  var target = event.target;
  if (!(target && (target.tagName === 'INPUT' || target.closest('table.data')))) event.preventDefault();
});
window.refreshStudio({});
watchVideoSlot($('video-slot'));
