// The sign-in card that takes the session card's place while no account is signed in, and the
// account card of the settings page. The page never sees a credential: only the masked number.
import { F } from './format.js';
import { post } from './bridge.js';

var $ = function (id) { return document.getElementById(id); };

var RESEND_SECONDS = 60;
var signedIn = null;    // unknown until the first push that says
var countdownEnd = 0;   // Date.now() at which another code may be asked for
var countdownTimer = 0;
var sending = false;
var submitting = false;

function renderSend() {
  var left = Math.ceil((countdownEnd - Date.now()) / 1000);
  var button = $('signin-send');
  if (left > 0) {
    button.textContent = left + ' 秒后重新获取';
    button.disabled = true;
  } else {
    if (countdownTimer) {
      window.clearInterval(countdownTimer);
      countdownTimer = 0;
    }
    button.textContent = sending ? '正在发送…' : '获取验证码';
    button.disabled = sending;
  }
}

function startCountdown() {
  countdownEnd = Date.now() + RESEND_SECONDS * 1000;
  if (!countdownTimer) countdownTimer = window.setInterval(renderSend, 1000);
  renderSend();
}

function showError(id, text) {
  F.setText(id, text || '');
}

function requestCode() {
  if (sending || countdownEnd > Date.now()) return;
  var phone = $('signin-phone').value.trim();
  if (!phone) {
    showError('signin-error', '请输入手机号');
    $('signin-phone').focus();
    return;
  }
  showError('signin-error', '');
  sending = true;
  renderSend();
  post('signInCode', { phone: phone });
}

function submit() {
  var phone = $('signin-phone').value.trim();
  var code = $('signin-code').value.trim();
  if (!phone) {
    showError('signin-error', '请输入手机号');
    $('signin-phone').focus();
    return;
  }
  // Enter in the number field before any code was sent asks for one.
  if (!code && countdownEnd <= Date.now() && !sending) {
    requestCode();
    return;
  }
  if (!code) {
    showError('signin-error', '请输入验证码');
    $('signin-code').focus();
    return;
  }
  if (submitting) return;
  submitting = true;
  $('signin-submit').disabled = true;
  showError('signin-error', '');
  post('signIn', { phone: phone, code: code });
}

function bind() {
  $('signin-form').addEventListener('submit', function (event) {
    event.preventDefault();
    submit();
  });
  $('signin-send').addEventListener('click', requestCode);
  $('sign-out').addEventListener('click', function () {
    showError('sign-out-error', '');
    post('signOut');
  });
  renderSend();
}

// {"step": "code" | "login" | "logout", "error": text or null}
function receive(raw) {
  var reply = F.obj(raw);
  var error = typeof reply.error === 'string' ? reply.error : '';
  if (reply.step === 'code') {
    sending = false;
    if (error) {
      showError('signin-error', error);
      renderSend();
      $('signin-phone').focus();
      return;
    }
    startCountdown();
    $('signin-code').focus();
  } else if (reply.step === 'login') {
    submitting = false;
    $('signin-submit').disabled = false;
    if (error) {
      showError('signin-error', error);
      $('signin-code').focus();
      $('signin-code').select();
      return;
    }
    $('signin-code').value = '';
  } else if (reply.step === 'logout') {
    showError('sign-out-error', error);
  }
}

function render(state) {
  var account = F.obj(state.account);
  if (typeof account.signedIn !== 'boolean') return; // a push without the account
  var now = account.signedIn;
  F.show($('signin-card'), !now);
  F.show($('session-card'), now);
  var notice = F.str(account.notice);
  F.setText('signin-notice', notice);
  F.show($('signin-notice'), !now && notice !== '');
  F.setText('account-phone', now ? F.str(account.maskedPhone) || '已登录' : '未登录');
  F.show($('sign-out'), now);
  if (now !== signedIn) {
    signedIn = now;
    showError('signin-error', '');
    showError('sign-out-error', '');
    $('signin-code').value = '';
    // Signed out where the sign-in shows: the number first.
    if (!now && $('signin-card').offsetParent !== null) $('signin-phone').focus();
  }
}

export var signin = { bind: bind, render: render, receive: receive };
