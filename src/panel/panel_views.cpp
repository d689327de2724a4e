#include "panel/panel_views.h"

#include <algorithm>
#include <cmath>

#include "core/log.h"

namespace vel {
namespace {

using platform::NSColor;
using platform::NSFont;

void quiet_label(platform::NSTextField& t) {
  t.setBezeled(false);
  t.setDrawsBackground(false);
  t.setEditable(false);
  t.setSelectable(false);
}

std::shared_ptr<platform::NSTextField> caption_label(const char* text) {
  auto t = platform::NSTextField::initWithFrame({});
  quiet_label(*t);
  t->setTextColor(NSColor::colorWithSRGBRed(0.7, 0.7, 0.72, 1.0));
  t->setFont(NSFont::systemFontOfSize(11));
  t->setStringValue(text);
  return t;
}

std::shared_ptr<platform::NSPopUpButton> popup(const char* const* items, size_t count, int64_t selected,
                                               const std::shared_ptr<VelocintaOptionsTarget>& target,
                                               const char* action) {
  auto p = platform::NSPopUpButton::initWithFrame({0, 0, 110, 22}, false);
  for (size_t i = 0; i < count; ++i) p->addItemWithTitle(items[i]);
  p->selectItemAtIndex(selected);
  p->setControlSize(platform::NSControlSize::Small);
  p->setFont(NSFont::systemFontOfSize(11));
  p->setTarget(target);
  p->setAction(action);
  return p;
}

void dark(platform::NSView& v) {
  if (auto a = platform::NSAppearance::appearanceNamed(platform::NSAppearanceNameDarkAqua)) v.setAppearance(a);
}

}  // namespace

std::unique_ptr<PanelViews> build_panel(const PanelBuildInputs& in) {
  auto p = std::make_unique<PanelViews>();
  p->display_view = platform::NSImageView::initWithFrame({});
  p->display_view->setImageScaling(platform::NSImageScaleAxesIndependently);
  p->strip_view = platform::NSImageView::initWithFrame({});
  p->strip_view->setImageScaling(platform::NSImageScaleAxesIndependently);

  p->status_label = platform::NSTextField::initWithFrame({});
  quiet_label(*p->status_label);
  p->status_label->setTextColor(NSColor::whiteColor());
  p->status_label->setFont(NSFont::boldSystemFontOfSize(12));
  p->status_label->setStringValue("");
  p->detail_label = platform::NSTextField::initWithFrame({});
  quiet_label(*p->detail_label);
  p->detail_label->setTextColor(NSColor::colorWithSRGBRed(168.0 / 255, 168.0 / 255, 168.0 / 255, 1.0));
  p->detail_label->setFont(NSFont::systemFontOfSize(12));
  p->detail_label->setAlignment(platform::NSTextAlignment::Right);
  p->detail_label->setStringValue("");

  p->picture_scrub = VelocintaScrubView::create(ScrubKind::Picture);
  p->strip_scrub = VelocintaScrubView::create(ScrubKind::Strip);

  p->play_target = std::make_shared<VelocintaPlayTarget>();
  p->play_button = platform::NSButton::buttonWithTitle(kPauseTitle, p->play_target, "togglePlay:");
  p->play_button->setBordered(true);
  p->play_button->setBezelStyle(platform::NSBezelStyle::Rounded);

  p->options_target = std::make_shared<VelocintaOptionsTarget>();
  p->size_label = caption_label("Size");
  p->size_popup = popup(kSizeItems, 4, in.quality <= 3 ? static_cast<int64_t>(in.quality) : 1, p->options_target,
                        "qualityChanged:");
  const uint64_t levels = std::clamp<uint64_t>(in.speed_level, 1, 4);
  p->single_speed = levels < 2;
  p->speed_label = caption_label("Speed");
  p->speed_popup = popup(kSpeedItems, levels, in.speed <= 3 ? static_cast<int64_t>(in.speed) : 0, p->options_target,
                         "speedChanged:");
  p->autosave_checkbox = platform::NSButton::checkboxWithTitle("Autosave", p->options_target, "autosaveChanged:");
  p->autosave_checkbox->setState(in.autosave ? 1 : 0);
  p->autosave_checkbox->setControlSize(platform::NSControlSize::Small);
  p->autosave_checkbox->setFont(NSFont::systemFontOfSize(11));
  dark(*p->size_popup);
  dark(*p->speed_popup);
  dark(*p->autosave_checkbox);
  dark(*p->play_button);

  // Without a GPU device (or with Metal switched off) the panel presents
  // through the CPU path.
  p->metal = start_metal_presentation(in.metal_allowed);
  if (p->metal) {
    p->metal_view = p->metal->view;
  } else {
    p->cpu = std::make_unique<CpuPresentation>(p->display_view, in.async_present, in.on_present_result);
  }

  p->update_target = std::make_shared<VelocintaUpdateTarget>(in.open_update_link);
  p->update_button = platform::NSButton::buttonWithTitle("", p->update_target, "openUpdate:");
  p->update_button->setBordered(true);
  p->update_button->setBezelStyle(platform::NSBezelStyle::Rounded);
  p->update_button->setBezelColor(NSColor::colorWithSRGBRed(0.11, 0.45, 1.0, 1.0));
  dark(*p->update_button);
  p->update_button->setHidden(true);
  // A panel built after the notice arrived shows it from the start.
  set_update_banner(*p, in.update_banner_title);
  return p;
}

void set_update_banner(PanelViews& p, const std::optional<std::string>& title) {
  if (title && p.update_button->title() != *title) p.update_button->setTitle(*title);
  p.update_button->setHidden(!title);
}

void add_panel_subviews(PanelViews& p, platform::NSView& container) {
  container.addSubview(p.display_view);
  if (p.metal_view) container.addSubview(p.metal_view);
  container.addSubview(p.strip_view);
  container.addSubview(p.status_label);
  container.addSubview(p.detail_label);
  container.addSubview(p.picture_scrub);
  container.addSubview(p.strip_scrub);
  container.addSubview(p.play_button);
  container.addSubview(p.size_label);
  container.addSubview(p.size_popup);
  container.addSubview(p.speed_label);
  container.addSubview(p.speed_popup);
  container.addSubview(p.autosave_checkbox);
  container.addSubview(p.update_button);
}

void layout_panel(PanelViews& p, const platform::NSView& container) {
  LayoutInputs in;
  in.mode = p.layout_mode;
  in.native_width = p.layout_mode == kLayoutModeNative ? p.native_width : 0;
  in.width = container.bounds().width;
  in.height = container.bounds().height;
  in.aspect = p.layout_aspect;
  const platform::NSWindow* w = container.window();
  in.scale = w != nullptr ? w->backingScaleFactor() : 0.0;
  in.single_speed = p.single_speed;
  if (p.laid_out && *p.laid_out == in) return;
  p.laid_out = in;

  const PanelFrames f = compute_panel_layout(in);
  p.picture_px = f.picture_px;
  p.display_view->setFrame(f.picture);
  if (p.metal_view) p.metal_view->setFrame(f.picture);
  p.picture_scrub->setFrame(f.picture);
  if (p.cpu) p.cpu->set_picture_px(f.picture_px);
  if (p.metal) set_metal_view_size(*p.metal, f.picture_px);
  p.strip_view->setFrame(f.strip);
  p.strip_scrub->setFrame(f.strip);
  p.status_label->setFrame(f.status);
  p.detail_label->setFrame(f.detail);
  p.play_button->setFrame(f.play);
  p.size_label->setHidden(f.size_label_hidden);
  p.speed_label->setHidden(f.speed_label_hidden);
  p.speed_popup->setHidden(f.speed_popup_hidden);
  if (!f.size_label_hidden) p.size_label->setFrame(f.size_label);
  p.size_popup->setFrame(f.size_popup);
  if (!f.speed_label_hidden) p.speed_label->setFrame(f.speed_label);
  p.speed_popup->setFrame(f.speed_popup);
  p.autosave_checkbox->setFrame(f.autosave);
  p.update_button->setFrame(f.update);
}

void set_layout_aspect(PanelViews& p, const platform::NSView* container, uint32_t mode, uint32_t native_width,
                       bool aspect_given, double aspect) {
  const double a = aspect_given && std::isfinite(aspect) && aspect > 0.0 ? aspect : kDefaultAspect;
  const bool fit = (mode & 1) == 0;
  if (p.layout_mode != kLayoutModeNative && fit && a == p.layout_aspect) return;
  if (p.layout_mode == kLayoutModeNative && mode == kLayoutModeNative && native_width == p.native_width &&
      a == p.layout_aspect)
    return;
  p.layout_mode = mode;
  p.native_width = native_width;
  p.layout_aspect = a;
  if (container != nullptr) layout_panel(p, *container);
}

}  // namespace vel
