// The settings page: route mode and route state, appearance, virtual camera check and set-up,
// the update panel, diagnostics and restart.
import { F } from './format.js';
import { post } from './bridge.js';
import { guard, bindRadios, rovingTabStop } from './widgets.js';

var $ = function (id) { return document.getElementById(id); };

var cameraTicket = 0;
var routeNames = { primary: '主线路', secondary: '备用线路', auto: '自动选择' };

function bind() {
  Array.prototype.forEach.call(document.querySelectorAll('[data-route]'), function (button) {
    button.addEventListener('click', function () {
      post('routeMode', button.getAttribute('data-route'));
    });
  });
  $('route-probe').addEventListener('click', function () { post('routeProbe'); });
  Array.prototype.forEach.call(document.querySelectorAll('[data-theme-choice]'), function (button) {
    button.addEventListener('click', function () {
      var theme = button.getAttribute('data-theme-choice');
      applyTheme(theme);
      post('appearance', theme);
    });
  });
  bindRadios(document.querySelectorAll('[data-route]'));
  bindRadios(document.querySelectorAll('[data-theme-choice]'));
  $('vcam-check').addEventListener('click', checkCamera);
  $('vcam-setup').addEventListener('click', function () { post('cameraSetup'); });
  $('update-check').addEventListener('click', function () { post('checkUpdates'); });
  $('update-notes-btn').addEventListener('click', function () { post('updateNotes'); });
  $('update-download').addEventListener('click', function () { post('downloadUpdate'); });
  $('update-install').addEventListener('click', function () { post('installUpdate'); });
  $('diagnostics').addEventListener('click', function () { post('diagnostics'); });
  $('restart-client').addEventListener('click', function () { post('restartClient'); });
  renderTheme();
}

function applyTheme(theme) {
  document.documentElement.dataset.theme = theme;
  window.nativeAppearance = theme;
  renderTheme();
}

function renderTheme() {
  var theme = document.documentElement.dataset.theme === 'dark' ? 'dark' : 'light';
  Array.prototype.forEach.call(document.querySelectorAll('[data-theme-choice]'), function (b) {
    b.setAttribute('aria-checked', String(b.getAttribute('data-theme-choice') === theme));
  });
  rovingTabStop(document.querySelectorAll('[data-theme-choice]'));
}

function setCameraStatus(tone, text) {
  $('vcam-status').className = 'status-line ' + tone;
  F.setText('vcam-text', text);
}

function checkCamera() {
  cameraTicket += 1;
  setCameraStatus('busy', '正在检测虚拟摄像头…');
  post('cameraCheck', cameraTicket);
}

function receiveCameraCheck(found, ticket) {
  if (ticket !== cameraTicket) return; // an answer to an older check
  if (found === true) setCameraStatus('ok', '虚拟摄像头已就绪');
  else setCameraStatus('warn', '未找到虚拟摄像头，请先完成设置');
}

