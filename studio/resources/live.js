// The live page: video controls, session card, modes, camera, reference gallery and presets,
// redrawn from each state object. Lists are rebuilt only when their content changed, so the
// keyboard focus survives the pushes that arrive every second.
import { F } from './format.js';
import { post } from './bridge.js';
import { guard, bindTabs } from './widgets.js';

var $ = function (id) { return document.getElementById(id); };

var viewChoice = null;     // "local" or "ai" after the user picked one
var wasActive = false;
var galleryKey = null;
var presetsKey = null;
var camerasKey = null;
var gallery = [];
var galleryRevision = 0;
var referencePreview = '';

// openSettings: shows the settings page as the user's own choice.
function bind(openSettings) {
  $('start-ai').addEventListener('click', function () { post('start'); });
  $('stop-ai').addEventListener('click', function () { post('stop'); });
  $('refresh-points').addEventListener('click', function () { post('refresh'); });
  $('enlarge').addEventListener('click', function () { post('enlarge'); });
  $('show-local').addEventListener('click', function () { chooseView('local'); });
  $('show-ai').addEventListener('click', function () { chooseView('ai'); });
  $('mirror').addEventListener('click', function () { post('mirror'); });
  $('import-image').addEventListener('click', function () { post('image'); });
  $('reset-goto-settings').addEventListener('click', function () { openSettings(); });
  $('camera-select').addEventListener('change', function (event) {
    var index = event.target.selectedIndex;
    if (index >= 0) post('camera', index);
  });
  Array.prototype.forEach.call(document.querySelectorAll('.mode'), function (button) {
    button.addEventListener('click', function () {
      post('mode', parseInt(button.getAttribute('data-mode'), 10));
    });
  });
  $('preset-form').addEventListener('submit', function (event) {
    event.preventDefault();
    var name = $('preset-name').value.trim();
    // Without a name the application asks for one itself.
    if (name) post('savePreset', name.slice(0, 80));
    else post('savePreset');
    $('preset-name').value = '';
  });
  bindTabs([$('tab-gallery'), $('tab-presets')]);
}

function chooseView(view) {
  viewChoice = view;
  post(view);
  renderView(wasActive);
}

function renderView(active) {
  var view = viewChoice || (active ? 'ai' : 'local');
  $('show-local').setAttribute('aria-pressed', String(view === 'local'));
  $('show-ai').setAttribute('aria-pressed', String(view === 'ai'));
}

function badgeTone(state) {
  var text = F.str(state.state);
  var session = F.str(state.sessionState, 'IDLE').toUpperCase();
  if (text.indexOf('网络异常') >= 0 || session === 'FAILED') return 'danger';
  if (session === 'RUNNING') return 'ok';
  if (session === 'RECONCILE_REQUIRED') return 'warn';
  if (session === 'STOPPING' || text === '正在停止') return 'caution';
  if (F.startable(session) && !F.bool(state.active)) return 'neutral';
  return 'accent';
}

function renderSession(state) {
  var badge = $('session-badge');
  var title = F.str(state.state) || F.sessionTitle(state.sessionState);
  if (badge.textContent !== title) badge.textContent = title;
  badge.className = 'badge ' + badgeTone(state);

  // The number itself comes beside the label's text; before the first account reply there is none.
  var value = state.pointsValue;
  F.setText('points-value', typeof value === 'number' ? F.points(value) : '—');
  F.setText('points-unit', F.bool(state.estimated) ? '积分（预计）' : '积分');
  $('points-value').parentNode.classList.toggle('estimated', F.bool(state.estimated));
  F.setText('points-split', '付费 ' + F.points(state.paid) + ' · 赠送 ' + F.points(state.gift));

  F.setText('run-time', F.str(state.duration, '本次运行 00:00') || '本次运行 00:00');
  if (F.bool(state.estimated)) {
    F.setText('estimate-label', '预计消耗');
    F.setText('estimate', F.points(state.estimate) + ' 积分');
  } else if (F.bool(state.billConfirmed)) {
    F.setText('estimate-label', '确认扣费');
    F.setText('estimate', F.points(F.num(state.consumedPaid) + F.num(state.consumedGift)) + ' 积分');
  } else {
    F.setText('estimate-label', '本次消耗');
    F.setText('estimate', '—');
  }
  F.setText('remaining', F.str(state.remaining, '预计可用 0 分 0 秒') || '—');

  var hasUsage = F.bool(state.hasUsage);
  var age = $('sync-age');
  F.setText('sync-age', hasUsage ? F.age(state.syncAge) : '尚未同步');
  age.classList.toggle('stale', hasUsage && F.bool(state.networkStale));
  F.setText('sync-text', F.str(state.sync));

  var canStart = F.bool(state.canStart);
  var reason = F.str(state.startDisabledReason);
  var active = F.bool(state.active);
  var stoppable = active || (F.bool(state.hasSession) && !F.startable(state.sessionState));
  $('start-ai').disabled = !canStart;
  $('stop-ai').disabled = !stoppable;
  var reasonLine = $('start-reason');
  F.setText('start-reason', canStart ? '' : reason);
  F.show(reasonLine, !canStart && reason !== '');
  F.setText('billing-protection', F.str(state.billingProtection));

  F.show($('reset-timeout'), F.bool(state.resetTimedOut));
  var notice = F.str(state.switchNotice);
  F.setText('switch-notice-text', notice);
  F.show($('switch-notice'), notice !== '');
}

