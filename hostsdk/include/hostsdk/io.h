/* The output module interface: the record an output module registers with
 * the Register suite's RegisterIO, and the table of its callbacks. Only
 * what an output-only, file-backed module needs is declared. */
#ifndef HOSTSDK_IO_H
#define HOSTSDK_IO_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* AEGP_IORefcon;
typedef struct _AEIO_BasicData AEIO_BasicData;  /* host data passed to every callback */
typedef struct _AEIO_OutSpec* AEIO_OutSpecH;   /* one output of the render queue */
typedef A_long AEIO_ModuleSignature;            /* four-character code, first char in the high byte */

/* Module flags (AEIO_ModuleInfo.flags). */
#define AEIO_MFlag_OUTPUT 0x00000002
#define AEIO_MFlag_FILE 0x00000004
#define AEIO_MFlag_VIDEO 0x00000010

#define AEIO_MAX_MODULE_NAME_LEN 31

typedef struct AEIO_FileKind {
  A_long type;
  A_long creator;
} AEIO_FileKind;

typedef struct AEIO_FileExt {
  A_char pad;          /* '.' */
  A_char extension[3]; /* e.g. 'v','n','m' */
} AEIO_FileExt;

/* Registration record. Every field the module does not set must be zero. */
typedef struct AEIO_ModuleInfo {
  AEIO_ModuleSignature sig;
  A_char name[AEIO_MAX_MODULE_NAME_LEN + 1]; /* NUL-terminated */
  A_long flags;
  A_long flags2;
  A_long max_width;
  A_long max_height;
  A_short num_filetypes;
  A_short num_extensions;
  AEIO_FileKind create_kind;
  AEIO_FileExt create_ext;
} AEIO_ModuleInfo;

/* Callback answers besides A_Err_NONE. */
#define AEIO_Err_USE_DFLT_CALLBACK 9992 /* let the host do its default */

/* One frame the host hands to an output module: pixels of four bytes in
 * the order alpha, red, green, blue, rows `rowbytes` apart. Valid only
 * during the call that hands it over. */
typedef struct AEIO_FrameWorld {
  A_long width;
  A_long height;
  A_long rowbytes;
  void* data;
  A_long origin_x;
  A_long origin_y;
} AEIO_FrameWorld;

/* Interrupt functions of a long call: a non-zero answer of abort0 asks the
 * module to stop. */
typedef struct AEIO_InterruptFuncs {
  void* refcon;
  A_Err (*abort0)(void* refcon);
} AEIO_InterruptFuncs;

/* The alpha of an output. */
typedef A_long AEIO_AlphaType;
#define AEIO_Alpha_STRAIGHT 0
#define AEIO_Alpha_PREMUL 1
#define AEIO_Alpha_IGNORE 2
#define AEIO_AlphaLabel_VERSION 0x0101

typedef struct AEIO_AlphaLabel {
  A_short version; /* AEIO_AlphaLabel_VERSION for this layout */
  A_long flags;
  A_u_char red, green, blue; /* matte colour */
  AEIO_AlphaType alpha;
} AEIO_AlphaLabel;

/* GetDepths answers: the pixel layouts a module takes. */
typedef A_long AEIO_SupportedDepthFlags;
#define AEIO_SupportedDepthFlags_DEPTH_32 128 /* 32-bit ARGB, 8 bits per channel */

#define AEIO_MAX_TYPE_NAME_LEN 31
#define AEIO_MAX_MESSAGE_LEN 255
/* GetOutputInfo's description of an output. */
typedef struct AEIO_Verbiage {
  A_char name[AEIO_MAX_TYPE_NAME_LEN + 1];
  A_char type[AEIO_MAX_TYPE_NAME_LEN + 1];
  A_char sub_type[AEIO_MAX_MESSAGE_LEN + 1];
} AEIO_Verbiage;

typedef A_long AEIO_LabelFlags;
typedef A_long AEIO_IdleFlags;

/* The module's callbacks, output side only, in the host's order. A null
 * entry means "use the host's default". Each is called with the refcon
 * given at registration; none may throw or longjmp. */
