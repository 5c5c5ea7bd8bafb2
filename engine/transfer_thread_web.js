// The timers of the page's engine. A page in a background tab has its own
// timers held back to once a second, and after a few minutes to once a minute;
// a worker's timers are not. The waits of an update therefore run on a small
// worker's clock, so an update keeps its pace while the user looks at another
// tab. Where no worker can be made, the page's own timers are used.
//
// A timer fires late by a millisecond or so, and an update makes 33 and more
// of its 20 ms waits in a row: the worker's timer is set to end 2 ms early,
// and the worker then looks at the clock until the wait's end has come (never
// before it), so the waits add up to their own time.
mergeInto(LibraryManager.library, {
  $XrTimer: {
    worker: null,
    calls: null,  // id -> function (made at start: a library's values are written out as text)
    nextId: 1,
    start: function() {
      if (XrTimer.worker !== null || typeof Worker === 'undefined') return;
      // The wait is counted from when the worker has the message, which is
      // after the page asked: it is never shorter than asked.
      const code = 'const t=new Map();onmessage=(e)=>{const id=e.data[0],ms=e.data[1];' +
                   'if(ms<0){clearTimeout(t.get(id));t.delete(id);return;}' +
                   'const end=performance.now()+ms;' +
                   't.set(id,setTimeout(()=>{if(!t.has(id))return;t.delete(id);' +
                   'while(performance.now()<end){}postMessage(id);},Math.max(0,ms-2)));};';
      try {
        const url = URL.createObjectURL(new Blob([code], {type: 'text/javascript'}));
        XrTimer.worker = new Worker(url);
        XrTimer.worker.onmessage = (e) => XrTimer.fire(e.data);
      } catch (e) {
        XrTimer.worker = null;  // the page's own timers then
      }
    },
    fire: function(id) {
      const fn = XrTimer.calls.get(id);
      if (fn === undefined) return;
      XrTimer.calls.delete(id);
      fn();
    },
    // Calls fn once after ms milliseconds; returns an id for cancel.
    after: function(ms, fn) {
      XrTimer.start();
      const id = XrTimer.nextId++;
      XrTimer.calls.set(id, fn);
      if (XrTimer.worker !== null) {
        XrTimer.worker.postMessage([id, Math.max(0, ms)]);
      } else {
        setTimeout(() => XrTimer.fire(id), Math.max(0, ms));
      }
      return id;
    },
    cancel: function(id) {
      // A timer that fires after all finds nothing to call.
      if (XrTimer.calls.delete(id) && XrTimer.worker !== null) XrTimer.worker.postMessage([id, -1]);
    },
    // Calls fn every ms milliseconds until the returned function is called.
    every: function(ms, fn) {
      let id = 0, stopped = false;
      const again = () => {
        if (stopped) return;
        id = XrTimer.after(ms, again);
        fn();
      };
      id = XrTimer.after(ms, again);
      return () => { stopped = true; XrTimer.cancel(id); };
    },
    // A promise that resolves after ms milliseconds.
    delay: function(ms) { return new Promise((resolve) => XrTimer.after(ms, resolve)); },
  },
  $XrTimer__postset: 'XrTimer.calls = new Map();',

  // The page's timers on the same clock (ui/web/page_devices_web.cpp): each
  // firing calls the page's timer(id).
  $XrPageTimers: {
    stops: null,  // id -> the function that stops it
    nextId: 1,
  },
  $XrPageTimers__postset: 'XrPageTimers.stops = new Map();',

  xr_page_timer_start__deps: ['$XrTimer', '$XrPageTimers'],
  xr_page_timer_start: function(ms, repeat) {
    const id = XrPageTimers.nextId++;
    const fire = () => {
      if (!repeat) XrPageTimers.stops.delete(id);
      const page = Module['page'];
      if (page && page.timer) page.timer(id);
    };
    if (repeat) {
      XrPageTimers.stops.set(id, XrTimer.every(ms, fire));
    } else {
      const timer = XrTimer.after(ms, fire);
      XrPageTimers.stops.set(id, () => XrTimer.cancel(timer));
    }
    return id;
  },

  xr_page_timer_stop__deps: ['$XrPageTimers'],
  xr_page_timer_stop: function(id) {
    const stop = XrPageTimers.stops.get(id);
    if (stop === undefined) return;
    XrPageTimers.stops.delete(id);
    stop();
  },

  xr_task_sleep__deps: ['$XrTimer'],
  xr_task_sleep: function(ms) {
    Asyncify.handleSleep((wakeUp) => XrTimer.after(ms, () => wakeUp(0)));
  },

  // The page runs the transfer task once the engine call under way has returned.
  xr_task_schedule: function() { Module['onTransferTask'](); },
});
