// Plays the camera's mountpoint; on any loss (Janus gone, ICE failed, no pictures for a
// while) the whole session is dropped and made again after a short pause, for as long as the
// page is open. A page that embeds it (the capture server's own) may set window.viewerConfig
// = {server, id, pin, onTrouble(why), disabled} first; what it leaves empty comes from the query.
"use strict";
(function () {
  const query = new URLSearchParams(location.search);
  const config = window.viewerConfig || {};
  const server = config.server || query.get("server") ||
                 location.protocol + "//" + location.hostname + ":8088/janus";
  const mountpoint = Number(config.id || query.get("id") || "1");
  const pin = config.pin || query.get("pin");
  const retryMs = 2000;
  const stallMs = 8000;

  let janus = null;
  let retryTimer = null;
  let stallTimer = null;
  let lastTime = -1;
  let attempt = 0;

  function status(text) {
    const line = document.getElementById("status");
    if (line) line.textContent = text;
    console.log("viewer: " + text);
  }

  function scheduleRetry(why) {
    if (config.onTrouble) config.onTrouble(why);
    if (retryTimer) return;
    status("reconnecting (" + why + ")");
    teardown();
    retryTimer = setTimeout(function () { retryTimer = null; connect(); }, retryMs);
  }

  function teardown() {
    clearInterval(stallTimer);
    stallTimer = null;
    const old = janus;
    janus = null;
    if (old) {
      try { old.destroy({ cleanupHandles: true, notifyDestroyed: false }); } catch (e) { /* gone */ }
    }
    const video = document.getElementById("video");
    if (video) video.srcObject = null;
  }

  // Pictures stop when the sender or Janus stops without the session noticing: watch the clock.
  function watchForStall(video) {
    lastTime = -1;
    let still = 0;
    clearInterval(stallTimer);
    stallTimer = setInterval(function () {
      if (video.currentTime !== lastTime) { lastTime = video.currentTime; still = 0; return; }
      still += 1000;
      if (still >= stallMs) scheduleRetry("no pictures");
    }, 1000);
  }

  function watch(handle) {
    const request = { request: "watch", id: mountpoint };
    if (pin) request.pin = pin;
    handle.send({ message: request });
  }

  function attach(session, self) {
    let streaming = null;
    session.attach({
      plugin: "janus.plugin.streaming",
      opaqueId: "tarnick-viewer-" + Janus.randomString(8),
      success: function (handle) { streaming = handle; watch(handle); },
      error: function (error) { if (janus === self) scheduleRetry("attach: " + error); },
      iceState: function (state) {
        if (janus === self && (state === "failed" || state === "disconnected"))
          scheduleRetry("ICE " + state);
      },
      webrtcState: function (up) { if (janus === self && !up) scheduleRetry("WebRTC down"); },
      onmessage: function (message, jsep) {
        if (message.error) {
          status("error: " + message.error);
          if (janus === self) scheduleRetry(message.error);
          return;
        }
        if (message.result && message.result.status === "stopped" && janus === self)
          scheduleRetry("stopped");
        if (!jsep || !streaming) return;
        streaming.createAnswer({
          jsep: jsep,
          // Nothing sent from here: the offered video is taken receive-only.
          tracks: [{ type: "data" }],
          success: function (answer) {
            streaming.send({ message: { request: "start" }, jsep: answer });
          },
          error: function (error) { if (janus === self) scheduleRetry("answer: " + error); },
        });
      },
      onremotetrack: function (track, mid, on) {
        if (!on || track.kind !== "video") return;
        const video = document.getElementById("video");
        video.srcObject = new MediaStream([track]);
        video.play().catch(function () { /* autoplay refused: muted video plays anyway */ });
        status("playing");
        watchForStall(video);
      },
      oncleanup: function () { if (janus === self) scheduleRetry("hung up"); },
    });
  }

  function connect() {
    attempt += 1;
    status("connecting to " + server + " (attempt " + attempt + ")");
    const self = new Janus({
      server: server,
      success: function () { attach(self, self); },
      error: function (error) { if (janus === self || janus === null) scheduleRetry(String(error)); },
      destroyed: function () { if (janus === self) scheduleRetry("session ended"); },
    });
    janus = self;
  }

  window.addEventListener("load", function () {
    if (config.disabled) return;
    Janus.init({
      debug: false,
      dependencies: Janus.useDefaultDependencies(),
      callback: function () {
        if (!Janus.isWebrtcSupported()) {
          status("this browser has no WebRTC");
          if (config.onTrouble) config.onTrouble("no WebRTC");
          return;
        }
        connect();
      },
    });
  });
})();
