// The one way out of the page: messages to the application's "studio" handler, and the placement
// of the native video region over the video slot.
//
// The application hands the handler over once, to the first caller of a function its document-start
// script puts on the top frame's window; this module takes it while it is evaluated and keeps it in
// its closure. Nothing on a window then leads to the handler, so a frame of the page, which can
// reach the top window's globals, has nothing to post with. Outside the application (a plain
// view that registers "studio" itself) the handler is looked up by name.

function takeHandler() {
  try {
    var take = window.__studioTakeBridge;
    if (typeof take === 'function') return take();
    var handlers = window.webkit && window.webkit.messageHandlers;
    if (handlers && handlers.studio) {
      var studio = handlers.studio;
      return function (message) { studio.postMessage(message); };
    }
  } catch (e) {
    // A plain browser: nobody to tell.
  }
  return null;
}

var send = takeHandler();

export function post(action, value) {
  // A view whose handler was not yet reachable when this module ran looks again by name.
  if (!send) send = takeHandler();
  var message = { action: action };
  if (value !== undefined) message.value = value;
  try {
    if (send) send(message);
  } catch (e) {
    // The application went away; nothing to tell.
  }
}

// The native region lies on top of the web view and follows the slot's box in the view's
// coordinates (origin top left, CSS pixels). Only real changes are reported, so a redraw or a
// page change that leaves the slot where it was never sends anything; while the slot is hidden
// nothing is reported and the region keeps its last place.
var lastRect = '';
var slot = null;

function reportRect() {
  if (!slot || slot.offsetParent === null) return;
  var box = slot.getBoundingClientRect();
  if (box.width <= 0 || box.height <= 0) return;
  var rect = {
    x: Math.round(box.left),
    y: Math.round(box.top),
    width: Math.round(box.width),
    height: Math.round(box.height)
  };
  var key = rect.x + ',' + rect.y + ',' + rect.width + ',' + rect.height;
  if (key === lastRect) return;
  lastRect = key;
  post('rect', rect);
}

var scheduled = false;
function scheduleRect() {
  if (scheduled) return;
  scheduled = true;
  window.requestAnimationFrame(function () {
    scheduled = false;
    reportRect();
  });
}

export function watchVideoSlot(element) {
  slot = element;
  if (window.ResizeObserver) new ResizeObserver(scheduleRect).observe(element);
  window.addEventListener('resize', scheduleRect);
  // Any scrolling container may move the slot, so listen in the capture phase.
  window.addEventListener('scroll', scheduleRect, true);
  if (document.fonts && document.fonts.ready) document.fonts.ready.then(scheduleRect);
  scheduleRect();
}
