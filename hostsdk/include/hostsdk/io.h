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

/* The module's callbacks. A null entry means "use the host's default". Each
 * is called on the host's render thread with the refcon given at
 * registration; none may throw or longjmp. */
typedef struct AEIO_FunctionBlock {
  A_Err (*InitOutputSpec)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_Boolean* user_interacted);
  A_Err (*GetFlatOutputOptions)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEGP_MemHandle* flat_options);
  A_Err (*DisposeOutputOptions)(AEIO_BasicData* basic, void* options);
  A_Err (*UserOptionsDialog)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_Boolean* user_interacted);
  A_Err (*GetOutputInfo)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEGP_MemHandle* verbal_description);
  A_Err (*SetOutputFile)(AEIO_BasicData* basic, AEIO_OutSpecH outH, const A_UTF16Char* file_path);
  A_Err (*StartAdding)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long flags);
  A_Err (*AddFrame)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long frame_index, A_long frames,
                    AEGP_WorldH world, A_Boolean was_compressed);
  A_Err (*EndAdding)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long flags);
  A_Err (*OutputFrame)(AEIO_BasicData* basic, AEIO_OutSpecH outH, AEGP_WorldH world);
  A_Err (*GetDepths)(AEIO_BasicData* basic, AEIO_OutSpecH outH, A_long* which);
  A_Err (*Flush)(AEIO_BasicData* basic, AEIO_OutSpecH outH);
} AEIO_FunctionBlock;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_IO_H */
