/* The appliance's web interface: the menu on small screens, the countdown of the
   message pages, confirmations of the maintenance actions and the loader of the
   information views. No external resources. */
(function () {
  "use strict";

  function ready(fn) {
    if (document.readyState !== "loading") fn();
    else document.addEventListener("DOMContentLoaded", fn);
  }

  // Loads a page part (an information view) into the element #view, or opens it.
  window.filler = function (url, lang) {
    var view = document.getElementById("view");
    if (!view || !window.fetch) {
      window.location.href = url;
      return false;
    }
    fetch(url, { credentials: "same-origin" })
      .then(function (r) { return r.text(); })
      .then(function (text) { view.innerHTML = text; })
      .catch(function () { window.location.href = url; });
    return false;
  };

  ready(function () {
    var toggle = document.querySelector(".menu-toggle");
    var nav = document.getElementById("nav");
    if (toggle && nav) {
      toggle.addEventListener("click", function () {
        var open = nav.classList.toggle("open");
        toggle.setAttribute("aria-expanded", open ? "true" : "false");
      });
    }

    // The language links lead to the page shown, in that language.
    var path = window.location.pathname;
    if (/\.(html|cgi)$/.test(path)) {
      if (/\.cgi$/.test(path)) path = "/start.html";
      document.querySelectorAll("a[data-lang]").forEach(function (a) {
        var code = a.getAttribute("data-lang");
        var base = path.replace(/_[a-z]{2}(\.[a-z]+)$/, "$1");
        a.setAttribute("href", base.replace(/(\.[a-z]+)$/, "_" + code + "$1"));
      });
    }

    // Marks the menu entry of the page shown.
    var here = window.location.pathname.replace(/_[a-z]{2}(\.[a-z]+)$/, "$1");
    document.querySelectorAll(".sidenav a[href]").forEach(function (a) {
      var target = a.getAttribute("href").replace(/_[a-z]{2}(\.[a-z]+)$/, "$1");
      if (target === here) a.setAttribute("aria-current", "page");
    });

    // The further devices of a port, hidden behind the first one.
    document.querySelectorAll("button[data-succ]").forEach(function (b) {
      b.addEventListener("click", function () {
        document.getElementsByName(b.getAttribute("data-succ")).forEach(function (li) {
          li.style.display = "";
        });
        b.hidden = true;
      });
    });

    // Forms that ask before they act.
    document.querySelectorAll("form[data-confirm]").forEach(function (form) {
      form.addEventListener("submit", function (e) {
        if (!window.confirm(form.getAttribute("data-confirm"))) e.preventDefault();
      });
    });

    // The Wi-Fi scan table: "state|rows" from the scan page.
    var wifis = document.querySelector("[data-wifis]");
    var list = document.getElementById("wifi-list");
    if (wifis && list && window.fetch) {
      fetch(wifis.getAttribute("data-wifis"), { credentials: "same-origin" })
        .then(function (r) { return r.text(); })
        .then(function (text) {
          var bar = text.indexOf("|");
          wifis.textContent = bar >= 0 ? text.slice(0, bar) : "";
          list.innerHTML = bar >= 0 ? text.slice(bar + 1) : "";
        })
        .catch(function () {});
    }

    // The countdown of a message page.
    var counter = document.querySelector(".countdown[data-seconds]");
    if (counter) {
      var left = parseInt(counter.getAttribute("data-seconds"), 10) || 0;
      var timer = window.setInterval(function () {
        left = Math.max(0, left - 1);
        counter.textContent = String(left);
        if (left === 0) window.clearInterval(timer);
      }, 1000);
    }
  });
})();
