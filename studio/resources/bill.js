// The bill page: the account's point records and the per-session records, one page at a time.
// The application answers each request with the service's reply unchanged or with {"error": text}.
import { F } from './format.js';
import { post } from './bridge.js';
import { bindTabs } from './widgets.js';

var $ = function (id) { return document.getElementById(id); };

function makeList(prefix, action, renderRow, columns, emptyText) {
  return {
    prefix: prefix, action: action, renderRow: renderRow, columns: columns,
    emptyText: emptyText, page: 1, totalPages: 0, total: null, hasMore: false,
    loading: false, loaded: false, error: ''
  };
}

var ledger = makeList('ledger', 'billing', ledgerRow, 4, '还没有积分流水');
var sessions = makeList('session', 'sessionBilling', sessionRow, 7, '还没有 AI 会话记录');

function cell(text, className) { return F.el('td', className || '', text); }

function stacked(main, sub, className) {
  var td = F.el('td', className || '');
  td.appendChild(F.el('div', 'cell-main', main));
  if (sub) td.appendChild(F.el('div', 'cell-sub', sub));
  return td;
}

function splitText(paid, gift) {
  return '付费 ' + F.signed(paid) + ' · 赠送 ' + F.signed(gift);
}

function ledgerRow(raw) {
  var r = F.obj(raw);
  var tr = F.el('tr');
  tr.appendChild(cell(F.dateTime(r.created_at), 'time'));
  var kind = F.str(r.kind);
  var label = F.has(F.ledgerKinds, kind) ? F.ledgerKinds[kind] : (kind || '记录');
  tr.appendChild(stacked(label, F.str(r.description)));
  var points = F.num(r.points, F.num(r.paid_points) + F.num(r.gift_points));
  var change = stacked(F.signed(points), splitText(r.paid_points, r.gift_points), 'num');
  change.firstChild.classList.add(points < 0 ? 'minus' : points > 0 ? 'plus' : 'zero');
  tr.appendChild(change);
  tr.appendChild(stacked(F.points(r.balance_after),
    F.has(r, 'paid_balance_after') || F.has(r, 'gift_balance_after')
      ? '付费 ' + F.points(r.paid_balance_after) + ' · 赠送 ' + F.points(r.gift_balance_after) : '',
    'num'));
  return tr;
}

function sessionRow(raw) {
  var r = F.obj(raw);
  var tr = F.el('tr');
  var type = F.str(r.editing_type);
  var id = F.str(r.session_id);
  tr.appendChild(stacked(F.has(F.editingTypes, type) ? F.editingTypes[type] : (type || 'AI 会话'),
    id ? '#' + id.slice(0, 8) : ''));
  var stateCell = F.el('td');
  var state = F.str(r.state, 'IDLE').toUpperCase();
  var chip = F.el('span', 'chip ' + (state === 'ENDED' ? 'ok' : state === 'FAILED' ? 'danger'
    : F.startable(state) ? 'neutral' : 'warn'), F.sessionTitle(state));
  stateCell.appendChild(chip);
  tr.appendChild(stateCell);
  tr.appendChild(stacked(F.dateTime(r.started_at),
    r.ended_at ? '至 ' + F.dateTime(r.ended_at) : '尚未结束', 'time'));
  tr.appendChild(cell(F.duration(r.elapsed_seconds), 'num mono'));
  tr.appendChild(stacked(F.points(r.reserved_points) + ' / ' + F.points(r.consumed_points) + ' / ' +
    F.points(r.refunded_points),
    '消耗：付费 ' + F.points(r.consumed_paid_points) + ' · 赠送 ' + F.points(r.consumed_gift_points),
    'num'));
  var confirmed = r.bill_confirmed === true || typeof r.confirmed_bill === 'number';
  var bill = stacked(confirmed ? F.points(r.confirmed_bill) + ' 积分' : '待结算',
    confirmed ? '已确认' : '以确认账单为准', 'num');
  if (!confirmed) bill.firstChild.classList.add('pending');
  tr.appendChild(bill);
  var reason = F.str(r.end_reason);
  tr.appendChild(cell(reason ? (F.has(F.endReasons, reason) ? F.endReasons[reason] : reason) : '—'));
  return tr;
}

