// Behaviour shared by the pages: a redraw guard, tab lists and radio groups.
import { F } from './format.js';

// Render errors so far; the application's tests read it through window.Studio.
export var errors = { count: 0 };

// One faulty part of a redraw must not stop the others.
export function guard(render, state) {
  try {
    render(state);
  } catch (e) {
    errors.count += 1;
    if (window.console) console.error('studio render:', e);
  }
}

function arrowStep(event, vertical) {
  if (event.key === 'ArrowRight' || (vertical && event.key === 'ArrowDown')) return 1;
  if (event.key === 'ArrowLeft' || (vertical && event.key === 'ArrowUp')) return -1;
  return 0;
}

export function bindTabs(tabs) {
  function select(tab, focus) {
    tabs.forEach(function (t) {
      var on = t === tab;
      t.setAttribute('aria-selected', String(on));
      t.tabIndex = on ? 0 : -1;
      F.show(document.getElementById(t.getAttribute('aria-controls')), on);
    });
    if (focus) tab.focus();
  }
  tabs.forEach(function (tab, i) {
    tab.addEventListener('click', function () { select(tab, false); });
    tab.addEventListener('keydown', function (event) {
      var step = arrowStep(event, false);
      if (!step) return;
      event.preventDefault();
      select(tabs[(i + step + tabs.length) % tabs.length], true);
    });
  });
}

// A radio group of buttons with aria-checked: one tab stop (the checked radio), and the arrow
// keys move to the next enabled radio and choose it, as a click would.
export function bindRadios(list) {
  var radios = Array.prototype.slice.call(list);
  radios.forEach(function (radio, i) {
    radio.addEventListener('keydown', function (event) {
      var step = arrowStep(event, true);
      if (!step) return;
      event.preventDefault();
      for (var n = 1; n < radios.length; n++) {
        var next = radios[(i + step * n + radios.length * n) % radios.length];
        if (next.disabled) continue;
        next.focus();
        if (next.getAttribute('aria-checked') !== 'true') next.click();
        return;
      }
    });
  });
}

// Keeps the group's single tab stop on the checked radio (the first one when none is).
export function rovingTabStop(list) {
  var radios = Array.prototype.slice.call(list);
  var checked = radios.filter(function (r) { return r.getAttribute('aria-checked') === 'true'; })[0];
  radios.forEach(function (r) { r.tabIndex = r === (checked || radios[0]) ? 0 : -1; });
}
