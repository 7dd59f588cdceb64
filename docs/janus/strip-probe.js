// For tests and benchmarks only, off unless the page is opened with report=<URL>: reads the
// test pattern's strip (frame number, capture time) from every picture the video element
// shows (or, while the page shows the MJPEG stream in <img id="mjpeg"> instead, from every new
// picture of it at the next animation frame) and POSTs the readings to that URL about once a
// second, as JSON:
//   {"width":W,"height":H,"shown":N,"status":"...","source":"video"|"mjpeg",
//    "frames":[[frameNumber, captureUs, shownMs], ...]}
// (shown: pictures shown so far; shownMs: when the picture was shown — the frame's expected
// display time — in milliseconds since the Unix epoch, so that a reader on the same machine can
// set it against the capture time's clock; startMs: when the page began to load, on the same
// clock). The page's clock is tied to the system's by Date.now() itself, not by
// performance.timeOrigin, which may sit a few milliseconds off: the largest
// Date.now() - performance.now() seen (Date.now() counts whole milliseconds).
"use strict";
(function () {
  const query = new URLSearchParams(location.search);
  const report = query.get("report");
  if (!report) return;
  const columns = 32, rows = 3;
  let pending = [];
  let shown = 0;
  let canvas = null, context = null;
  let epochOfZero = Date.now() - performance.now();
  function calibrate() { epochOfZero = Math.max(epochOfZero, Date.now() - performance.now()); }

  function crc8(bytes, count) {
    let crc = 0;
    for (let i = 0; i < count; ++i) {
      crc ^= bytes[i];
      for (let bit = 0; bit < 8; ++bit) crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) & 0xff : (crc << 1) & 0xff;
    }
    return crc;
  }

  // The strip's cells, row by row, most significant bit first; null unless magic and CRC match.
  function readStrip(video, width, height) {
    if (!width || !height) return null;
    const cellWidth = Math.max(1, Math.floor(width / columns));
    const cellHeight = Math.max(4, Math.floor(height / 40));
    const left = Math.floor((width - columns * cellWidth) / 2);
    const stripHeight = cellHeight * rows;
    if (!canvas) {
      canvas = document.createElement("canvas");
      context = canvas.getContext("2d", { willReadFrequently: true });
    }
    if (canvas.width !== width || canvas.height !== stripHeight) {
      canvas.width = width;
      canvas.height = stripHeight;
    }
    context.drawImage(video, 0, 0, width, stripHeight, 0, 0, width, stripHeight);
    const pixels = context.getImageData(0, 0, width, stripHeight).data;
    const bytes = new Array(12).fill(0);
    for (let cell = 0; cell < columns * rows; ++cell) {
      const x = left + (cell % columns) * cellWidth + Math.floor(cellWidth / 2);
      const y = Math.floor(cell / columns) * cellHeight + Math.floor(cellHeight / 2);
      const at = (y * width + x) * 4;
      const luma = (pixels[at] + pixels[at + 1] + pixels[at + 2]) / 3;
      if (luma >= 128) bytes[cell >> 3] |= 0x80 >> (cell & 7);
    }
    if (bytes[0] !== 0xa5 || bytes[1] !== 0x3c || crc8(bytes, 11) !== bytes[11]) return null;
    const frame = ((bytes[2] << 24) >>> 0) + (bytes[3] << 16) + (bytes[4] << 8) + bytes[5];
    let captureUs = 0;
    for (let i = 6; i <= 10; ++i) captureUs = captureUs * 256 + bytes[i];
    return [frame, captureUs];
  }

  // The MJPEG picture when the page shows it rather than the video (as laid out: a style that
  // shows a hidden image counts as showing it).
  function shownImage() {
    const image = document.getElementById("mjpeg");
    return image && getComputedStyle(image).display !== "none" ? image : null;
  }

  function send(final) {
    const video = document.getElementById("video");
    const image = shownImage();
    const status = document.getElementById("status");
    const body = JSON.stringify({
      width: image ? image.naturalWidth : video ? video.videoWidth : 0,
      height: image ? image.naturalHeight : video ? video.videoHeight : 0,
      shown: shown,
      status: status ? status.textContent : "",
      source: image ? "mjpeg" : "video",
      startMs: epochOfZero,
      originOffsetMs: performance.timeOrigin - epochOfZero,
      frames: pending,
    });
    pending = [];
    fetch(report, { method: "POST", body: body, keepalive: !!final, mode: "no-cors" }).catch(function () {});
  }

  function onFrame(now, metadata) {
    const video = document.getElementById("video");
    shown += 1;
    calibrate();
    const reading = readStrip(video, video.videoWidth, video.videoHeight);
    const at = metadata && metadata.expectedDisplayTime ? metadata.expectedDisplayTime : now;
    if (reading) pending.push([reading[0], reading[1], epochOfZero + at]);
    video.requestVideoFrameCallback(onFrame);
  }

  // An image has no per-picture callback: each animation frame looks for a new frame number.
  let lastImageFrame = -1;
  function onAnimationFrame(now) {
    const image = shownImage();
    calibrate();
    const reading =
        image && image.naturalWidth ? readStrip(image, image.naturalWidth, image.naturalHeight) : null;
    if (reading && reading[0] !== lastImageFrame) {
      lastImageFrame = reading[0];
      shown += 1;
      pending.push([reading[0], reading[1], epochOfZero + now]);
    }
    requestAnimationFrame(onAnimationFrame);
  }

  window.addEventListener("load", function () {
    const video = document.getElementById("video");
    if (video && video.requestVideoFrameCallback) video.requestVideoFrameCallback(onFrame);
    if (document.getElementById("mjpeg")) requestAnimationFrame(onAnimationFrame);
    setInterval(send, 1000);
  });
})();
