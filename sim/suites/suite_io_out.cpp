// The suites an output module acquires, as the host serves them outside a
// render: the only outputs it knows then are those its Output Module
// Templates dialog makes while a user makes a template. Such an output has
// no render item behind it (no file, size, start frame or rate) and no frame
// world is ever handed over, so those questions are refused; the options
// handle is what the dialog needs of the module.
#include "hostsdk/io.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

OutSpecRec* find(AEIO_OutSpecH outH) { return host().out_specs.find(outH); }

A_Err GetOutSpecFilePath(AEIO_OutSpecH, AEGP_MemHandle* path, A_Boolean*) {
  if (path != nullptr) *path = nullptr;
  return A_Err_PARAMETER;
}
A_Err GetOutSpecDepth(AEIO_OutSpecH outH, A_short* depth) {
  if (find(outH) == nullptr || depth == nullptr) return A_Err_PARAMETER;
  *depth = 32;
  return A_Err_NONE;
}
A_Err GetOutSpecDimensions(AEIO_OutSpecH, A_long*, A_long*) { return A_Err_PARAMETER; }
A_Err GetOutSpecAlphaLabel(AEIO_OutSpecH, AEIO_AlphaLabel*) { return A_Err_PARAMETER; }
A_Err GetOutSpecStartFrame(AEIO_OutSpecH, A_long*) { return A_Err_PARAMETER; }
A_Err GetOutSpecFPS(AEIO_OutSpecH, A_Fixed*) { return A_Err_PARAMETER; }
A_Err SetOutSpecOptionsHandle(AEIO_OutSpecH outH, void* options, void** old) {
  OutSpecRec* spec = find(outH);
  if (spec == nullptr || old == nullptr) return A_Err_PARAMETER;
  *old = spec->options;
  spec->options = options;
  return A_Err_NONE;
}
const AEGP_IOOutSuite7 kIoOutSuite = {GetOutSpecFilePath,   GetOutSpecDepth, GetOutSpecDimensions,   GetOutSpecAlphaLabel,
                                      GetOutSpecStartFrame, GetOutSpecFPS,   SetOutSpecOptionsHandle};

A_Err GetPixelFormat(const AEIO_FrameWorld*, PF_PixelFormat* format) {
  if (format != nullptr) *format = PF_PixelFormat_INVALID;
  return A_Err_PARAMETER;
}
const PF_WorldSuite2 kWorldSuite = {GetPixelFormat};

}  // namespace

void publish_output_module_suites(SuiteRegistry& r) {
  r.publish(kAEGPIOOutSuite, kAEGPIOOutSuiteVersion7, &kIoOutSuite);
  r.publish(kPFWorldSuite, kPFWorldSuiteVersion2, &kWorldSuite);
}

}  // namespace sim
