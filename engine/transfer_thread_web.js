// The timers of the page's engine. A page in a background tab has its own
// timers held back to once a second, and after a few minutes to once a minute;
// a worker's timers are not. The waits of an update therefore run on a small
// worker's clock, so an update keeps its pace while the user looks at another
// tab. Where no worker can be made, the page's own timers are used.
mergeInto(LibraryManager.library, {
  $XrTimer: {
    worker: null,
    calls: null,  // id -> function (made at start: a library's values are written out as text)
    nextId: 1,
    start: function() {
      if (XrTimer.worker !== null || typeof Worker === 'undefined') return;
      const code = 'const t=new Map();onmessage=(e)=>{const id=e.data[0],ms=e.data[1];' +
                   'if(ms<0){clearTimeout(t.get(id));t.delete(id);return;}' +
                   't.set(id,setTimeout(()=>{t.delete(id);postMessage(id);},ms));};';
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
  $XrTimer__postset: 'XrTimer.calls = new Map(); Module["XrTimer"] = XrTimer;',

  xr_task_sleep__deps: ['$XrTimer'],
  xr_task_sleep: function(ms) {
    Asyncify.handleSleep((wakeUp) => XrTimer.after(ms, () => wakeUp(0)));
  },

  // The page runs the transfer task once the engine call under way has returned.
  xr_task_schedule: function() { Module['onTransferTask'](); },
});
