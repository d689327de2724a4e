// aerendercore: the stand-in render engine. It lives as long as the aerender
// that started it (see render_engine.h).
#include "render_engine.h"

int main() { return sim::run_render_engine(0); }
