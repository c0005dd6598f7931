// The one way out of the page: messages to the application's "studio" handler, and the placement
// of the native video region over the video slot.
'use strict';

window.Studio = window.Studio || {};

(function (Studio) {
  Studio.post = function (action, value) {
    var message = { action: action };
    if (value !== undefined) message.value = value;
    try {
      var handlers = window.webkit && window.webkit.messageHandlers;
      if (handlers && handlers.studio) handlers.studio.postMessage(message);
    } catch (e) {
      // Outside the application (a plain browser) there is nobody to tell.
    }
  };

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
    Studio.post('rect', rect);
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

  Studio.watchVideoSlot = function (element) {
    slot = element;
    if (window.ResizeObserver) new ResizeObserver(scheduleRect).observe(element);
    window.addEventListener('resize', scheduleRect);
    // Any scrolling container may move the slot, so listen in the capture phase.
    window.addEventListener('scroll', scheduleRect, true);
    if (document.fonts && document.fonts.ready) document.fonts.ready.then(scheduleRect);
    scheduleRect();
  };

})(window.Studio);