function itemsOf(reply) {
  var keys = ['items', 'records', 'list', 'data'];
  for (var i = 0; i < keys.length; i++)
    if (Array.isArray(reply[keys[i]])) return reply[keys[i]];
  return [];
}

function request(list, page) {
  list.page = Math.max(1, Math.floor(page) || 1);
  list.loading = true;
  list.error = '';
  drawState(list);
  post(list.action, list.page);
}

function receive(list, reply) {
  list.loading = false;
  list.loaded = true;
  var body = F.obj(reply);
  var rows = $(list.prefix + '-rows');
  if (reply === null || typeof reply !== 'object' || typeof body.error === 'string' ||
      body.error !== undefined) {
    list.error = typeof body.error === 'string' && body.error ? body.error : '账单加载失败';
    drawState(list);
    return;
  }
  list.error = '';
  var items = itemsOf(body);
  if (typeof body.page === 'number') list.page = body.page;
  list.totalPages = F.num(body.total_pages, 0);
  list.total = typeof body.total === 'number' ? body.total : null;
  list.hasMore = body.has_more === true ||
    (list.totalPages > 0 && list.page < list.totalPages);
  rows.textContent = '';
  items.forEach(function (item) { rows.appendChild(list.renderRow(item)); });
  drawState(list);
}

function drawState(list) {
  var rows = $(list.prefix + '-rows');
  var state = $(list.prefix + '-state');
  var card = rows.closest('.table-card');
  card.classList.toggle('loading', list.loading);
  state.textContent = '';
  state.className = 'list-state';
  var message = null;
  if (list.error) {
    state.classList.add('error');
    state.appendChild(F.icon('alert', 'big'));
    state.appendChild(F.el('p', '', list.error));
    var retry = F.el('button', 'btn small', '重试');
    retry.type = 'button';
    retry.addEventListener('click', function () { request(list, list.page); });
    state.appendChild(retry);
    message = true;
  } else if (!list.loaded) {
    state.appendChild(F.icon(list.loading ? 'refresh' : 'bill', 'big' + (list.loading ? ' spin' : '')));
    state.appendChild(F.el('p', '', list.loading ? '正在加载…' : '账单尚未加载'));
    if (!list.loading) {
      var load = F.el('button', 'btn small', '加载账单');
      load.type = 'button';
      load.addEventListener('click', function () { request(list, 1); });
      state.appendChild(load);
    }
    message = true;
  } else if (rows.childElementCount === 0) {
    state.appendChild(F.icon('bill', 'big'));
    state.appendChild(F.el('p', '', list.page > 1 ? '这一页没有记录' : list.emptyText));
    message = true;
  }
  F.show(state, !!message);
  F.show(rows.closest('.table-wrap'), !message);

  var info = list.total !== null && !list.error ? '共 ' + list.total + ' 条' : '';
  F.setText(list.prefix + '-info', info);
  F.setText(list.prefix + '-page', list.totalPages > 0
    ? '第 ' + list.page + ' / ' + list.totalPages + ' 页' : '第 ' + list.page + ' 页');
  $(list.prefix + '-prev').disabled = list.loading || list.page <= 1;
  $(list.prefix + '-next').disabled = list.loading || !!list.error || !list.hasMore;
}

function bind() {
  [ledger, sessions].forEach(function (list) {
    $(list.prefix + '-prev').addEventListener('click', function () { request(list, list.page - 1); });
    $(list.prefix + '-next').addEventListener('click', function () { request(list, list.page + 1); });
    drawState(list);
  });
  bindTabs([$('tab-ledger'), $('tab-sessions')]);
}

export var bill = {
  bind: bind,
  // The user opened the bill page: fetch the pages shown (the first ones the first time).
  load: function () {
    request(ledger, ledger.loaded ? ledger.page : 1);
    request(sessions, sessions.loaded ? sessions.page : 1);
  },
  receiveBilling: function (reply) { receive(ledger, reply); },
  receiveSessionBilling: function (reply) { receive(sessions, reply); },
  render: function (state) {
    var value = state.pointsValue;
    F.setText('bill-points', typeof value === 'number' ? F.points(value) + ' 积分' : '—');
    F.setText('bill-split', '付费 ' + F.points(state.paid) + ' · 赠送 ' + F.points(state.gift));
  }
};
