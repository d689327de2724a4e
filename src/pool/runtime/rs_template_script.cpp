// The template program run in the host's ExtendScript, which is ES3: no
// Array.prototype.indexOf, no JSON, no ES5 array iteration.
#include "pool/runtime/rs_templates.h"

namespace vel {

namespace {

constexpr std::string_view kScript = R"JSX((function (requestedFormat) {
  function has(list, name) {
    if (!list) return false;
    for (var i = 0; i < list.length; i++) if (list[i] === name) return true;
    return false;
  }
  function compact(v) {
    return String(v).replace(/\s+/g, "").toLowerCase();
  }
  function sanitize(e) {
    return String(e && e.message ? e.message : e).replace(/[\r\n|]/g, " ");
  }
  function lookup(settings, key) {
    if (settings[key] !== undefined) return settings[key];
    var info = settings["Output File Info"];
    if (info && info[key] !== undefined) return info[key];
    return undefined;
  }
  function isOff(v) {
    if (v === false) return true;
    var c = compact(v);
    return c === "false" || c === "off";
  }
  function checkKeys(settings, want, name) {
    for (var k in want) {
      if (compact(settings[k]) !== compact(want[k])) throw new Error(name + ": " + k + "=" + settings[k]);
    }
  }
  var comp = null;
  var project = app.project;
  for (var i = 1; i <= project.numItems; i++) {
    var it = project.item(i);
    if (it instanceof CompItem) { comp = it; break; }
  }
  if (!comp) return "no-comp";

  var result = "err:template setup";
  var rq = null;
  try {
    rq = project.renderQueue.items.add(comp);
    if (!rq) return "err:add: null item";
    var ensure = function (name, resolution) {
      var wanted = {
        "Resolution": resolution,
        "Color Depth": "8 bits per channel",
        "Motion Blur": "Off for All Layers",
        "Quality": "Current Settings",
        "Effects": "Current Settings",
        "Solo Switches": "Current Settings",
        "Frame Blending": "Current Settings",
        "Guide Layers": "Current Settings"
      };
      var existed = has(rq.templates, name);
      if (existed) rq.applyTemplate(name); else rq.setSettings(wanted);
      var got = rq.getSettings(GetSettingsFormat.STRING_SETTABLE);
      for (var key in wanted) {
        if (String(got[key]).toLowerCase() !== String(wanted[key]).toLowerCase())
          throw new Error(name + ": " + key + "=" + got[key]);
      }
      if (!existed) rq.saveAsTemplate(name);
    };
    ensure("velocinta-quarter-v6", "Quarter");
    ensure("velocinta-half-v6", "Half");
    ensure("velocinta-extreme-v6", "Full");
    result = "created|fast preview: 8 bpc; motion blur off; quality, effects, solo, blending and guide layers: current settings";
  } catch (e) {
    result = "err:" + String(e && e.message ? e.message : e);
  }

  if (result.indexOf("created") === 0) {
    var straight = { "Channels": "RGB + Alpha", "Depth": "Millions of Colors+", "Color": "Straight (Unmatted)" };
    if (requestedFormat === "memory") {
      try {
        var om = rq.outputModule(1);
        if (!has(om.templates, "velocinta-memory-v1"))
          throw new Error("create velocinta-memory-v1 with Format Velocinta Memory 8bpc in Output Module Templates");
        om.applyTemplate("velocinta-memory-v1");
        om = rq.outputModule(1);
        var ms = om.getSettings(GetSettingsFormat.STRING);
        checkKeys(ms, { "Format": "Velocinta Memory 8bpc" }, "velocinta-memory-v1");
        checkKeys(ms, straight, "velocinta-memory-v1");
        if (!isOff(ms["Resize"]) || !isOff(ms["Crop"])) throw new Error("memory resize/crop not verifiably disabled");
        if (om.postRenderAction !== PostRenderAction.NONE) throw new Error("memory post-render action is not None");
        result += "|output=memory|alpha=straight-to-premultiplied-black|color-management=compare-required";
      } catch (e) {
        result += "|output=psd|memory-fallback:" + sanitize(e);
      }
    } else if (requestedFormat === "tga") {
      try {
        var tm = rq.outputModule(1);
        tm.applyTemplate("Photoshop");
        var reference = tm.getSettings(GetSettingsFormat.STRING);
        var source = null;
        var candidates = ["velocinta-tga-v1", "Targa Sequence", "Targa"];
        for (var c = 0; c < candidates.length; c++) {
          if (has(tm.templates, candidates[c])) { source = candidates[c]; break; }
        }
        if (!source) throw new Error("no Targa output template");
        tm.applyTemplate(source);
        var isTarga = function (f) { var c2 = compact(f); return c2 === "targa" || c2 === "targasequence"; };
        var first = tm.getSettings(GetSettingsFormat.STRING);
        if (!isTarga(first["Format"])) throw new Error("unexpected output Format=" + first["Format"]);
        if (source !== "velocinta-tga-v1") {
          tm.setSettings(straight);
          tm = rq.outputModule(1);
          tm.postRenderAction = PostRenderAction.NONE;
        }
        var ts = tm.getSettings(GetSettingsFormat.STRING);
        if (!isTarga(ts["Format"])) throw new Error("Targa format changed while configuring the output module");
        checkKeys(ts, straight, "velocinta-tga-v1");
        if (!isOff(ts["Resize"]) || !isOff(ts["Crop"])) throw new Error("Targa resize/crop not verifiably disabled");
        if (tm.postRenderAction !== PostRenderAction.NONE) throw new Error("Targa post-render action is not None");
        var numbering = ["Starting #", "Use Comp Frame Number"];
        for (var n = 0; n < numbering.length; n++) {
          var key = numbering[n];
          var a = lookup(reference, key), b = lookup(ts, key);
          if (a === undefined || b === undefined) throw new Error("output numbering unavailable: " + key);
          var okA = n === 0 ? /^[0-9]+$/.test(String(a)) : (compact(a) === "true" || compact(a) === "false");
          var okB = n === 0 ? /^[0-9]+$/.test(String(b)) : (compact(b) === "true" || compact(b) === "false");
          if (!okA || !okB) throw new Error("output numbering unrecognized: " + key);
          if (compact(a) !== compact(b)) throw new Error("output numbering differs from Photoshop: " + key);
        }
        if (source !== "velocinta-tga-v1") tm.saveAsTemplate("velocinta-tga-v1");
        result += "|output=tga|alpha=straight-to-premultiplied-black|compression=unverified|color-management=compare-required";
      } catch (e) {
        result += "|output=psd|tga-fallback:" + sanitize(e);
      }
    } else {
      result += "|output=psd";
    }
  }

  if (rq) {
    try { rq.remove(); } catch (e) { result = "err:remove: " + String(e && e.message ? e.message : e); }
  }
  try { app.project.renderQueue.showWindow(false); } catch (e) {}
  return result;
})("__VELOCINTA_OUTPUT_FORMAT__");
)JSX";

}  // namespace

std::string_view rs_template_script_source() { return kScript; }

}  // namespace vel