function renderRoutes(state) {
  var snap = F.obj(state.routes);
  var mode = F.str(snap.mode, 'auto');
  var switching = F.bool(snap.switching);
  var pending = F.str(snap.pendingMode);
  Array.prototype.forEach.call(document.querySelectorAll('[data-route]'), function (button) {
    var value = button.getAttribute('data-route');
    button.setAttribute('aria-checked', String(value === mode));
    button.classList.toggle('pending', switching && value === pending);
    button.disabled = switching;
  });
  rovingTabStop(document.querySelectorAll('[data-route]'));
  $('route-probe').disabled = switching;
  var active = F.str(snap.activeRoute);
  var summary = switching
    ? (pending ? '正在尝试切换到' + (routeNames[pending] || pending) + '…' : '正在检测线路…')
    : active ? '正在使用' + (routeNames[active] || active) + (mode === 'auto' ? '（自动选择）' : '')
      : '线路尚未确认';
  F.setText('route-summary', summary);

  var list = $('route-list');
  var routes = F.arr(snap.routes);
  var key = JSON.stringify([routes, active]);
  if (list.getAttribute('data-key') !== key) {
    list.setAttribute('data-key', key);
    list.textContent = '';
    routes.forEach(function (raw) {
      var r = F.obj(raw);
      var id = F.str(r.id);
      var status = F.str(r.status, 'unknown');
      var li = F.el('li', 'route' + (id === active ? ' current' : ''));
      var name = F.el('div', 'route-name');
      name.appendChild(F.el('strong', '', routeNames[id] || id || '线路'));
      var checked = F.num(r.checkedAt, 0);
      name.appendChild(F.el('small', '', checked > 0 ? '检测于 ' + F.clock(checked) : '尚未检测'));
      li.appendChild(name);
      var latency = F.num(r.latencyMs, -1);
      li.appendChild(F.el('span', 'route-latency mono', latency >= 0 ? latency + ' ms' : '—'));
      li.appendChild(F.el('span', 'chip ' + (status === 'healthy' ? 'ok' : status === 'failed' ? 'danger' : 'neutral'),
        status === 'healthy' ? '可用' : status === 'failed' ? '不可用' : '未检测'));
      list.appendChild(li);
    });
  }
  var error = F.str(snap.lastError);
  F.setText('route-error-text', error);
  F.show($('route-error'), error !== '');
}

function renderUpdate(state) {
  var u = F.obj(state.update);
  var checking = F.bool(u.checking);
  var downloading = F.bool(u.downloading);
  var installing = F.bool(u.installing);
  var ready = F.bool(u.ready);
  var available = F.bool(u.available);
  // Until a check has run nothing is known about newer versions.
  var checked = F.str(u.checkedAt) !== '' && F.str(u.checkedAt) !== '尚未检查';
  var current = F.str(u.current);
  var currentDate = F.str(u.currentDate);
  F.setText('update-current', current ? current + (currentDate ? ' · ' + currentDate : '') : '--');
  F.setText('update-latest', F.str(u.latest) || (available ? '--' : checked ? '已是最新' : '尚未检查'));
  F.setText('update-published', F.str(u.published) || '--');
  F.setText('update-checked', F.str(u.checkedAt) || '尚未检查');
  F.setText('update-status', F.str(u.status) || '启动时自动检查更新');
  var notes = F.str(u.notes);
  F.setText('update-notes', notes);
  F.show($('update-notes'), available && notes !== '');

  var badge = $('update-badge');
  var tone = 'neutral';
  var text = '当前版本';
  if (installing) { tone = 'accent'; text = '正在安装'; }
  else if (ready) { tone = 'ok'; text = '已下载'; }
  else if (downloading) { tone = 'accent'; text = '正在下载'; }
  else if (checking) { tone = 'accent'; text = '正在检查'; }
  else if (available) { tone = 'warn'; text = '有新版本'; }
  else if (checked) { tone = 'ok'; text = '已是最新'; }
  badge.className = 'badge ' + tone;
  F.setText('update-badge', text);

  $('update-check').disabled = checking || downloading || installing;
  F.show($('update-notes-btn'), available);
  F.show($('update-download'), available && !ready);
  $('update-download').disabled = downloading || installing;
  F.show($('update-install'), ready);
  $('update-install').disabled = !F.bool(u.canInstall);
}

// Without a keyring the credential lives in a private file: say so, once the client knows.
function renderCredentialStorage(state) {
  var inKeyring = state.credentialInKeyring !== false;
  F.show($('credential-storage'), !inKeyring);
  F.setText('credential-storage-text', inKeyring ? '' : F.str(state.credentialStorageText));
}

export var settings = {
  bind: bind,
  // The user opened the settings page: look for the virtual camera once.
  load: checkCamera,
  receiveCameraCheck: receiveCameraCheck,
  render: function (state) {
    guard(renderRoutes, state);
    guard(renderUpdate, state);
    guard(renderCredentialStorage, state);
    renderTheme();
  }
};