function renderControls(state) {
  var active = F.bool(state.active);
  if (active !== wasActive) viewChoice = null; // the application switches the view itself
  wasActive = active;
  renderView(active);

  var mode = typeof state.mode === 'number' ? state.mode : 0;
  Array.prototype.forEach.call(document.querySelectorAll('.mode'), function (button) {
    var selected = parseInt(button.getAttribute('data-mode'), 10) === mode;
    button.setAttribute('aria-pressed', String(selected));
  });

  var cameras = F.arr(state.cameras).map(function (c) { return F.str(c, String(c)); });
  var select = $('camera-select');
  var key = JSON.stringify(cameras);
  if (key !== camerasKey) {
    camerasKey = key;
    select.textContent = '';
    if (cameras.length === 0) {
      var none = F.el('option', '', '未检测到摄像头');
      none.disabled = true;
      select.appendChild(none);
    }
    cameras.forEach(function (title) { select.appendChild(F.el('option', '', title)); });
  }
  var index = typeof state.camera === 'number' ? state.camera : -1;
  if (cameras.length > 0 && select.selectedIndex !== index) select.selectedIndex = index;
  select.disabled = cameras.length === 0 || active;
  var hint = cameras.length === 0 ? '连接摄像头后会自动刷新，无需重启'
    : active ? 'AI 运行期间不能切换摄像头' : '';
  F.setText('camera-hint', hint);
  $('mirror').setAttribute('aria-checked', String(F.bool(state.mirror)));

  F.setText('bridge-status', F.str(state.status) || '\u00a0');
}

// Rebuilds a list of the gallery or the presets from `entries`; `build(entry, index)` makes one
// item or returns null to leave the entry out. The control that had the keyboard focus gets it
// back by its data-focus mark, and the empty note shows in place of an empty list.
function renderList(list, empty, entries, build) {
  var focusKey = document.activeElement && list.contains(document.activeElement)
    ? document.activeElement.getAttribute('data-focus') : null;
  list.textContent = '';
  entries.forEach(function (raw, i) {
    var item = build(F.obj(raw), i);
    if (item) list.appendChild(item);
  });
  F.show(empty, list.childElementCount === 0);
  F.show(list, list.childElementCount > 0);
  if (focusKey) {
    var again = list.querySelector('[data-focus="' + focusKey + '"]');
    if (again) again.focus();
  }
}

// A small icon button of a list item.
function iconAction(label, focus, title, icon, tone, onClick) {
  var button = F.el('button', 'icon-btn tiny' + tone);
  button.type = 'button';
  button.setAttribute('aria-label', label);
  button.setAttribute('data-focus', focus);
  button.title = title;
  button.appendChild(F.icon(icon));
  button.addEventListener('click', onClick);
  return button;
}

function galleryName(entries, path) {
  for (var i = 0; i < entries.length; i++) {
    var entry = F.obj(entries[i]);
    if (entry.path === path) return F.str(entry.name, path);
  }
  return null;
}

// Screenshot mode shows a picture as the current reference without importing it.
function showReferencePreview(url) {
  referencePreview = F.str(url);
  galleryKey = null;
  var thumb = $('current-thumb');
  thumb.textContent = '';
  var img = F.el('img');
  img.src = referencePreview;
  img.alt = '';
  thumb.appendChild(img);
}