typedef struct AEIO_FunctionBlock {
  A_Err (*InitOutputSpec)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_Boolean* user_interacted);
  A_Err (*GetFlatOutputOptions)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEGP_MemHandle* flat_options);
  A_Err (*DisposeOutputOptions)(AEIO_BasicData* basic, void* options);
  A_Err (*UserOptionsDialog)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_Boolean* user_interacted);
  A_Err (*GetOutputInfo)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEIO_Verbiage* verbiage);
  A_Err (*OutputInfoChanged)(AEIO_BasicData* basic, AEIO_OutSpecH outH);
  A_Err (*SetOutputFile)(AEIO_BasicData* basic, AEIO_OutSpecH outH, const A_UTF16Char* file_path);
  A_Err (*StartAdding)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long flags);
  A_Err (*AddFrame)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long frame_index, A_long frames,
                    const AEIO_FrameWorld* world, const A_LPoint* origin, A_Boolean was_compressed,
                    AEIO_InterruptFuncs* interrupt);
  A_Err (*EndAdding)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long flags);
  A_Err (*OutputFrame)(AEIO_BasicData* basic, AEIO_OutSpecH outH, const AEIO_FrameWorld* world);
  A_Err (*WriteLabels)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEIO_LabelFlags* written);
  A_Err (*GetSizes)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_u_longlong* free_space, A_u_longlong* file_size);
  A_Err (*Flush)(AEIO_BasicData* basic, AEIO_OutSpecH outH);
  A_Err (*AddSoundChunk)(AEIO_BasicData* basic, AEIO_OutSpecH outH, const A_Time* start);
  A_Err (*Idle)(AEIO_BasicData* basic, AEIO_ModuleSignature sig, AEIO_IdleFlags* idle_flags);
  A_Err (*GetDepths)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEIO_SupportedDepthFlags* which);
  A_Err (*GetOutputSuffix)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_UTF16Char* suffix);
} AEIO_FunctionBlock;

/* "AEGP IO Out Suite" 7: what the host knows of one output. */
#define kAEGPIOOutSuite "AEGP IO Out Suite"
#define kAEGPIOOutSuiteVersion7 7

typedef A_long A_Fixed; /* 16.16 fixed point */

typedef struct AEGP_IOOutSuite7 {
  /* A new Memory-suite handle owned by the caller: the output path as
   * UTF-16 with a terminating zero unit. */
  A_Err (*GetOutSpecFilePath)(AEIO_OutSpecH outH, AEGP_MemHandle* unicode_path, A_Boolean* file_reserved);
  A_Err (*GetOutSpecDepth)(AEIO_OutSpecH outH, A_short* depth);
  A_Err (*GetOutSpecDimensions)(AEIO_OutSpecH outH, A_long* width, A_long* height);
  A_Err (*GetOutSpecAlphaLabel)(AEIO_OutSpecH outH, AEIO_AlphaLabel* label);
  A_Err (*GetOutSpecStartFrame)(AEIO_OutSpecH outH, A_long* start_frame);
  A_Err (*GetOutSpecFPS)(AEIO_OutSpecH outH, A_Fixed* fps);
  /* Installs a new options handle and answers the previous one (null the
   * first time); the caller owns what it gets back. */
  A_Err (*SetOutSpecOptionsHandle)(AEIO_OutSpecH outH, void* options, void** old_options);
} AEGP_IOOutSuite7;

/* "PF World Suite" 2: the pixel layout of a frame world. */
#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2

typedef A_long PF_PixelFormat;
#define PF_PixelFormat_ARGB32 0x6165726B /* 8 bits per channel, alpha first */
#define PF_PixelFormat_ARGB64 0x61657277
#define PF_PixelFormat_ARGB128 0x61657266
#define PF_PixelFormat_INVALID 0x62616442

typedef struct PF_WorldSuite2 {
  A_Err (*GetPixelFormat)(const AEIO_FrameWorld* world, PF_PixelFormat* format);
} PF_WorldSuite2;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_IO_H */
