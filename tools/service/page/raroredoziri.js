// The scale service's client for a page of another origin (a web POS).
// Include it from the service itself; it talks to the service it came from:
//
//   <script src="http://127.0.0.1:8080/raroredoziri.js"></script>
//   <script>
//     const front = RaroreDoziri.scale("front", {
//       token: "",                                  // when the service wants one
//       onWeight: w => show(w.weight, w.stable),    // every reading (state, weight, tare, ...)
//       onState: s => badge(s),                     // "connecting", "connected", "disconnected", ...
//       onError: e => alert(e.message),             // e.kind: origin, host, token, permission,
//     });                                           //         unreachable, http
//     const w = await front.stableWeight(3000);   // for pricing: stable, above zero, or throws
//                                                 // kind "timeout" (e.reading: the last one)
//     const answer = await front.command("SetGoods", { Goods: "Milk" });  // throws the same errors
//     front.close();
//   </script>
//
// The page's origin must be among the service's allowed sites (its own page
// manages them). Commands go as JSON with the token; the weight comes as an
// event stream that is opened again after a loss. Where the browser asks
// before a public page reaches a local address, the request says which
// address space it wants (targetAddressSpace).
(function (global) {
  "use strict";
  const here = document.currentScript && document.currentScript.src;
  const defaultBase = here ? new URL(here).origin : "http://127.0.0.1:8080";

  class ServiceError extends Error {
    constructor(kind, message, status) {
      super(message);
      this.name = "RaroreDoziriError";
      this.kind = kind;
      this.status = status || 0;
    }
  }

  function addressSpace(base) {
    const host = new URL(base).hostname;
    return /^(localhost|127\.\d+\.\d+\.\d+|\[::1\])$/.test(host) ? "loopback" : "local";
  }

  // The browser's answer on reaching local addresses, where it has one.
  async function permissionDenied() {
    if (!navigator.permissions) return false;
    for (const name of ["local-network-access", "loopback-network", "local-network"]) {
      try {
        if ((await navigator.permissions.query({ name })).state === "denied") return true;
      } catch (e) { /* not a permission this browser knows */ }
    }
    return false;
  }

  function kindOf(status, text) {
    if (status === 401) return "token";
    if (status === 408) return "timeout";
    if (status === 503) return "unavailable";
    if (status === 403 && /^host/.test(text)) return "host";
    if (status === 403) return "origin";
    return "http";
  }

  class Client {
    constructor(base, token) {
      this.base = (base || defaultBase).replace(/\/$/, "");
      this.token = token || "";
      this.space = addressSpace(this.base);
    }

    async request(path, init) {
      const options = Object.assign({ targetAddressSpace: this.space, cache: "no-store" }, init);
      options.headers = Object.assign({}, init && init.headers);
      if (this.token) options.headers.Authorization = "Bearer " + this.token;
      let res;
      try {
        res = await fetch(this.base + path, options);
      } catch (e) {
        throw await this.why();
      }
      let body = null;
      try { body = await res.json(); } catch (e) { /* not JSON */ }
      if (!res.ok) {
        const text = (body && body.error) || "HTTP " + res.status;
        const error = new ServiceError(kindOf(res.status, text), text, res.status);
        if (body && "weight_state" in body) error.reading = body;
        throw error;
      }
      return body;
    }

    // Why a request got no readable answer: a refused origin answers a plain
    // GET readably, a browser that was told no says so, else nobody answers.
    async why() {
      if (await permissionDenied()) {
        return new ServiceError("permission",
          "the browser does not let this page reach the scale service (local network access)");
      }
      try {
        const res = await fetch(this.base + "/scales", { targetAddressSpace: this.space });
        const body = await res.json();
        if (!res.ok) return new ServiceError(kindOf(res.status, body.error), body.error, res.status);
      } catch (e) { /* no readable answer */ }
      return new ServiceError("unreachable",
        "no answer from the scale service at " + this.base + " (not running, or this page's " +
        "origin is not among its allowed sites)");
    }
  }

  class Scale {
    constructor(name, options) {
      this.name = name;
      this.options = options || {};
      this.client = new Client(this.options.base, this.options.token);
      this.closed = false;
      this.pause = 1000;
      this.open();
    }

    path(tail) { return "/scales/" + encodeURIComponent(this.name) + tail; }

    emit(what, value) {
      const handler = this.options[what];
      if (typeof handler === "function") handler(value);
    }

    open() {
      if (this.closed) return;
      const token = this.client.token ? "?access_token=" + encodeURIComponent(this.client.token) : "";
      const source = new EventSource(this.client.base + this.path("/events") + token);
      this.source = source;
      source.addEventListener("weight", ev => {
        this.pause = 1000;
        let w;
        try { w = JSON.parse(ev.data); } catch (e) { return; }
        this.emit("onState", w.state);
        this.emit("onWeight", w);
      });
      source.onerror = async () => {
        this.emit("onState", "connecting");
        if (source.readyState !== EventSource.CLOSED || this.closed) return;  // the browser retries
        this.emit("onError", await this.client.why());
        // Refused or gone: try again, more slowly each time, up to 30 s.
        setTimeout(() => this.open(), this.pause);
        this.pause = Math.min(this.pause * 2, 30000);
      };
    }

    command(name, values) {
      return this.client.request(this.path("/commands/" + encodeURIComponent(name)), {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(values || {}),
      });
    }

    settings() { return this.client.request(this.path("/settings")); }

    // The first reading that is stable and above zero within `timeout` ms
    // (default 3000, at most 30000); the service's poller reads the scale.
    // No such reading: throws kind "timeout", or "unavailable" when the scale
    // is not connected, with the last reading in e.reading.
    stableWeight(timeout, allowZero) {
      const query = "?stable=true&timeout=" + (timeout === undefined ? 3000 : timeout) +
                    (allowZero ? "&allow_zero=true" : "");
      return this.client.request(this.path("/weight" + query));
    }

    close() {
      this.closed = true;
      if (this.source) this.source.close();
    }
  }

  global.RaroreDoziri = {
    Error: ServiceError,
    scale: (name, options) => new Scale(name, options),
    scales: (options) => new Client(options && options.base, options && options.token)
      .request("/scales").then(body => body.scales),
  };
})(window);
