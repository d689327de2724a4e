// The preview shader: one full-screen triangle that stretches the frame over
// the drawable, sampled at an explicit mip level, sharpened when the view
// magnifies, flattened over a grey checkerboard where it is transparent.
// This one text is both the Metal source handed to the framework and C++
// compiled into the plug-in, so it keeps to what both languages accept:
// plain member access and constructors in place of swizzles.
#ifdef __METAL_VERSION__
#include <metal_stdlib>
using namespace metal;
#define VN_BEGIN
#define VN_END
#define VN_VERTEX vertex
#define VN_FRAGMENT fragment
#define VN_CONSTANT constant
#define VN_POSITION [[position]]
#define VN_VERTEX_ID [[vertex_id]]
#define VN_STAGE_IN [[stage_in]]
#define VN_TEXTURE0 [[texture(0)]]
#define VN_BUFFER0 [[buffer(0)]]
#else
#pragma once
#include "platform/metal_shading.h"
#define VN_BEGIN namespace vel::preview_shader { using namespace metal;
#define VN_END }
#define VN_VERTEX inline
#define VN_FRAGMENT inline
#define VN_CONSTANT const
#define VN_POSITION
#define VN_VERTEX_ID
#define VN_STAGE_IN
#define VN_TEXTURE0
#define VN_BUFFER0
#endif

VN_BEGIN

struct VOut {
  float4 position VN_POSITION;
  float2 uv;
};

struct Uniforms {
  float lod;
  float sharpen;
  float2 src_px;
  float2 out_px;
  float cell;
  float pad;
};

VN_VERTEX VOut vn_vertex(unsigned int vid VN_VERTEX_ID) {
  float2 uv = float2(float((vid << 1) & 2u), float(vid & 2u));
  VOut o;
  o.position = float4(uv.x * 2.0f - 1.0f, 1.0f - uv.y * 2.0f, 0.0f, 1.0f);
  o.uv = uv;
  return o;
}

VN_FRAGMENT float4 vn_fragment(VOut v VN_STAGE_IN, texture2d<float> tex VN_TEXTURE0,
                               VN_CONSTANT Uniforms& u VN_BUFFER0) {
  constexpr sampler smp(address::clamp_to_edge, filter::linear, mip_filter::linear);
  float4 c = tex.sample(smp, v.uv, level(u.lod));
  if (u.sharpen > 0.0f) {
    float tx = exp2(u.lod) / u.src_px.x;
    float ty = exp2(u.lod) / u.src_px.y;
    float4 e = tex.sample(smp, float2(v.uv.x + tx, v.uv.y), level(u.lod));
    float4 w = tex.sample(smp, float2(v.uv.x - tx, v.uv.y), level(u.lod));
    float4 s = tex.sample(smp, float2(v.uv.x, v.uv.y + ty), level(u.lod));
    float4 n = tex.sample(smp, float2(v.uv.x, v.uv.y - ty), level(u.lod));
    float k = u.sharpen / 4.0f;
    c = float4(clamp(c.x + (4.0f * c.x - (e.x + w.x + s.x + n.x)) * k, 0.0f, 1.0f),
               clamp(c.y + (4.0f * c.y - (e.y + w.y + s.y + n.y)) * k, 0.0f, 1.0f),
               clamp(c.z + (4.0f * c.z - (e.z + w.z + s.z + n.z)) * k, 0.0f, 1.0f), c.w);
  }
  if (u.cell > 0.0f && c.w < 1.0f) {
    float px = floor(v.uv.x * u.out_px.x / u.cell);
    float py = floor(v.uv.y * u.out_px.y / u.cell);
    float g = fmod(px + py, 2.0f) < 1.0f ? 153.0f / 255.0f : 102.0f / 255.0f;
    float under = g * (1.0f - c.w);
    c = float4(min(c.x + under, 1.0f), min(c.y + under, 1.0f), min(c.z + under, 1.0f), c.w);
  }
  return float4(c.x, c.y, c.z, 1.0f);
}

VN_END
