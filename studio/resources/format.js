// Tolerant readers for objects from the application or the service, and display formatting.
// Anything missing or of another type reads as the given default, so a partial object never
// throws.
export var F = {};

F.obj = function (v) { return v && typeof v === 'object' && !Array.isArray(v) ? v : {}; };
F.arr = function (v) { return Array.isArray(v) ? v : []; };
F.str = function (v, d) { return typeof v === 'string' ? v : (d === undefined ? '' : d); };
F.bool = function (v) { return v === true; };
F.num = function (v, d) {
  return typeof v === 'number' && isFinite(v) ? v : (d === undefined ? 0 : d);
};
F.has = function (o, k) { return Object.prototype.hasOwnProperty.call(o, k); };

// Numbers "as received" may be anything; show numbers grouped and anything else as text.
F.points = function (v) {
  if (typeof v === 'number' && isFinite(v)) return Math.round(v).toLocaleString('zh-CN');
  if (typeof v === 'string' && v !== '') return v;
  return '0';
};
F.signed = function (v) {
  var n = F.num(v, 0);
  return (n > 0 ? '+' : n < 0 ? '−' : '') + Math.abs(Math.round(n)).toLocaleString('zh-CN');
};

function pad(n) { return (n < 10 ? '0' : '') + n; }

// Service times are ISO 8601; the list shows the local date and time.
F.dateTime = function (v) {
  if (typeof v !== 'string' || v === '') return '—';
  var d = new Date(v);
  if (isNaN(d.getTime())) return v;
  return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' +
    pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
};
F.clock = function (ms) {
  var d = new Date(ms);
  return pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
};
F.duration = function (seconds) {
  var s = Math.max(0, Math.floor(F.num(seconds, 0)));
  var h = Math.floor(s / 3600);
  var m = Math.floor((s % 3600) / 60);
  return (h > 0 ? h + ':' + pad(m) : String(m)) + ':' + pad(s % 60);
};
F.age = function (seconds) {
  var s = Math.max(0, Math.floor(F.num(seconds, 0)));
  if (s < 2) return '刚刚同步';
  if (s < 60) return s + ' 秒前同步';
  if (s < 3600) return Math.floor(s / 60) + ' 分钟前同步';
  return Math.floor(s / 3600) + ' 小时前同步';
};

F.sessionTitles = {
  IDLE: '未开启 AI',
  RESERVED: '额度已预留 · 正在准备',
  CREATING: '正在创建 AI 会话',
  CREATED: '连接中',
  RUNNING: 'AI 运行中',
  STOPPING: '正在停止',
  RECONCILE_REQUIRED: '等待结算',
  ENDED: '本次已结算',
  STOPPED: '状态待核对',
  FAILED: '连接失败 · 请检查后重试'
};
F.sessionTitle = function (state) {
  var key = F.str(state, 'IDLE').toUpperCase();
  return F.has(F.sessionTitles, key) ? F.sessionTitles[key] : '状态待核对';
};
F.startable = function (state) {
  var key = typeof state === 'string' ? state.toUpperCase() : 'IDLE';
  return key === 'IDLE' || key === 'ENDED' || key === 'STOPPED' || key === 'FAILED';
};

F.modeNames = ['主体替换', '虚拟试穿', '背景替换', '风格迁移'];
F.editingTypes = {
  subject_replacement: '主体替换',
  virtual_tryon: '虚拟试穿',
  background_replacement: '背景替换',
  style_transfer: '风格迁移'
};

F.ledgerKinds = {
  grant: '积分入账',
  recharge: '充值',
  gift: '赠送',
  session_charge: 'AI 会话扣费',
  refund: '退回',
  adjustment: '人工调整'
};
F.endReasons = {
  client_stop: '手动停止',
  reservation_exhausted: '预留积分用完',
  heartbeat_timeout: '客户端失联',
  participant_timeout: 'AI 画面未到达',
  service_restarted: '服务重启'
};

// Creates an element with a class and text; text is always set as text, never as markup.
F.el = function (tag, className, text) {
  var e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
};
F.icon = function (name, extra) {
  var ns = 'http://www.w3.org/2000/svg';
  var svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('class', 'icon' + (extra ? ' ' + extra : ''));
  svg.setAttribute('aria-hidden', 'true');
  var use = document.createElementNS(ns, 'use');
  use.setAttribute('href', '#i-' + name);
  svg.appendChild(use);
  return svg;
};
F.setText = function (id, text) {
  var e = document.getElementById(id);
  if (e && e.textContent !== text) e.textContent = text;
};
F.show = function (element, visible) {
  if (!element) return;
  if (visible) element.removeAttribute('hidden');
  else element.setAttribute('hidden', '');
};
