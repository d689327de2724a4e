// The object model scripts see, written in the engine's own language and run
// before the ES5 additions are removed; it keeps what it needs in closures.
#include "script/script_prelude.h"

namespace sim {

const char* script_prelude() {
  return R"JS(
var GetSettingsFormat = { STRING: 1, STRING_SETTABLE: 2, NUMBER: 3, NUMBER_SETTABLE: 4, SPEC: 5 };
var PostRenderAction = { IMPORT: 1, IMPORT_AND_REPLACE_USAGE: 2, NONE: 3, SET_PROXY: 4 };
function CompItem(name) { this.name = name; }
var app = (function () {
  var J = JSON;
  var store = J.parse(__sim_store_load());
  var sw = J.parse(__sim_switches());
  var comps = J.parse(__sim_comp_names());
  function names(map) { var out = []; for (var k in map) out[out.length] = k; return out; }
  function copy(o) { var r = {}; for (var k in o) r[k] = o[k]; return r; }
  function persist() { __sim_store_save(J.stringify(store)); }
  function assign(target, values) {
    for (var k in values) { if (k !== sw.sticky) target[k] = values[k]; }
  }
  var defaultSettings = {
    "Resolution": "Full", "Color Depth": "16 bits per channel", "Motion Blur": "On for Checked Layers",
    "Quality": "Best", "Effects": "Current Settings", "Solo Switches": "Current Settings",
    "Frame Blending": "On for Checked Layers", "Guide Layers": "All Off"
  };
  function OutputModule(item) {
    this.templates = names(store.om);
    this.postRenderAction = item.post;
    var self = this;
    this.applyTemplate = function (name) {
      if (!store.om.hasOwnProperty(name)) throw new Error("no output module template named " + name);
      item.om = copy(store.om[name]);
      item.post = PostRenderAction.NONE;
      self.postRenderAction = item.post;
    };
    this.getSettings = function () { return copy(item.om); };
    this.setSettings = function (values) { assign(item.om, values); };
    this.saveAsTemplate = function (name) {
      if (sw.save_fails) throw new Error("cannot save output module template " + name);
      store.om[name] = copy(item.om);
      persist();
    };
  }
  function RenderQueueItem(comp) {
    var item = { rs: copy(defaultSettings), om: copy(store.om["Photoshop"] || {}), post: PostRenderAction.NONE };
    this.comp = comp;
    this.templates = names(store.rs);
    this.applyTemplate = function (name) {
      if (!store.rs.hasOwnProperty(name)) throw new Error("no render settings template named " + name);
      item.rs = copy(store.rs[name]);
    };
    this.getSettings = function () { return copy(item.rs); };
    this.setSettings = function (values) { assign(item.rs, values); };
    this.saveAsTemplate = function (name) {
      if (sw.save_fails) throw new Error("cannot save render settings template " + name);
      store.rs[name] = copy(item.rs);
      persist();
    };
    this.outputModule = function (index) {
      if (index !== 1) throw new Error("outputModule: index out of range");
      return new OutputModule(item);
    };
    this.remove = function () {
      if (sw.remove_fails) throw new Error("render queue item cannot be removed");
      __sim_queue_changed(false);
    };
  }
  var project = {
    numItems: comps.length,
    item: function (i) {
      if (i < 1 || i > comps.length) throw new Error("item: index out of range");
      return new CompItem(comps[i - 1]);
    },
    renderQueue: {
      items: {
        add: function (comp) {
          if (!(comp instanceof CompItem)) throw new Error("add: not a composition");
          __sim_queue_changed(sw.queue_dirties);
          return new RenderQueueItem(comp);
        }
      },
      showWindow: function () {}
    }
  };
  return { project: project };
})();
(function (global) {
  var gone = ["indexOf", "lastIndexOf", "forEach", "map", "filter", "some", "every", "reduce", "reduceRight"];
  for (var i = 0; i < gone.length; i++) delete Array.prototype[gone[i]];
  delete global.JSON;
})(this);
)JS";
}

}  // namespace sim
