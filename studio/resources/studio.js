// Page switching and the functions the application calls. Nothing here answers a state push or
// an openStudioPage call with a message: only the user's own actions are reported.
'use strict';

(function (Studio) {
  var F = Studio.F;
  var $ = function (id) { return document.getElementById(id); };
  var pages = ['live', 'bill', 'settings'];
  var current = 'live';

  Studio.gallery = [];
  Studio.galleryRevision = 0;
  Studio.renderErrors = 0;

  // One faulty part of a redraw must not stop the others.
  Studio.guard = function (render, state) {
    try {
      render(state);
    } catch (e) {
      Studio.renderErrors += 1;
      if (window.console) console.error('studio render:', e);
    }
  };

  Studio.bindTabs = function (tabs) {
    function select(tab, focus) {
      tabs.forEach(function (t) {
        var on = t === tab;
        t.setAttribute('aria-selected', String(on));
        t.tabIndex = on ? 0 : -1;
        F.show($(t.getAttribute('aria-controls')), on);
      });
      if (focus) tab.focus();
    }
    tabs.forEach(function (tab, i) {
      tab.addEventListener('click', function () { select(tab, false); });
      tab.addEventListener('keydown', function (event) {
        var step = event.key === 'ArrowRight' ? 1 : event.key === 'ArrowLeft' ? -1 : 0;
        if (!step) return;
        event.preventDefault();
        select(tabs[(i + step + tabs.length) % tabs.length], true);
      });
    });
  };

  Studio.bindRadios = function (list) {
    var radios = Array.prototype.slice.call(list);
    radios.forEach(function (radio, i) {
      radio.addEventListener('keydown', function (event) {
        var step = event.key === 'ArrowRight' || event.key === 'ArrowDown' ? 1
          : event.key === 'ArrowLeft' || event.key === 'ArrowUp' ? -1 : 0;
        if (!step) return;
        event.preventDefault();
        radios[(i + step + radios.length) % radios.length].focus();
      });
    });
  };

  // fromUser: the page itself changed pages and tells the application (which hides or shows the
  // video region); a page opened by the application is not reported back.
  Studio.showPage = function (name, fromUser) {
    if (pages.indexOf(name) < 0) return;
    var changed = name !== current;
    current = name;
    pages.forEach(function (p) { F.show($('page-' + p), p === name); });
    Array.prototype.forEach.call(document.querySelectorAll('[data-nav]'), function (b) {
      if (b.getAttribute('data-nav') === name) b.setAttribute('aria-current', 'page');
      else b.removeAttribute('aria-current');
    });
    if (!fromUser) return;
    Studio.post('page', name);
    if (name === 'bill') Studio.bill.load();
    if (name === 'settings' && changed) Studio.settings.load();
  };

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
    // The gallery comes only when it changed; otherwise the last one stays.
    if (Array.isArray(state.gallery)) {
      Studio.gallery = state.gallery;
      Studio.galleryRevision += 1;
    }
    Studio.live.render(state);
    Studio.guard(Studio.bill.render, state);
    Studio.settings.render(state);
    Studio.guard(renderRail, state);
  };

  // "presets" is the live page with its presets tab open (screenshot mode asks for it).
  window.openStudioPage = function (name) {
    if (String(name) === 'presets') {
      Studio.showPage('live', false);
      Studio.live.showPresets();
      return;
    }
    Studio.showPage(String(name), false);
  };
  window.receiveBilling = function (reply) { Studio.bill.receiveBilling(reply); };
  window.receiveSessionBilling = function (reply) { Studio.bill.receiveSessionBilling(reply); };
  window.receiveCameraCheck = function (found, ticket) {
    Studio.settings.receiveCameraCheck(found, ticket);
  };

  function start() {
    Studio.live.bind();
    Studio.bill.bind();
    Studio.settings.bind();
    Array.prototype.forEach.call(document.querySelectorAll('[data-nav]'), function (b) {
      b.addEventListener('click', function () { Studio.showPage(b.getAttribute('data-nav'), true); });
    });
    // The engine's page menu (reload, back) has no place in an application window.
    document.addEventListener('contextmenu', function (event) {
      var target = event.target;
      if (!(target && (target.tagName === 'INPUT' || target.closest('table.data')))) event.preventDefault();
    });
    window.refreshStudio({});
    Studio.watchVideoSlot($('video-slot'));
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})(window.Studio);
