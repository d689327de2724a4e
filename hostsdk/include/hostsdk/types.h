/* The host's basic types, error codes and opaque handles, as the plug-in and
 * the stand-in host both see them. Plain C11, usable from C++; no logic. */
#ifndef HOSTSDK_TYPES_H
#define HOSTSDK_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef int64_t A_longlong;
typedef uint64_t A_u_longlong;
typedef uint8_t A_Boolean; /* 0 false, anything else true */
typedef char A_char;
typedef unsigned char A_u_char; /* UTF-8 text where a call says so */
typedef uint16_t A_UTF16Char;   /* UTF-16, host byte order */
typedef double A_FpLong;
typedef float A_FpShort;

/* A point in time, in seconds: value / scale. A scale of 0 is never a valid
 * time; callers must check before dividing. */
typedef struct A_Time {
  A_long value;
  A_u_long scale;
} A_Time;

typedef struct A_FloatPoint {
  A_FpLong x, y;
} A_FloatPoint;

typedef struct A_LPoint {
  A_long x, y;
} A_LPoint;

typedef struct A_LRect {
  A_long left, top, right, bottom;
} A_LRect;

/* Colour in 0..1 per channel, straight (not premultiplied). */
typedef struct AEGP_ColorVal {
  A_FpLong alpha, red, green, blue;
} AEGP_ColorVal;

/* ---- Errors ------------------------------------------------------------
 * Every host call returns an A_Err: 0 on success, one of the codes below
 * otherwise. A host may return other codes; callers must not assume the set
 * is closed. */
typedef A_long A_Err;

#define A_Err_NONE 0
#define A_Err_GENERIC 1
#define A_Err_STRUCT 2
#define A_Err_PARAMETER 3
#define A_Err_ALLOC 4 /* out of memory */
#define A_Err_WRONG_THREAD 5
#define A_Err_CONST_PROJECT_MODIFICATION 6
#define A_Err_MISSING_SUITE 13 /* the basic suite has no suite of that name and version */
#define A_Err_NOT_IN_CACHE_OR_COMPUTE_PENDING 22
#define A_Err_PROJECT_LOAD_FATAL 23
#define A_Err_EFFECT_APPLY_FATAL 24

#define PF_Err_INTERNAL_STRUCT_DAMAGED 512
#define PF_Err_INVALID_INDEX 513
#define PF_Err_UNRECOGNIZED_PARAM_TYPE 514
#define PF_Err_INVALID_CALLBACK 515
#define PF_Err_BAD_CALLBACK_PARAM 516
#define PF_Err_INTERRUPT_CANCEL 517
#define PF_Err_CANNOT_PARSE_KEYFRAME_TEXT 518
#define PF_Err_INVALID_PARMS 519 /* a call was given arguments it cannot use */

/* ---- Plug-in identity and hooks' opaque data ----------------------------- */
typedef A_long AEGP_PluginID;
/* The plug-in's global state, handed back to the host at entry and passed to
 * every hook. Owned by the plug-in; the host never looks inside. */
typedef void* AEGP_GlobalRefcon;

/* Menu command ids: unique per host process, given by the Command suite. */
typedef A_long AEGP_Command;

/* ---- Opaque handles ----------------------------------------------------
 * Owned by the host; valid while the object exists in the project. */
typedef struct _AEGP_Project* AEGP_ProjectH;
typedef struct _AEGP_Item* AEGP_ItemH;
typedef struct _AEGP_Comp* AEGP_CompH;
typedef struct _AEGP_Layer* AEGP_LayerH;
typedef struct _AEGP_Footage* AEGP_FootageH;
typedef struct _AEGP_EffectRef* AEGP_EffectRefH;
typedef struct _AEGP_StreamRef* AEGP_StreamRefH;
typedef struct _AEGP_World* AEGP_WorldH;
typedef struct _AEGP_Panel* AEGP_PanelH;
/* A block of host memory: lock it to reach its bytes, unlock, free. */
typedef struct _AEGP_MemHandle* AEGP_MemHandle;
typedef A_u_longlong AEGP_MemSize;
typedef A_long AEGP_InstalledEffectKey;

/* Item types, as answered by the Item suite. */
typedef A_long AEGP_ItemType;
#define AEGP_ItemType_NONE 0
#define AEGP_ItemType_FOLDER 1
#define AEGP_ItemType_COMP 2
#define AEGP_ItemType_SOLID_defunct 3
#define AEGP_ItemType_FOOTAGE 4

/* Menus a command may be inserted into. */
typedef A_long AEGP_MenuID;
#define AEGP_Menu_NONE 0
#define AEGP_Menu_FILE 2
#define AEGP_Menu_EDIT 3
#define AEGP_Menu_COMPOSITION 4
#define AEGP_Menu_LAYER 5
#define AEGP_Menu_EFFECT 6
#define AEGP_Menu_WINDOW 7
#define AEGP_Menu_PURGE 15

/* Position of an inserted menu command. */
#define AEGP_MENU_INSERT_SORTED (-2)
#define AEGP_MENU_INSERT_AT_BOTTOM (-1)
#define AEGP_MENU_INSERT_AT_TOP 0

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_TYPES_H */