function renderGallery(state) {
  var list = F.arr(gallery);
  var selected = F.str(state.selectedReference);
  F.setText('reference-name', F.str(state.reference) || '请选择参考图');

  var key = JSON.stringify([galleryRevision, selected, list.length]);
  if (key === galleryKey) return;
  galleryKey = key;

  var thumb = $('current-thumb');
  thumb.textContent = '';
  var current = null;
  list.forEach(function (e) { if (F.obj(e).path === selected && selected) current = F.obj(e); });
  var shown = current && F.str(current.image) ? current.image : F.str(referencePreview);
  if (shown) {
    var img = F.el('img');
    img.src = shown;
    img.alt = '';
    thumb.appendChild(img);
  } else {
    thumb.appendChild(F.icon('image'));
  }

  renderList($('gallery'), $('gallery-empty'), list, function (entry, i) {
    var path = F.str(entry.path);
    if (!path) return null;
    var name = F.str(entry.name, path.split('/').pop());
    var item = F.el('div', 'thumb' + (path === selected ? ' selected' : ''));
    item.setAttribute('role', 'listitem');

    var pick = F.el('button', 'thumb-pick');
    pick.type = 'button';
    pick.setAttribute('aria-pressed', String(path === selected));
    pick.setAttribute('aria-label', '使用参考图 ' + name);
    pick.setAttribute('data-focus', 'pick:' + i);
    pick.title = name + (F.num(entry.width) && F.num(entry.height)
      ? '（' + entry.width + ' × ' + entry.height + '）' : '');
    var img = F.el('img');
    img.alt = '';
    if (F.str(entry.image)) img.src = entry.image;
    pick.appendChild(img);
    pick.appendChild(F.el('span', 'thumb-name', name));
    pick.addEventListener('click', function () { post('selectReference', path); });
    item.appendChild(pick);

    var actions = F.el('div', 'thumb-actions');
    actions.appendChild(iconAction('预览 ' + name, 'preview:' + i, '预览', 'eye', '',
      function () { post('previewReference', path); }));
    actions.appendChild(iconAction('删除 ' + name, 'remove:' + i, '删除', 'trash', ' danger',
      function () { post('removeReference', path); }));
    item.appendChild(actions);
    return item;
  });
}

function renderPresets(state) {
  var presets = F.arr(state.presets);
  var known = F.arr(gallery);
  var key = JSON.stringify([presets, known.map(function (e) { return F.obj(e).path; })]);
  if (key === presetsKey) return;
  presetsKey = key;

  renderList($('presets'), $('presets-empty'), presets, function (preset, i) {
    var id = F.str(preset.id);
    if (!id) return null;
    var name = F.str(preset.name) || '未命名预设';
    var item = F.el('li', 'preset');
    var text = F.el('div', 'preset-text');
    text.appendChild(F.el('strong', '', name));
    var mode = typeof preset.mode === 'number' ? F.modeNames[preset.mode] : null;
    var reference = F.str(preset.reference);
    var meta = [mode || F.modeNames[0]];
    if (reference) {
      var refName = galleryName(known, reference);
      meta.push(refName === null ? '参考图已删除' : refName);
    } else {
      meta.push('未选参考图');
    }
    if (preset.mirror === true) meta.push('镜像');
    text.appendChild(F.el('small', '', meta.join(' · ')));
    item.appendChild(text);

    var apply = F.el('button', 'btn small ghost', '应用');
    apply.type = 'button';
    apply.setAttribute('aria-label', '应用预设 ' + name);
    apply.setAttribute('data-focus', 'apply:' + i);
    apply.addEventListener('click', function () { post('applyPreset', id); });
    item.appendChild(apply);
    item.appendChild(iconAction('删除预设 ' + name, 'delete:' + i, '删除', 'trash', ' danger',
      function () { post('deletePreset', id); }));
    return item;
  });
}

export var live = {
  bind: bind,
  showPresets: function () { $('tab-presets').click(); },
  showReferencePreview: showReferencePreview,
  // The gallery comes only when it changed; otherwise the last one stays.
  receiveGallery: function (list) {
    gallery = list;
    galleryRevision += 1;
  },
  render: function (state) {
    guard(renderSession, state);
    guard(renderControls, state);
    guard(renderGallery, state);
    guard(renderPresets, state);
  }
};
