/* The updater page: asks the device for the update's state about once a second and
   shows its text and a bar of its value. The answer is "text|M|value|"; M is 18 once
   the device restarts, and then the questions end. */
(function () {
  "use strict";

  function start() {
    var box = document.getElementById("updater");
    var text = document.getElementById("update-text");
    var bar = document.getElementById("update-bar");
    if (!box || !text || !bar || !window.fetch) return;
    var url = box.getAttribute("data-state");

    function show(answer) {
      var parts = answer.split("|");
      if (parts.length < 3) return false;
      var value = parseInt(parts[2], 10);
      text.innerHTML = parts[0];
      if (!isNaN(value)) {
        bar.value = Math.max(0, Math.min(100, value));
        bar.textContent = bar.value + "%";
      }
      box.setAttribute("data-value", isNaN(value) ? "" : String(value));
      return parts[1] === "18";
    }

    function ask() {
      fetch(url, { credentials: "same-origin", cache: "no-store" })
        .then(function (r) { return r.ok ? r.text() : ""; })
        .then(function (answer) {
          // Once the image is written the restart follows within seconds: the last
          // questions come quicker, so that the page sees it.
          if (!show(answer)) window.setTimeout(ask, bar.value >= 99 ? 250 : 1000);
        })
        .catch(function () { window.setTimeout(ask, 1000); });
    }
    ask();
  }

  if (document.readyState !== "loading") start();
  else document.addEventListener("DOMContentLoaded", start);
})();
